#include <algorithm>
#include <cstring>

#include "vek_buffer.h"
#include "vek_errorhandler.h"

namespace {
constexpr const char* kFile = "framework/buffer/source/vek_stblockdstbuffer.cpp";
}

VEK_STBlockDstBuffer::~VEK_STBlockDstBuffer() { terminate(); }

bool VEK_STBlockDstBuffer::terminate() {
  if (spill_ != nullptr) manager_->free(spill_);
  spill_ = nullptr;
  for (Block& b : blocks_)
    if (b.owned) manager_->free(b.data);
  blocks_.clear();
  return true;
}

// M: the smallest multiple of R above W when W > R, else R.
bool VEK_STBlockDstBuffer::compute_memory_block_bytes() {
  if (memory_block_bytes_ != 0) return true;
  const uint64_t w = block_bytes_, r = src_block_bytes_;
  if (r == 0 || w == 0) return false;
  const uint64_t m = w > r ? w - w % r + r : r;
  if (m > UINT32_MAX) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_STBlockDstBuffer::memory_block_bytes()", kFile, __LINE__);
    return false;
  }
  memory_block_bytes_ = uint32_t(m);
  return true;
}

bool VEK_STBlockDstBuffer::add_block() {
  Block b;
  if (!cache_.empty()) {
    b = cache_.block;
    cache_.block = Block();
  } else {
    b.data = static_cast<uint8_t*>(manager_->allocate(memory_block_bytes_));
    if (b.data == nullptr) return false;
    b.owned = true;
  }
  if (blocks_.push_back(b)) return true;
  if (b.owned) manager_->free(b.data);
  return false;
}

bool VEK_STBlockDstBuffer::drop_first_block() {
  if (blocks_.empty()) return false;
  const Block first = blocks_[0];
  if (first.owned) {
    cache_.drop();
    cache_.block = first;
  }
  std::copy(blocks_.begin() + 1, blocks_.end(), blocks_.begin());
  blocks_.resize(blocks_.size() - 1);
  const uint64_t next = uint64_t(base_) + memory_block_bytes_;
  base_ = uint32_t(next);
  return next <= UINT32_MAX;
}

void* VEK_STBlockDstBuffer::get() {
  if (state_ != kStarted) {
    vek_report(manager_, VEK_ERROR_STATE, "VEK_STBlockDstBuffer::get()", kFile, 59);
    return nullptr;
  }
  if (written_ > total_ || written_ < base_) {
    vek_report(manager_, VEK_ERROR_STATE, "VEK_STBlockDstBuffer::get()", kFile, 65);
    return nullptr;
  }
  if (!compute_memory_block_bytes()) return nullptr;
  const uint32_t m = memory_block_bytes_;
  const uint32_t k = (written_ - base_) / m;
  const uint32_t r = written_ % m;
  if (r == 0) {
    if (k >= blocks_.size() && (k > blocks_.size() || !add_block())) return nullptr;
    state_ = kBlockOut;
    return blocks_[k].data;
  }
  if (m - r >= block_bytes_) {
    state_ = kBlockOut;
    return blocks_[k].data + r;
  }
  if (spill_ == nullptr) {
    spill_ = static_cast<uint8_t*>(manager_->allocate(block_bytes_));
    if (spill_ == nullptr) return nullptr;
  }
  state_ = kSpillOut;
  return spill_;
}

bool VEK_STBlockDstBuffer::release(uint32_t n) {
  if (state_ != kBlockOut && state_ != kSpillOut) {
    vek_report(manager_, VEK_ERROR_STATE, "VEK_STBlockDstBuffer::release()", kFile, 143);
    return false;
  }
  // More than one write block would run past the memory that get() handed out.
  if (n > block_bytes_ || uint64_t(written_) + n > UINT32_MAX) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_STBlockDstBuffer::release()", kFile, __LINE__);
    return false;
  }
  if (state_ == kSpillOut) {
    const uint32_t m = memory_block_bytes_;
    const uint32_t k = (written_ - base_) / m;
    const uint32_t r = written_ % m;
    const uint32_t room = m - r;
    if (n <= room) {
      std::memcpy(blocks_[k].data + r, spill_, n);
    } else {
      if (k + 1 >= blocks_.size() && !add_block()) return false;
      std::memcpy(blocks_[k].data + r, spill_, room);
      std::memcpy(blocks_[k + 1].data, spill_ + room, n - room);
    }
  }
  written_ += n;
  state_ = kStarted;
  return true;
}

const void* VEK_STBlockDstBuffer::src_get(uint32_t offset, uint32_t* n) {
  *n = 0;
  const uint64_t want = uint64_t(offset) + src_block_bytes_;
  while (written_ < want)
    if (!manager_->execute(front_)) break;
  if (written_ >= total_) manager_->execute(front_);
  if (written_ <= offset || offset < base_ || !compute_memory_block_bytes()) return nullptr;
  const uint32_t index = (offset - base_) / memory_block_bytes_;
  if (index >= blocks_.size()) return nullptr;
  *n = std::min(written_ - offset, src_block_bytes_);
  return blocks_[index].data + offset % memory_block_bytes_;
}

bool VEK_STBlockDstBuffer::src_get(void* buffer, uint32_t offset, uint32_t* n) {
  *n = 0;
  const bool one_reader = readers_.items().size() < 2;
  if (one_reader && compute_memory_block_bytes() && memory_block_bytes_ == src_block_bytes_ &&
      uint64_t(offset) + src_block_bytes_ > written_ && state_ == kStarted && offset >= base_ &&
      offset % memory_block_bytes_ == 0) {
    const uint32_t index = (offset - base_) / memory_block_bytes_;
    if (index <= blocks_.size()) {
      // Direct path: the writer writes straight into the reader's memory.
      Block lent{static_cast<uint8_t*>(buffer), false};
      if (index == blocks_.size()) {
        if (!blocks_.push_back(lent)) return false;
      } else {
        Block& old = blocks_[index];
        if (offset < written_) std::memcpy(buffer, old.data, written_ - offset);
        if (old.owned) {
          if (cache_.empty())
            cache_.block = old;
          else
            manager_->free(old.data);
        }
        old = lent;
      }
      if (src_get(offset, n) == buffer) return true;
      // Nothing was written there: the writer must not keep the reader's memory.
      const uint32_t last = blocks_.size() - 1;
      if (*n == 0 && !blocks_.empty() && blocks_[last].data == buffer && !blocks_[last].owned) blocks_.resize(last);
      return false;
    }
  }
  const void* p = src_get(offset, n);
  if (p == nullptr) return false;
  std::memcpy(buffer, p, *n);
  return true;
}

bool VEK_STBlockDstBuffer::src_release(VEK_SrcBuffer* reader, uint32_t offset) {
  auto& list = readers_.items();
  uint32_t smallest = offset;
  if (list.size() != 1) {
    auto it = std::find_if(list.begin(), list.end(), [reader](const auto& e) { return e.first == reader; });
    if (it == list.end()) return false;
    it->second = std::max(it->second, offset);
    smallest = UINT32_MAX;
    for (const auto& e : list) smallest = std::min(smallest, e.second);
  }
  if (memory_block_bytes_ == 0) return true;
  while (!blocks_.empty() && uint64_t(base_) + memory_block_bytes_ <= smallest)
    if (!drop_first_block()) return false;
  return true;
}

bool VEK_STBlockDstBuffer::src_end(VEK_SrcBuffer* reader) {
  auto& list = readers_.items();
  auto it = std::find_if(list.begin(), list.end(), [reader](const auto& e) { return e.first == reader; });
  if (it == list.end()) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_STBlockDstBuffer::src_end()", kFile, 375);
    return false;
  }
  list.erase(it);
  return true;
}

bool VEK_STBlockDstBuffer::add_reader(VEK_SrcBuffer* reader) { return readers_.push_back({reader, 0}); }

VEK_SrcBuffer* VEK_STBlockDstBuffer::create_src_buffer(VEK_DstBuffer* front) {
  VEK_SrcBuffer* reader = VEK_DstBufferImpl::create_src_buffer(front);
  if (reader != nullptr && !add_reader(reader)) {
    reader->created(false);  // never listed: nothing to end on this side
    reader->destroy();
    return nullptr;
  }
  return reader;
}

VEK_Vector<VEK_SrcBuffer*> VEK_STBlockDstBuffer::create_src_buffer(VEK_DstBuffer* front, uint32_t n) {
  VEK_Vector<VEK_SrcBuffer*> readers = VEK_DstBufferImpl::create_src_buffer(front, n);
  uint32_t added = 0;
  while (added < readers.size() && add_reader(readers[added])) ++added;
  if (added == readers.size()) return readers;
  for (uint32_t i = 0; i < readers.size(); ++i) {
    if (i >= added) readers[i]->created(false);
    readers[i]->destroy();
  }
  readers.clear();
  return readers;
}
