#include "vek_types.h"

// constinit: the singletons are usable from any static initialiser, whatever the order.
#define VEK_X_COLOR(NAME, CH, ID)                                                                       \
  static constinit VEK_ColorType_##NAME s_color_##NAME;                                                 \
  uint16_t VEK_ColorType_##NAME::channels() const { return CH; }                                        \
  bool VEK_ColorType_##NAME::is_valid_channels(uint16_t c) const { return CH == 0 ? c != 0 : c == CH; } \
  const char* VEK_ColorType_##NAME::name() const { return #NAME; }                                      \
  int32_t VEK_ColorType_##NAME::id() const { return ID; }                                               \
  const VEK_ColorType* VEK_ColorType_##NAME::instance() { return &s_color_##NAME; }
VEK_COLOR_TYPES(VEK_X_COLOR)
#undef VEK_X_COLOR

namespace {
constexpr bool valid_bits(int32_t id, uint16_t b) {
  switch (id) {
    case 0:
      return b == 1 || b == 2 || b == 4 || b == 8 || b == 16 || b == 32;
    case 1:
      return b == 8 || b == 16 || b == 32;
    case 2:
      return b == 32 || b == 64;
    default:
      return b != 0;
  }
}
}  // namespace

#define VEK_X_DATA(NAME, ID)                                                              \
  static constinit VEK_DataType_##NAME s_data_##NAME;                                     \
  bool VEK_DataType_##NAME::is_valid_bits(uint16_t b) const { return valid_bits(ID, b); } \
  const char* VEK_DataType_##NAME::name() const { return #NAME; }                         \
  int32_t VEK_DataType_##NAME::id() const { return ID; }                                  \
  const VEK_DataType* VEK_DataType_##NAME::instance() { return &s_data_##NAME; }          \
  const VEK_DataType* const VEK_DataType::NAME = &s_data_##NAME;
VEK_DATA_TYPES(VEK_X_DATA)
#undef VEK_X_DATA

#define VEK_X_ENCODE(NAME, ID)                                      \
  static constinit VEK_EncodeType_##NAME s_encode_##NAME;           \
  const char* VEK_EncodeType_##NAME::name() const { return #NAME; } \
  int32_t VEK_EncodeType_##NAME::id() const { return ID; }          \
  const VEK_EncodeType* VEK_EncodeType_##NAME::instance() { return &s_encode_##NAME; }
VEK_ENCODE_TYPES(VEK_X_ENCODE)
#undef VEK_X_ENCODE

bool VEK_ColorType::is_gray(const VEK_ColorType* t) { return t == &s_color_gray; }
bool VEK_ColorType::is_gray_reverse(const VEK_ColorType* t) { return t == &s_color_gray_reverse; }
bool VEK_ColorType::is_lstar(const VEK_ColorType* t) { return t == &s_color_lstar; }
bool VEK_ColorType::is_s_rgb(const VEK_ColorType* t) { return t == &s_color_s_rgb; }
bool VEK_ColorType::is_adobe_rgb(const VEK_ColorType* t) { return t == &s_color_adobe_rgb; }
bool VEK_ColorType::is_ycbcr(const VEK_ColorType* t) { return t == &s_color_ycbcr; }
bool VEK_ColorType::is_hsl(const VEK_ColorType* t) { return t == &s_color_hsl; }
bool VEK_ColorType::is_icc_lab(const VEK_ColorType* t) { return t == &s_color_icc_lab; }
bool VEK_ColorType::is_itu_lab(const VEK_ColorType* t) { return t == &s_color_itu_lab; }
bool VEK_ColorType::is_xyz(const VEK_ColorType* t) { return t == &s_color_xyz; }
bool VEK_ColorType::is_cmy(const VEK_ColorType* t) { return t == &s_color_cmy; }
bool VEK_ColorType::is_cmyk(const VEK_ColorType* t) { return t == &s_color_cmyk; }
bool VEK_ColorType::is_rgb(const VEK_ColorType* t) { return t == &s_color_s_rgb || t == &s_color_adobe_rgb; }
bool VEK_EncodeType::is_raw(const VEK_EncodeType* t) { return t == &s_encode_raw; }
