#include <algorithm>
#include <cstring>

#include "vek_errorhandler.h"
#include "vek_memory.h"
#include "vek_storageengine.h"

namespace {
constexpr const char* kReadFile = "core/storage/source/vek_readstorageengine.cpp";
constexpr const char* kWriteFile = "core/storage/source/vek_writestorageengine.cpp";
constexpr const char* kFeedFile = "core/storage/source/vek_dstengineinputstorage.cpp";
}  // namespace

VEK_Engine* VEK_ReadStorage::engine(VEK_InputStorage* storage, const VEK_Header& header, int32_t offset,
                                    int32_t line_gap, int32_t byte_order) {
  VEK_DstBuffer* destination = manager_->create_dst_buffer();
  VEK_ReadStorageEngine* e = vek_new<VEK_ReadStorageEngine>(manager_);
  return regist_engine(
      initiated(e, e != nullptr && e->initiate(storage, &header, destination, offset, line_gap, byte_order)), nullptr,
      destination);
}

bool VEK_ReadStorageEngine::initiate(VEK_InputStorage* storage, const VEK_Header* header, VEK_DstBuffer* destination,
                                     int32_t offset, int32_t line_gap, int32_t byte_order) {
  if (!check_interface_version(VEK_INTERFACE_VERSION)) {
    vek_report(manager_, VEK_ERROR_VERSION, "VEK_ReadStorageEngine::initiate()", kReadFile, 52);
    return false;
  }
  if (!VEK_ReadEngine::initiate(storage, header, destination)) return false;
  if (offset < 0) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_ReadStorageEngine::initiate()", kReadFile, 61);
    return false;
  }
  line_gap_ = line_gap;
  byte_order_ = byte_order;
  sample_bytes_ = (header->bits() + 7u) / 8u;
  // Some storages clamp a seek past their end and still answer true: the data is not there.
  if (!storage_->seek(offset) || storage_->tell() != offset) {
    vek_report(manager_, VEK_ERROR_DATA, "VEK_ReadStorageEngine::initiate()", kReadFile, 72);
    return false;
  }
  const bool raw = VEK_EncodeType::is_raw(out_header_.encode_type());
  return dst_->block_bytes(raw ? out_header_.line_bytes() : manager_->block_bytes());
}

bool VEK_ReadStorageEngine::execute() {
  const bool raw = VEK_EncodeType::is_raw(out_header_.encode_type());
  if (raw && lines_ >= out_header_.height()) return false;
  const uint32_t n = dst_->block_bytes();
  uint8_t* block = static_cast<uint8_t*>(dst_->get());
  if (block == nullptr) return false;
  if (lines_ != 0 && line_gap_ != 0 && storage_->skip(line_gap_) != line_gap_) {
    vek_report(manager_, VEK_ERROR_DATA, "VEK_ReadStorageEngine::execute()", kReadFile, 112);
    dst_->release(0);
    return false;
  }
  const int32_t got = storage_->read(block, int32_t(std::min<uint32_t>(n, INT32_MAX)));
  if (raw) {
    if (got < 0 || uint32_t(got) < n) {
      vek_report(manager_, VEK_ERROR_DATA, "VEK_ReadStorageEngine::execute()", kReadFile, 123);
      dst_->release(0);
      return false;
    }
    if (byte_order_ != 1) reverse_.convert_samples(block, n, sample_bytes_);
  } else if (got <= 0) {
    dst_->release(0);
    return false;
  }
  ++lines_;
  return dst_->release(uint32_t(got));
}

VEK_Engine* VEK_WriteStorage::engine(VEK_Engine* source, VEK_OutputStorage* storage, int32_t offset, int32_t pad,
                                     int32_t gap, int32_t byte_order) {
  if (!check_source(source, "VEK_WriteStorage::engine()", "core/storage/source/vek_writestorage.cpp", 50))
    return nullptr;
  return create_sink<VEK_WriteStorageEngine>(source, storage, offset, pad, gap, byte_order);
}

bool VEK_WriteStorageEngine::initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_OutputStorage* storage,
                                      int32_t offset, int32_t pad, int32_t gap, int32_t byte_order) {
  if (!check_interface_version(VEK_INTERFACE_VERSION)) {
    vek_report(manager_, VEK_ERROR_VERSION, "VEK_WriteStorageEngine::initiate()", kWriteFile, 59);
    return false;
  }
  if (!VEK_WriteEngine::initiate(header, source, storage)) return false;
  if (offset < 0 || pad < 0) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_WriteStorageEngine::initiate()", kWriteFile, 68);
    return false;
  }
  pad_ = pad;
  gap_ = gap;
  height_ = header->height();
  raw_ = VEK_EncodeType::is_raw(header->encode_type());
  sample_bytes_ = uint16_t((header->bits() + 7u) / 8u);
  byte_order_ = byte_order;
  mask_ = vek_last_byte_mask(*header);
  // seek stops at the written end and still answers true: check where it got to.
  if (!storage_->seek(offset) || storage_->tell() != offset) {
    if (!storage_->to_end()) {
      vek_report(manager_, VEK_ERROR_IO, "VEK_WriteStorageEngine::initiate()", kWriteFile, 95);
      return false;
    }
    const int32_t missing = offset - storage_->tell();
    if (missing < 0 || storage_->advance(missing) != missing) {
      vek_report(manager_, VEK_ERROR_IO, "VEK_WriteStorageEngine::initiate()", kWriteFile, 91);
      return false;
    }
  }
  const uint32_t n = raw_ ? header->line_bytes() : manager_->block_bytes();
  if (!src_->block_bytes(n)) return false;
  line_ = static_cast<uint8_t*>(manager_->allocate(n));
  return line_ != nullptr;
}

bool VEK_WriteStorageEngine::terminate() {
  if (line_ != nullptr) manager_->free(line_);
  line_ = nullptr;
  return VEK_WriteEngine::terminate();
}

bool VEK_WriteStorageEngine::execute() {
  if (raw_ && lines_ >= height_) return false;
  uint32_t got = 0;
  if (!src_->get(line_, &got) || got == 0) return false;
  if (lines_ != 0 && gap_ != 0) {
    const int32_t moved = storage_->skip(gap_);
    if (moved != gap_ && storage_->advance(gap_ - moved) != gap_ - moved) {
      vek_report(manager_, VEK_ERROR_IO, "VEK_WriteStorageEngine::execute()", kWriteFile, 154);
      return false;
    }
  }
  if (raw_) {
    if (got != src_->block_bytes()) {
      vek_report(manager_, VEK_ERROR_DATA, "VEK_WriteStorageEngine::execute()", kWriteFile, 163);
      return false;
    }
    if (mask_ != 0xFF) line_[got - 1] &= mask_;
    if (byte_order_ != 1) reverse_.convert_samples(line_, got, sample_bytes_);
  }
  if (uint32_t(storage_->write(line_, int32_t(got))) != got) {
    vek_report(manager_, VEK_ERROR_IO, "VEK_WriteStorageEngine::execute()", kWriteFile, 183);
    return false;
  }
  for (int32_t i = 0; i < pad_; ++i)
    if (storage_->put(0) == -1) {
      vek_report(manager_, VEK_ERROR_IO, "VEK_WriteStorageEngine::execute()", kWriteFile, 192);
      return false;
    }
  ++lines_;
  return src_->release();
}

VEK_DstEngineInputStorage* VEK_DstEngineInputStorage::create(VEK_Manager* manager, VEK_Engine* source) {
  return vek_create<VEK_DstEngineInputStorage>(manager, source);
}

bool VEK_DstEngineInputStorage::initiate(VEK_Engine* source) {
  if (source == nullptr) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_DstEngineInputStorage::initiate()", kFeedFile, 147);
    return false;
  }
  memory_ = VEK_MemoryOutputStorage::create(manager_, 8192);
  if (memory_ == nullptr) return false;
  writer_ = VEK_WriteStorage(manager_).engine(source, memory_, 0, 0, 0, 1);
  if (writer_ == nullptr) return false;
  // The job's end destroys the writer through the relation table; this storage can outlive
  // the job and still call it.
  if (!depend(writer_)) {
    writer_ = nullptr;
    return false;
  }
  readback_ = memory_->create_input_storage();
  return readback_ != nullptr;
}

bool VEK_DstEngineInputStorage::terminate() {
  vek_destroy(readback_);
  vek_destroy(memory_);
  readback_ = nullptr;
  memory_ = nullptr;
  writer_ = nullptr;  // stays with the relation table
  return true;
}

void VEK_DstEngineInputStorage::fill(int32_t n) {
  if (readback_ == nullptr) return;
  while (!finished_ && int64_t(readback_->size()) - readback_->tell() < n)
    if (!writer_->execute()) finished_ = true;
}

void VEK_DstEngineInputStorage::finish() { fill(INT32_MAX); }

int32_t VEK_DstEngineInputStorage::get() {
  fill(1);
  return readback_ != nullptr ? readback_->get() : -1;
}

int32_t VEK_DstEngineInputStorage::read(void* buffer, int32_t n) {
  fill(n);
  return readback_ != nullptr ? readback_->read(buffer, n) : 0;
}

int32_t VEK_DstEngineInputStorage::advance(int32_t n) {
  fill(n);
  return readback_ != nullptr ? readback_->advance(n) : 0;
}

int32_t VEK_DstEngineInputStorage::skip(int32_t n) {
  if (n > 0) fill(n);
  return readback_ != nullptr ? readback_->skip(n) : 0;
}

bool VEK_DstEngineInputStorage::seek(int32_t n) {
  if (readback_ == nullptr) return false;
  while (!finished_ && readback_->size() < n)
    if (!writer_->execute()) finished_ = true;
  return readback_->seek(n);
}

bool VEK_DstEngineInputStorage::is_end() {
  finish();
  return readback_ == nullptr || readback_->is_end();
}

bool VEK_DstEngineInputStorage::seek_end(int32_t n) {
  finish();
  return readback_ != nullptr && readback_->seek_end(n);
}

int32_t VEK_DstEngineInputStorage::size() {
  finish();
  return readback_ != nullptr ? readback_->size() : 0;
}

bool VEK_DstEngineInputStorage::to_end() {
  finish();
  return readback_ != nullptr && readback_->to_end();
}
