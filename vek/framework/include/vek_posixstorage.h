#pragma once
// Descriptor-level file access; failures are reported to the manager.

#include <cstdint>

#include "vek_errorhandler.h"

class VEK_PosixLowLevelIO {
 public:
  explicit VEK_PosixLowLevelIO(VEK_Manager* manager) : manager_(manager) {}
  ~VEK_PosixLowLevelIO() { close(); }

  // Mode 1 read (the size is the result), mode 2 write (0); -1 on failure. Files of
  // 2 GiB or more are refused: positions are 32-bit.
  int32_t open_low(const char* path, int mode);
  bool close();
  int32_t position();
  // origin 0: from the start, 2: from the end. The new position, or -1.
  int32_t seek(int64_t offset, int origin);
  int32_t read(void* buffer, int32_t n);
  int32_t read_byte();

  int fd() const { return fd_; }
  void adopt(int fd) { fd_ = fd; }

 protected:
  VEK_Manager* manager_;
  int fd_ = -1;
};

// Opening with the failures reported; the descriptor work is LowLevel's.
template <class LowLevel>
class VEK_PosixStorage : public LowLevel {
 public:
  using LowLevel::LowLevel;

  bool open(const char* path, int mode) {
    constexpr const char* kFile = "framework/include/vek_posixstorage.h";
    if (path == nullptr) {
      vek_report(this->manager_, VEK_ERROR_ARGUMENT, "VEK_PosixStorage::open()", kFile, 87);
      return false;
    }
    if (this->open_low(path, mode) == -1) {
      vek_report(this->manager_, VEK_ERROR_IO, "VEK_PosixStorage::open()", kFile, 95);
      return false;
    }
    return true;
  }
};
