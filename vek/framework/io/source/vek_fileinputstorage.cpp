#include "vek_fileinputstorage.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "vek_errorhandler.h"

namespace {
constexpr const char* kLowFile = "framework/io/source/vek_posixlowlevelio.cpp";
constexpr const char* kPosixFile = "framework/include/vek_posixstorage.h";
constexpr const char* kFile = "framework/io/source/vek_fileinputstorage.cpp";
}  // namespace

int32_t VEK_PosixStorage::open_low(const char* path, int mode) {
  if (fd_ != -1) close();
  if (mode == 1) {
    struct stat st;
    if (::stat(path, &st) != 0) return -1;
    int fd;
    do fd = ::open(path, O_RDONLY | O_CLOEXEC);
    while (fd == -1 && errno == EINTR);
    if (fd == -1) return -1;
    // The size as the open descriptor sees it, and refused when positions cannot hold it.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > INT32_MAX) {
      ::close(fd);
      return -1;
    }
    fd_ = fd;
    return int32_t(st.st_size);
  }
  if (mode == 2) {
    int fd;
    do fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    while (fd == -1 && errno == EINTR);
    if (fd == -1) return -1;
    fd_ = fd;
    return 0;
  }
  return -1;
}

bool VEK_PosixStorage::open(const char* path, int mode) {
  if (path == nullptr) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_PosixStorage::open()", kPosixFile, 87);
    return false;
  }
  if (open_low(path, mode) == -1) {
    vek_report(manager_, VEK_ERROR_IO, "VEK_PosixStorage::open()", kPosixFile, 95);
    return false;
  }
  return true;
}

bool VEK_PosixStorage::close() {
  if (fd_ == -1) return true;
  const int result = ::close(fd_);
  fd_ = -1;
  if (result != 0 && errno != EINTR) {
    vek_report(manager_, VEK_ERROR_IO, "VEK_PosixLowLevelIO::close()", kLowFile, 66);
    return false;
  }
  return true;
}

int32_t VEK_PosixStorage::position() {
  const off_t p = fd_ == -1 ? -1 : ::lseek(fd_, 0, SEEK_CUR);
  if (p == -1) {
    vek_report(manager_, VEK_ERROR_IO, "VEK_PosixLowLevelIO::position()", kLowFile, 83);
    return -1;
  }
  return p > INT32_MAX ? INT32_MAX : int32_t(p);
}

int32_t VEK_PosixStorage::seek(int64_t offset, int origin) {
  const off_t p = fd_ == -1 ? -1 : ::lseek(fd_, off_t(offset), origin == 2 ? SEEK_END : SEEK_SET);
  if (p == -1) {
    vek_report(manager_, VEK_ERROR_IO, "VEK_PosixLowLevelIO::seek()", kLowFile, 100);
    return -1;
  }
  return position();
}

int32_t VEK_PosixStorage::read(void* buffer, int32_t n) {
  if (n <= 0) return 0;
  int32_t done = 0;
  while (done < n) {
    const ssize_t r = ::read(fd_, static_cast<char*>(buffer) + done, size_t(n - done));
    if (r == 0) break;
    if (r < 0) {
      if (errno == EINTR) continue;
      vek_report(manager_, VEK_ERROR_IO, "VEK_PosixLowLevelIO::read()", kLowFile, 151);
      break;
    }
    done += int32_t(r);
  }
  return done;
}

int32_t VEK_PosixStorage::read_byte() {
  uint8_t byte = 0;
  return read(&byte, 1) < 1 ? -1 : byte;
}

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
