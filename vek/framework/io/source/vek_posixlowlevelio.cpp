#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

#include "platform/platfile.h"
#include "vek_posixstorage.h"

namespace {
constexpr const char* kFile = "framework/io/source/vek_posixlowlevelio.cpp";
}  // namespace

int32_t VEK_PosixLowLevelIO::open_low(const char* path, int mode) {
  if (fd_ != -1) close();
  if (mode == 1) {
    // A named pipe or a device on a disc is refused, never waited on or read without end.
    const int fd = PlatOpenRegularFile(path);
    if (fd == -1) return -1;
    // The size as the open descriptor sees it, and refused when positions cannot hold it.
    struct stat st;
    if (::fstat(fd, &st) != 0 || st.st_size > INT32_MAX) {
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

bool VEK_PosixLowLevelIO::close() {
  if (fd_ == -1) return true;
  const int result = ::close(fd_);
  fd_ = -1;
  if (result != 0 && errno != EINTR) {
    vek_report(manager_, VEK_ERROR_IO, "VEK_PosixLowLevelIO::close()", kFile, 66);
    return false;
  }
  return true;
}

int32_t VEK_PosixLowLevelIO::position() {
  const off_t p = fd_ == -1 ? -1 : ::lseek(fd_, 0, SEEK_CUR);
  if (p == -1) {
    vek_report(manager_, VEK_ERROR_IO, "VEK_PosixLowLevelIO::position()", kFile, 83);
    return -1;
  }
  return p > INT32_MAX ? INT32_MAX : int32_t(p);
}

int32_t VEK_PosixLowLevelIO::seek(int64_t offset, int origin) {
  const off_t p = fd_ == -1 ? -1 : ::lseek(fd_, off_t(offset), origin == 2 ? SEEK_END : SEEK_SET);
  if (p == -1) {
    vek_report(manager_, VEK_ERROR_IO, "VEK_PosixLowLevelIO::seek()", kFile, 100);
    return -1;
  }
  return position();
}

int32_t VEK_PosixLowLevelIO::read(void* buffer, int32_t n) {
  if (n <= 0) return 0;
  int32_t done = 0;
  while (done < n) {
    const ssize_t r = ::read(fd_, static_cast<char*>(buffer) + done, size_t(n - done));
    if (r == 0) break;
    if (r < 0) {
      if (errno == EINTR) continue;
      vek_report(manager_, VEK_ERROR_IO, "VEK_PosixLowLevelIO::read()", kFile, 151);
      break;
    }
    done += int32_t(r);
  }
  return done;
}

int32_t VEK_PosixLowLevelIO::read_byte() {
  uint8_t byte = 0;
  return read(&byte, 1) < 1 ? -1 : byte;
}
