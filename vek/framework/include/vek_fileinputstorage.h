#pragma once
// Read-only file storage over descriptor I/O. The size is always asked of the file.

#include <cstdint>

#include "vek_basicstring.h"
#include "vek_storage.h"

// Descriptor-level file access; failures are reported to the manager.
class VEK_PosixStorage {
 public:
  explicit VEK_PosixStorage(VEK_Manager* manager) : manager_(manager) {}
  ~VEK_PosixStorage() { close(); }

  // Mode 1 read (the size is the result), mode 2 write (0); -1 on failure. Files of
  // 2 GiB or more are refused: positions are 32-bit.
  int32_t open_low(const char* path, int mode);
  bool open(const char* path, int mode);
  bool close();
  int32_t position();
  // origin 0: from the start, 2: from the end. The new position, or -1.
  int32_t seek(int64_t offset, int origin);
  int32_t read(void* buffer, int32_t n);
  int32_t read_byte();

  int fd() const { return fd_; }
  void adopt(int fd) { fd_ = fd; }

 private:
  VEK_Manager* manager_;
  int fd_ = -1;
};

class VEK_FileInputStorage : public VEK_InputStorage {
 public:
  explicit VEK_FileInputStorage(VEK_Manager* manager) : VEK_InputStorage(manager), file_(manager), path_(manager) {}
  ~VEK_FileInputStorage() override { file_.close(); }

  static VEK_FileInputStorage* create(VEK_Manager* manager, const char* path);

  bool initiate(int fd);
  // Null attaches nothing and answers true.
  bool initiate(const char* path);

  bool terminate() override;
  bool is_empty() const override { return file_.fd() == -1; }
  int32_t get() override { return file_.read_byte(); }
  int32_t read(void* buffer, int32_t n) override { return file_.read(buffer, n); }
  int32_t tell() override { return file_.position(); }
  int32_t skip(int32_t n) override;
  bool seek(int32_t n) override;
  bool seek_end(int32_t n) override;
  int32_t size() override;
  bool to_begin() override { return file_.seek(0, 0) == 0; }
  bool to_end() override { return file_.seek(0, 2) != -1; }

  VEK_BasicString<char> name() const { return path_; }

 private:
  VEK_PosixStorage file_;
  VEK_BasicString<char> path_;
};
