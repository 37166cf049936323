#include <algorithm>

#include "vek_combinedstorage.h"
#include "vek_errorhandler.h"

namespace {
constexpr const char* kFile = "extension/combinedstorage/source/vek_combinedinputstorage.cpp";
}  // namespace

VEK_CombinedInputStorage* VEK_CombinedInputStorage::create(VEK_Manager* manager,
                                                           const VEK_Vector<VEK_InputStorage*>& parts) {
  VEK_Vector<int> sizes(manager);
  for (VEK_InputStorage* part : parts) {
    if (part == nullptr || part->is_empty()) {
      vek_report(manager, VEK_ERROR_ARGUMENT, "VEK_CombinedInputStorage::create()", kFile, 59);
      return nullptr;
    }
    if (!sizes.push_back(part->size())) return nullptr;
  }
  if (parts.empty()) {
    vek_report(manager, VEK_ERROR_ARGUMENT, "VEK_CombinedInputStorage::create()", kFile, 59);
    return nullptr;
  }
  return vek_create<VEK_CombinedInputStorage>(manager, parts, sizes);
}

int32_t VEK_CombinedInputStorage::size() {
  if (empty_) return 0;
  int64_t total = 0;
  for (uint32_t i = 0; i < parts_.size(); ++i) total += effective(i);
  return int32_t(std::min<int64_t>(total, INT32_MAX));
}

int32_t VEK_CombinedInputStorage::tell() {
  if (empty_) return 0;
  int64_t position = 0;
  for (uint32_t i = 0; i < current_ && i < parts_.size(); ++i) position += effective(i);
  if (current_ < parts_.size()) position += parts_[current_]->tell();
  return int32_t(std::min<int64_t>(position, INT32_MAX));
}

int32_t VEK_CombinedInputStorage::get() {
  uint8_t byte = 0;
  return read(&byte, 1) == 1 ? byte : -1;
}

int32_t VEK_CombinedInputStorage::read(void* buffer, int32_t n) {
  if (empty_ || n == 0) return 0;
  if (buffer == nullptr || n < 0) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_CombinedInputStorage::read()", kFile, 125);
    return 0;
  }
  uint8_t* to = static_cast<uint8_t*>(buffer);
  int32_t total = 0;
  int32_t wanted = n;
  for (uint32_t i = current_; i < parts_.size(); ++i) {
    if (i > current_) {
      current_ = i;
      if (!parts_[i]->to_begin()) return total;
    }
    const int32_t left = std::max(0, effective(i) - parts_[i]->tell());
    if (left >= wanted) return total + parts_[i]->read(to + total, wanted);
    const int32_t got = parts_[i]->read(to + total, left);
    total += got;
    if (got < left) return total;
    wanted -= got;
  }
  return total;
}

int32_t VEK_CombinedInputStorage::skip(int32_t n) {
  if (empty_ || n == 0) return 0;
  int64_t moved = 0;
  if (n > 0) {
    int64_t wanted = n;
    for (uint32_t i = current_; i < parts_.size(); ++i) {
      if (i > current_) {
        current_ = i;
        if (!parts_[i]->to_begin()) break;
      }
      const int32_t left = std::max(0, effective(i) - parts_[i]->tell());
      if (left >= wanted) return int32_t(moved + parts_[i]->skip(int32_t(wanted)));
      const int32_t step = parts_[i]->skip(left);
      moved += step;
      if (step < left) break;
      wanted -= step;
      if (parts_[i]->size() < sizes_[i]) break;  // a part that shrank ends the stream
    }
    return int32_t(moved);
  }
  int64_t wanted = n;
  for (int64_t i = current_; i >= 0; --i) {
    const uint32_t part = uint32_t(i);
    if (part >= parts_.size()) continue;
    if (part < current_) {
      current_ = part;
      if (!parts_[part]->seek(effective(part))) break;
    }
    const int32_t back = -parts_[part]->tell();
    if (back <= wanted) return int32_t(moved + parts_[part]->skip(int32_t(wanted)));
    const int32_t step = parts_[part]->skip(back);
    moved += step;
    if (step != back) break;
    wanted -= step;
  }
  return int32_t(moved);
}

bool VEK_CombinedInputStorage::to_begin() {
  if (empty_) return false;
  bool ok = true;
  for (VEK_InputStorage* part : parts_) ok = part->to_begin() && ok;
  current_ = 0;
  return ok;
}

bool VEK_CombinedInputStorage::to_end() {
  if (empty_) return false;
  bool ok = true;
  for (uint32_t i = 0; i < parts_.size(); ++i) ok = parts_[i]->seek(effective(i)) && ok;
  current_ = parts_.size() - 1;
  for (uint32_t i = 0; i < parts_.size(); ++i)
    if (parts_[i]->size() < sizes_[i]) {
      current_ = i;
      break;
    }
  return ok;
}
