#include <ctime>

#include "vek_storage.h"

VEK_InputStorage::VEK_InputStorage(VEK_Manager* manager) : VEK_Object(manager) {
  stamp_time_ = uint32_t(std::time(nullptr));
}

void VEK_InputStorage::renew_stamp() {
  ++stamp_count_;
  stamp_time_ = uint32_t(std::time(nullptr));
}

bool VEK_InputStorage::is_end() {
  const int32_t n = size();
  return n == 0 || n == tell();
}

bool VEK_InputStorage::seek(int32_t n) {
  const int32_t total = size();
  if (n > total) n = total;
  to_begin();
  return skip(n) == n;
}

bool VEK_InputStorage::seek_end(int32_t n) {
  const int32_t total = size();
  if (n < -total) n = -total;
  to_end();
  return skip(n) == n;
}
