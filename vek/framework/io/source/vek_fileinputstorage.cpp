#include "vek_fileinputstorage.h"

#include <cstring>

#include "vek_errorhandler.h"

namespace {
constexpr const char* kFile = "framework/io/source/vek_fileinputstorage.cpp";
}  // namespace

VEK_FileInputStorage* VEK_FileInputStorage::create(VEK_Manager* manager, const char* path) {
  return vek_create<VEK_FileInputStorage>(manager, path);
}

bool VEK_FileInputStorage::initiate(int fd) {
  if (fd < 0) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_FileInputStorage::initiate()", kFile, 106);
    return false;
  }
  if (fd == 0) return true;
  file_.adopt(fd);
  return true;
}

bool VEK_FileInputStorage::initiate(const char* path) {
  if (path == nullptr) return true;
  terminate();
  renew_stamp();
  path_.assign(path);
  if (path_.size() != std::strlen(path) || std::strcmp(path_.c_str(), path) != 0) return false;
  return file_.open(path, 1);
}

bool VEK_FileInputStorage::terminate() {
  file_.close();
  return true;
}

int32_t VEK_FileInputStorage::size() {
  if (is_empty()) return 0;  // nothing attached: no descriptor call to fail
  const int32_t here = file_.position();
  if (here == -1) return 0;
  const int32_t end = file_.seek(0, 2);
  file_.seek(here, 0);
  return end < 0 ? 0 : end;
}

int32_t VEK_FileInputStorage::skip(int32_t n) {
  if (n == 0) return 0;
  const int32_t current = file_.position();
  const int32_t end = file_.seek(0, 2);
  if (current < 0 || end < 0) return 0;
  const int64_t target = vek_clamp_position(int64_t(current) + n, 0, end);
  if (file_.seek(target, 0) < 0) return 0;
  return int32_t(target - current);
}

bool VEK_FileInputStorage::seek(int32_t n) {
  const int32_t total = size();
  return file_.seek(n > total ? total : n, 0) != -1;
}

bool VEK_FileInputStorage::seek_end(int32_t n) {
  const int64_t target = vek_clamp_position(int64_t(size()) + n, 0, INT32_MAX);
  return file_.seek(target, 0) != -1;
}
