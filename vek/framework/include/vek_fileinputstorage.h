#pragma once
// Read-only file storage over descriptor I/O. The size is always asked of the file.

#include <cstdint>

#include "vek_basicstring.h"
#include "vek_posixstorage.h"
#include "vek_storage.h"

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
  VEK_PosixStorage<VEK_PosixLowLevelIO> file_;
  VEK_BasicString<char> path_;
};
