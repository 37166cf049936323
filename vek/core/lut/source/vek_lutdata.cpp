#include <cstring>

#include "vek_errorhandler.h"
#include "vek_lut.h"

namespace {
constexpr const char* kFile = "core/lut/source/vek_lutdata.cpp";
}

VEK_LutData::~VEK_LutData() {
  if (table_ != nullptr && manager_ != nullptr) manager_->free(table_);
  table_ = nullptr;
  table_bytes_ = 0;
}

bool VEK_LutData::value(const void* table, uint32_t size) {
  const bool both_set = table != nullptr && size != 0;
  const bool both_empty = table == nullptr && size == 0;
  // In 64 bits: a product that wraps in 32 would let a short table pass for a long one.
  if (!(both_set || both_empty) || uint64_t(size) != expected_bytes()) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_LutData::value()", kFile, 197);
    return false;
  }
  if (table_ != nullptr) manager_->free(table_);
  table_ = nullptr;
  table_bytes_ = 0;
  if (size == 0) return true;
  table_ = static_cast<uint8_t*>(manager_->allocate(size));
  if (table_ == nullptr) return false;
  std::memcpy(table_, table, size);
  table_bytes_ = size;
  return true;
}

bool VEK_LutData::is_valid() const {
  if (bits_ == 0 && channels_ == 0 && entries_ == 0 && table_ == nullptr) return true;
  return channels_ != 0 && (bits_ == 8 || bits_ == 16 || bits_ == 32 || bits_ == 64) && data_type_ != nullptr &&
         data_type_->is_valid_bits(bits_) && table_ != nullptr && entries_ >= 1 && entries_ <= 65536;
}
