#include "vek_errorhandler.h"
#include "vek_storageengine.h"

namespace {
constexpr const char* kFile = "core/storage/source/vek_dstengineinputstorage.cpp";
}  // namespace

VEK_DstEngineInputStorage* VEK_DstEngineInputStorage::create(VEK_Manager* manager, VEK_Engine* source) {
  return vek_create<VEK_DstEngineInputStorage>(manager, source);
}

bool VEK_DstEngineInputStorage::initiate(VEK_Engine* source) {
  if (source == nullptr) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_DstEngineInputStorage::initiate()", kFile, 147);
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
