#pragma once
// Colour, data and encode types: process-wide constant singletons compared by identity.
// Names and ids are for reporting and mapping only.

#include <cstdint>

class VEK_ColorType {
 public:
  constexpr VEK_ColorType() = default;
  virtual ~VEK_ColorType() = default;
  virtual uint16_t channels() const = 0;
  virtual bool is_valid_channels(uint16_t channels) const = 0;
  virtual const char* name() const = 0;
  virtual int32_t id() const = 0;

  static bool is_gray(const VEK_ColorType* type);
  static bool is_gray_reverse(const VEK_ColorType* type);
  static bool is_lstar(const VEK_ColorType* type);
  static bool is_s_rgb(const VEK_ColorType* type);
  static bool is_adobe_rgb(const VEK_ColorType* type);
  static bool is_ycbcr(const VEK_ColorType* type);
  static bool is_hsl(const VEK_ColorType* type);
  static bool is_icc_lab(const VEK_ColorType* type);
  static bool is_itu_lab(const VEK_ColorType* type);
  static bool is_xyz(const VEK_ColorType* type);
  static bool is_cmy(const VEK_ColorType* type);
  static bool is_cmyk(const VEK_ColorType* type);
  static bool is_rgb(const VEK_ColorType* type);  // s_rgb or adobe_rgb
};

class VEK_DataType {
 public:
  constexpr VEK_DataType() = default;
  virtual ~VEK_DataType() = default;
  virtual bool is_valid_bits(uint16_t bits) const = 0;
  virtual const char* name() const = 0;
  virtual int32_t id() const = 0;

  static const VEK_DataType* const u_integer;
  static const VEK_DataType* const s_integer;
  static const VEK_DataType* const floating;
  static const VEK_DataType* const unknown;
};

class VEK_EncodeType {
 public:
  constexpr VEK_EncodeType() = default;
  virtual ~VEK_EncodeType() = default;
  virtual const char* name() const = 0;
  virtual int32_t id() const = 0;

  static bool is_raw(const VEK_EncodeType* type);
};

// Colour types: "none" and "unknown" accept any non-zero channel count, the others exactly their own.
#define VEK_DECLARE_COLOR_TYPE(NAME)                          \
  class VEK_ColorType_##NAME final : public VEK_ColorType {   \
   public:                                                    \
    constexpr VEK_ColorType_##NAME() = default;               \
    uint16_t channels() const override;                       \
    bool is_valid_channels(uint16_t channels) const override; \
    const char* name() const override;                        \
    int32_t id() const override;                              \
    static const VEK_ColorType* instance();                   \
  };
#define VEK_DECLARE_DATA_TYPE(NAME)                       \
  class VEK_DataType_##NAME final : public VEK_DataType { \
   public:                                                \
    constexpr VEK_DataType_##NAME() = default;            \
    bool is_valid_bits(uint16_t bits) const override;     \
    const char* name() const override;                    \
    int32_t id() const override;                          \
    static const VEK_DataType* instance();                \
  };
#define VEK_DECLARE_ENCODE_TYPE(NAME)                         \
  class VEK_EncodeType_##NAME final : public VEK_EncodeType { \
   public:                                                    \
    constexpr VEK_EncodeType_##NAME() = default;              \
    const char* name() const override;                        \
    int32_t id() const override;                              \
    static const VEK_EncodeType* instance();                  \
  };

// The tables are laid out by hand, a row of entries a line.
// clang-format off
#define VEK_COLOR_TYPES(X) \
  X(none, 0, 0) X(gray, 1, 100) X(gray_reverse, 1, 102) X(lstar, 1, 110) X(s_rgb, 3, 220) \
  X(adobe_rgb, 3, 240) X(ycbcr, 3, 300) X(hsl, 3, 400) X(icc_lab, 3, 520) X(itu_lab, 3, 540) \
  X(xyz, 3, 1000) X(cmy, 3, 600) X(cmyk, 4, 2000) X(unknown, 0, -1)
#define VEK_DATA_TYPES(X) X(u_integer, 0) X(s_integer, 1) X(floating, 2) X(unknown, -1)
#define VEK_ENCODE_TYPES(X)                                                                  \
  X(raw, 0) X(mh, 100) X(mr, 120) X(mmr, 140) X(pack_bits, 200) X(byte_encode, 220)           \
  X(win_rle8, 300) X(win_rle4, 310) X(qk_rle, 320) X(qk_rle_be, 322) X(qk_rlc, 330)            \
  X(qk_rlc_be, 332) X(qk_rlen, 340) X(qk_rlen_be, 342) X(lzw, 400) X(flate, 420) X(jbig, 1000) \
  X(jbig2, 1020) X(jbigcolor, 1040) X(jpeg, 2000) X(jpeg2000, 2020) X(qk_mrcs, 8000)           \
  X(qk_mrct, 8020) X(ascii85, 10000) X(asciihex, 10020) X(base64, 10040) X(unknown, -1)
// clang-format on

#define VEK_X_COLOR(NAME, CH, ID) VEK_DECLARE_COLOR_TYPE(NAME)
#define VEK_X_DATA(NAME, ID) VEK_DECLARE_DATA_TYPE(NAME)
#define VEK_X_ENCODE(NAME, ID) VEK_DECLARE_ENCODE_TYPE(NAME)
VEK_COLOR_TYPES(VEK_X_COLOR)
VEK_DATA_TYPES(VEK_X_DATA)
VEK_ENCODE_TYPES(VEK_X_ENCODE)
#undef VEK_X_COLOR
#undef VEK_X_DATA
#undef VEK_X_ENCODE

// The CIE L*a*b* slope 1 / (3 (6/29)^2) and threshold (6/29)^3, by repeated multiplication.
inline constexpr double vek_lab_delta = 6.0 / 29.0;
inline constexpr double vek_lab_slope = 1.0 / (3.0 * (vek_lab_delta * vek_lab_delta));
inline constexpr double vek_lab_threshold = vek_lab_delta * vek_lab_delta * vek_lab_delta;
