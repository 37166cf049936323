#include <cstring>
#include <limits>

#include "vek_convert1to8xnbits.h"
#include "vek_errorhandler.h"

namespace {
constexpr const char* kEngineFile = "core/convert1to8xnbits/source/vek_convert1to8xnbitsengine.cpp";
}  // namespace

template <class T>
bool VEK_Convert1To8xNBitsEngine<T>::initiate(const VEK_Header* header, VEK_SrcBuffer* source,
                                              VEK_DstBuffer* destination, const VEK_DataType* data_type, uint16_t bits,
                                              int32_t value0, int32_t value1) {
  const char* method = "VEK_Convert1To8xNBitsEngine::initiate()";
  if (!check_interface_version(VEK_INTERFACE_VERSION)) {
    vek_report(manager_, VEK_ERROR_VERSION, method, kEngineFile, 174);
    return false;
  }
  if (!VEK_ProcessLineToLineEngine::initiate(header, source, destination)) return false;
  if (header->data_type() != VEK_DataType::u_integer || header->bits() != 1 || !header->palette().empty()) {
    vek_report(manager_, VEK_ERROR_FORMAT, method, kEngineFile, 183);
    return false;
  }
  const bool integer = data_type == VEK_DataType::u_integer || data_type == VEK_DataType::s_integer;
  int64_t low = 0, high = 0;
  if (bits == 8 || bits == 16) {
    low = data_type == VEK_DataType::u_integer ? 0 : -(int64_t(1) << (bits - 1));
    high = data_type == VEK_DataType::u_integer ? (int64_t(1) << bits) - 1 : (int64_t(1) << (bits - 1)) - 1;
  }
  // The values must also fit T itself: the creator keeps T and the request consistent.
  if ((bits != 8 && bits != 16) || !integer || value0 < low || value0 > high || value1 < low || value1 > high ||
      bits != sizeof(T) * 8 || value0 < std::numeric_limits<T>::lowest() || value0 > std::numeric_limits<T>::max() ||
      value1 < std::numeric_limits<T>::lowest() || value1 > std::numeric_limits<T>::max()) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, method, kEngineFile, 194);
    return false;
  }
  zero_ = T(value0);
  one_ = T(value1);
  line_shape_.of(*header);
  table_ = static_cast<T*>(manager_->allocate(uint32_t(256 * 8 * sizeof(T))));
  if (table_ == nullptr) return false;
  for (int b = 0; b < 256; ++b)
    for (int k = 0; k < 8; ++k) table_[b * 8 + k] = (b & (0x80 >> k)) ? one_ : zero_;
  out_header_.data_type(data_type);
  out_header_.bits(bits);
  return dst_->block_bytes(out_header_.line_bytes());
}

template <class T>
bool VEK_Convert1To8xNBitsEngine<T>::process_line(const void* in, void* out) {
  const auto* s = static_cast<const uint8_t*>(in);
  T* d = static_cast<T*>(out);
  for (uint32_t i = 0; i < line_shape_.whole_bytes; ++i, d += 8) std::memcpy(d, table_ + s[i] * 8, 8 * sizeof(T));
  if (line_shape_.rest != 0) std::memcpy(d, table_ + s[line_shape_.whole_bytes] * 8, line_shape_.rest * sizeof(T));
  return true;
}

template <class T>
bool VEK_Convert1To8xNBitsEngine<T>::terminate() {
  if (table_ != nullptr) manager_->free(table_);
  table_ = nullptr;
  return VEK_ProcessEngine::terminate();
}

template class VEK_Convert1To8xNBitsEngine<uint8_t>;
template class VEK_Convert1To8xNBitsEngine<int8_t>;
template class VEK_Convert1To8xNBitsEngine<uint16_t>;
template class VEK_Convert1To8xNBitsEngine<int16_t>;
