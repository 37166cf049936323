#include "vek_qkrlebuffer.h"
#include "vek_errorhandler.h"

namespace {
constexpr const char* kFile = "core/qkrle/source/vek_qkrlebuffer.cpp";
constexpr const char* kRegist = "VEK_QKRLEBuffer::regist_runarray()";
}  // namespace

VEK_QKRLEBuffer* VEK_QKRLEBuffer::create(VEK_Manager* manager, VEK_SrcBuffer* source, const VEK_Header* header) {
  return vek_create<VEK_QKRLEBuffer>(manager, source, header);
}

bool VEK_QKRLEBuffer::initiate(VEK_SrcBuffer* source, const VEK_Header* header) {
  if (!VEK_QKRLEBufferBase::initiate(source, header)) return false;
  line_count_ = header->height();
  if (!is_qkrle(*header)) {
    vek_report(manager_, VEK_ERROR_FORMAT, "VEK_QKRLEBuffer::initiate()", kFile, __LINE__);
    return false;
  }
  return true;
}

bool VEK_QKRLEBuffer::regist_runarray(VEK_SrcBuffer* source, const VEK_Header* header) {
  if (source == nullptr || header == nullptr) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kRegist, kFile, __LINE__);
    return false;
  }
  // Blocks must hold whole runs: raise the size to a multiple of 8 (at most the largest one).
  uint64_t size = (uint64_t(source->block_bytes()) + 7) / 8 * 8;
  if (size == 0) size = 8;
  if (size > UINT32_MAX) size = UINT32_MAX / 8 * 8;
  if (!source->block_bytes(uint32_t(size))) return false;
  if (data_ != nullptr) manager_->free(data_);
  data_ = static_cast<uint8_t*>(manager_->allocate(uint32_t(size)));
  if (data_ == nullptr) return false;

  const uint32_t width = header->width(), height = header->height();
  lines_.clear();
  // One allocation of empty lists, sized for the height (the allocator checks the bytes in 64 bits).
  if (!lines_.resize(height, Line(manager_))) return false;
  Line current(manager_);
  uint32_t done = 0;
  uint64_t next_start = 0;  // a run must start at least two columns past the previous run's end
  while (done < height) {
    uint32_t got = 0;
    if (!source->get(data_, &got) || got == 0 || got % 8 != 0) {
      vek_report(manager_, VEK_ERROR_DATA, kRegist, kFile, __LINE__);
      return false;
    }
    if (!source->release()) return false;
    // Run by run: only a whole {0xFFFFFFFF, 0xFFFFFFFF} ends a line.
    for (uint32_t cursor = 0; cursor < got && done < height; cursor += 8) {
      const VEK_QKRLERun r = vek_qkrle_load(data_ + cursor);
      if (r.is_end()) {
        Line& line = lines_[done];
        line = current;  // an exact copy: the scratch list keeps its room for the next line
        if (line.size() != current.size()) return false;
        ++done;
        current.clear();
        next_start = 0;
        continue;
      }
      if (r.start < next_start || r.start > r.end || r.end > width) {
        vek_report(manager_, VEK_ERROR_DATA, kRegist, kFile, __LINE__);
        return false;
      }
      next_start = uint64_t(r.end) + 2;
      if (!current.push_back(Line::value_type(r.start, r.end))) return false;
    }
  }
  return drop_holder();
}

bool VEK_QKRLEBuffer::load() {
  if (!registered_) {
    registered_ = true;
    loaded_ = regist_runarray(source_, header_);
    if (!loaded_) lines_.clear();
  }
  return loaded_;
}

VEK_QKRLERunArray VEK_QKRLEBuffer::runarray(uint32_t i) {
  if (!load() || i >= line_count_ || i >= lines_.size()) return VEK_QKRLERunArray(manager_);
  return VEK_QKRLERunArray(lines_[i], 0);
}

VEK_QKRLERunArray VEK_QKRLEBuffer::runarray_at_end(uint32_t i) {
  if (!load() || i >= line_count_ || i >= lines_.size()) return VEK_QKRLERunArray(manager_);
  return VEK_QKRLERunArray(lines_[i], lines_[i].size());
}
