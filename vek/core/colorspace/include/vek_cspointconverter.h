#pragma once
// Per-pixel colour converters: integer ones on 8- or 16-bit samples, decimal ones on doubles in
// 0 to 1, and the converters to and from CIE XYZ (D50) through which the general route runs.

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>

#include "vek_root.h"
#include "vek_types.h"

template <class T>
class VEK_CsPointConverter : public VEK_Utility {
 public:
  explicit VEK_CsPointConverter(VEK_Manager* manager) : VEK_Utility(manager) {}
  // in and out never overlap.
  virtual void convert(const T* in, T* out) = 0;
  // count pixels in a row, in_step and out_step samples apart; one call per line instead of per pixel.
  virtual void convert_run(const T* in, T* out, uint32_t count, uint16_t in_step, uint16_t out_step) {
    for (uint32_t i = 0; i < count; ++i, in += in_step, out += out_step) convert(in, out);
  }
  T largest() const { return largest_; }

 protected:
  const T largest_ = std::numeric_limits<T>::max();
};

namespace vek_cs {

constexpr double kEpsilon = 2.220446049250313e-16;
constexpr double kSixTwentyNinth = 0.20689655172413793;
constexpr double kFourTwentyNinth = 0.13793103448275862;
constexpr double kCubeRoot = 0.3333333333333333;
// 1/(3 (6/29)^2) and (6/29)^3, worked out once.
inline const double kSlope = 1.0 / (3.0 * kSixTwentyNinth * kSixTwentyNinth);
inline const double kKnee = kSixTwentyNinth * kSixTwentyNinth * kSixTwentyNinth;
constexpr double kWhiteX = 0.9643, kWhiteZ = 0.8251;

// a when c, else b, without a branch.
inline double pick(bool c, double a, double b) {
  const uint64_t mask = uint64_t(0) - uint64_t(c);
  return std::bit_cast<double>((std::bit_cast<uint64_t>(a) & mask) | (std::bit_cast<uint64_t>(b) & ~mask));
}

inline double clamp01(double x) { return x < 0.0 ? 0.0 : (x > 1.0 ? 1.0 : x); }
inline double cie_f(double t) { return t > kKnee ? std::pow(t, kCubeRoot) : t * kSlope + kFourTwentyNinth; }
inline double cie_finv(double u) { return u > kSixTwentyNinth ? u * u * u : (u - kFourTwentyNinth) / kSlope; }

// largest x v as a sample of T: 0 below 0 and for a value that is not a number, T's maximum above it.
template <class T>
T saturate(double v) {
  constexpr double top = double(std::numeric_limits<T>::max());
  // Selects, not branches (they run per pixel); trunc through int64 without a call into libm.
  const double low = v >= 0.0 ? v : 0.0;
  return T(int64_t((low > top ? top : low) + 0.5));
}

// Halves away from zero for 0 <= x; x + 0.5 may round up in double, which the check undoes.
inline double round_half_up_nonnegative(double x) {
  double w = double(int64_t(x + 0.5));
  if (w - x > 0.5) w -= 1.0;
  return w;
}

}  // namespace vek_cs

// Integer converters.

template <class T>
class Gray2grayrevINT : public VEK_CsPointConverter<T> {
 public:
  using VEK_CsPointConverter<T>::VEK_CsPointConverter;
  void convert(const T* in, T* out) override { out[0] = T(this->largest_ - in[0]); }
};

template <class T>
class Rgb2cmyINT : public VEK_CsPointConverter<T> {
 public:
  using VEK_CsPointConverter<T>::VEK_CsPointConverter;
  void convert(const T* in, T* out) override {
    for (int i = 0; i < 3; ++i) out[i] = T(this->largest_ - in[i]);
  }
};

template <class T>
class Rgb2cmykINT : public VEK_CsPointConverter<T> {
 public:
  using VEK_CsPointConverter<T>::VEK_CsPointConverter;
  void convert(const T* in, T* out) override {
    const T c = T(this->largest_ - in[0]), m = T(this->largest_ - in[1]), y = T(this->largest_ - in[2]);
    const T k = std::min(c, std::min(m, y));
    if (k == this->largest_) {
      out[0] = out[1] = out[2] = 0;
    } else {
      out[0] = T(c - k);
      out[1] = T(m - k);
      out[2] = T(y - k);
    }
    out[3] = k;
  }
};

template <class T>
class Cmyk2rgbINT : public VEK_CsPointConverter<T> {
 public:
  using VEK_CsPointConverter<T>::VEK_CsPointConverter;
  void convert(const T* in, T* out) override {
    const uint32_t top = this->largest_, k = in[3];
    for (int i = 0; i < 3; ++i) out[i] = T(top - std::min(top, uint32_t(in[i]) + k));
  }
};

// Runs a decimal converter D on samples of T scaled to 0 … 1 and back.
template <class T, class D, class Inner>
class VEK_CsScaledINT : public VEK_CsPointConverter<T> {
 public:
  explicit VEK_CsScaledINT(VEK_Manager* manager) : VEK_CsPointConverter<T>(manager), inner_(manager) {
    if constexpr (kTable)
      for (uint32_t i = 0; i < 256; ++i) scaled_[i] = D(i) / D(this->largest_);
  }
  void convert(const T* in, T* out) override { pixel(in, out); }
  void convert_run(const T* in, T* out, uint32_t count, uint16_t in_step, uint16_t out_step) override {
    for (uint32_t i = 0; i < count; ++i, in += in_step, out += out_step) pixel(in, out);
  }

 private:
  void pixel(const T* in, T* out) {
    const D top = D(this->largest_);
    D x[3];
    for (int i = 0; i < 3; ++i) {
      if constexpr (kTable)
        x[i] = scaled_[in[i]];  // the same quotients, worked out once
      else
        x[i] = D(in[i]) / top;
    }
    D y[3];
    inner_.Inner::convert(x, y);  // the stage's own body, inlined
    for (int i = 0; i < 3; ++i) out[i] = vek_cs::saturate<T>(top * y[i]);
  }

  static constexpr bool kTable = sizeof(T) == 1;
  Inner inner_;
  D scaled_[kTable ? 256 : 1];
};

// Decimal converters.

template <class D>
class Gray2rgbDEC : public VEK_CsPointConverter<D> {
 public:
  using VEK_CsPointConverter<D>::VEK_CsPointConverter;
  void convert(const D* in, D* out) override { out[0] = out[1] = out[2] = in[0]; }
};

template <class D>
class Rgb2grayDEC : public VEK_CsPointConverter<D> {
 public:
  using VEK_CsPointConverter<D>::VEK_CsPointConverter;
  void convert(const D* in, D* out) override {
    out[0] = vek_cs::clamp01(0.298992944 * in[0] + 0.587015974 * in[1] + 0.113991082 * in[2]);
  }
};

template <class D>
class Rgb2cmyDEC : public VEK_CsPointConverter<D> {
 public:
  using VEK_CsPointConverter<D>::VEK_CsPointConverter;
  void convert(const D* in, D* out) override {
    for (int i = 0; i < 3; ++i) out[i] = 1.0 - in[i];
  }
};

template <class D>
class Rgb2cmykDEC : public VEK_CsPointConverter<D> {
 public:
  using VEK_CsPointConverter<D>::VEK_CsPointConverter;
  void convert(const D* in, D* out) override {
    const D c = 1.0 - in[0], m = 1.0 - in[1], y = 1.0 - in[2];
    const D k = std::min(c, std::min(m, y));
    if (std::fabs(1.0 - k) <= vek_cs::kEpsilon) {
      out[0] = out[1] = out[2] = 0.0;
    } else {
      out[0] = c - k;
      out[1] = m - k;
      out[2] = y - k;
    }
    out[3] = k;
  }
};

template <class D>
class Cmyk2rgbDEC : public VEK_CsPointConverter<D> {
 public:
  using VEK_CsPointConverter<D>::VEK_CsPointConverter;
  void convert(const D* in, D* out) override {
    for (int i = 0; i < 3; ++i) out[i] = 1.0 - std::min(in[i] + in[3], D(1.0));
  }
};

template <class D>
class Rgb2ycbcrDEC : public VEK_CsPointConverter<D> {
 public:
  using VEK_CsPointConverter<D>::VEK_CsPointConverter;
  void convert(const D* in, D* out) override {
    const D r = in[0], g = in[1], b = in[2];
    out[0] = vek_cs::clamp01(0.298992944 * r + 0.587015974 * g + 0.113991082 * b);
    out[1] = vek_cs::clamp01(-0.16873191 * r - 0.331273123 * g + 0.500005033 * b + 0.5);
    out[2] = vek_cs::clamp01(0.500005033 * r - 0.418698983 * g - 0.08130605 * b + 0.5);
  }
};

template <class D>
class Ycbcr2srgbDEC : public VEK_CsPointConverter<D> {
 public:
  using VEK_CsPointConverter<D>::VEK_CsPointConverter;
  void convert(const D* in, D* out) override {
    const D y = in[0], b = in[1] - 0.5, r = in[2] - 0.5;
    out[0] = vek_cs::clamp01(y + 1.402 * r);
    out[1] = vek_cs::clamp01(y - 0.3441 * b - 0.7141 * r);
    out[2] = vek_cs::clamp01(y + 1.772 * b);
  }
};

template <class D>
class Rgb2hslDEC : public VEK_CsPointConverter<D> {
 public:
  using VEK_CsPointConverter<D>::VEK_CsPointConverter;
  void convert(const D* in, D* out) override {
    const D r = in[0], g = in[1], b = in[2];
    const D hi = std::max(r, std::max(g, b)), lo = std::min(r, std::min(g, b));
    const D l = (hi + lo) * 0.5, d = hi - lo;
    // Written as bit selects rather than branches: the per-pixel engine runs this on every pixel,
    // where branches on the channel order mispredict. The results are those of the branches.
    using vek_cs::pick;
    const D s_denominator = pick(l <= 0.5, hi + lo, 2.0 - hi - lo);
    const bool is_r = hi == r, is_g = !is_r && hi == g;
    const D numerator = pick(is_r, g - b, pick(is_g, b - r, r - g));
    const D base = pick(is_r, 0.0, pick(is_g, 2.0, 4.0));
    D h = (base + numerator / d) * 60.0;
    h = pick(h < 0.0, h + 360.0, h);
    h *= 0.002777777777777778;
    const bool gray = std::fabs(d) <= vek_cs::kEpsilon;
    h = pick(gray, 0.0, h);
    const D s = pick(gray, 0.0, d / s_denominator);
    out[0] = vek_cs::clamp01(h);
    out[1] = vek_cs::clamp01(s);
    out[2] = vek_cs::clamp01(l);
  }
};

template <class D>
class Hsl2rgbDEC : public VEK_CsPointConverter<D> {
 public:
  using VEK_CsPointConverter<D>::VEK_CsPointConverter;
  void convert(const D* in, D* out) override {
    const D h = in[0], s = in[1], l = in[2];
    if (s == 0.0) {
      out[0] = out[1] = out[2] = l;
      return;
    }
    const D m2 = l >= 0.5 ? l + s - l * s : (1.0 + s) * l;
    const D m1 = 2.0 * l - m2;
    const D degrees = h * 360.0;
    // Whole degrees, halves away from zero; a value that is not a number counts as 0.
    const D whole = degrees > 360.0 ? 360.0 : (degrees >= 0.0 ? vek_cs::round_half_up_nonnegative(degrees) : 0.0);
    out[0] = vek_cs::clamp01(f(m1, m2, whole + 120.0));
    out[1] = vek_cs::clamp01(f(m1, m2, whole));
    out[2] = vek_cs::clamp01(f(m1, m2, whole - 120.0));
  }

 private:
  static D f(D m1, D m2, D x) {
    if (x < 0.0) x += 360.0;
    if (x > 359.0) x -= 360.0;
    if (x < 60.0) return m1 + (m2 - m1) * x * 0.016666666666666666;
    if (x < 180.0) return m2;
    if (x >= 240.0) return m1;
    return m1 + (m2 - m1) * (240.0 - x) * 0.016666666666666666;
  }
};

template <class T>
class Rgb2hslINT : public VEK_CsScaledINT<T, double, Rgb2hslDEC<double>> {
 public:
  using VEK_CsScaledINT<T, double, Rgb2hslDEC<double>>::VEK_CsScaledINT;
};

template <class T>
class Hsl2rgbINT : public VEK_CsScaledINT<T, double, Hsl2rgbDEC<double>> {
 public:
  using VEK_CsScaledINT<T, double, Hsl2rgbDEC<double>>::VEK_CsScaledINT;
};

// ITU Lab codes the minima of a and b as fractions of S / (S - 1), S the number of sample values.
template <class T>
constexpr double vek_itu_scale() {
  return sizeof(T) == 1 ? 256.0 / 255.0 : 65536.0 / 65535.0;
}

template <class D, class T>
class Itulab2cielabDEC : public VEK_CsPointConverter<D> {
 public:
  using VEK_CsPointConverter<D>::VEK_CsPointConverter;
  void convert(const D* in, D* out) override {
    out[0] = 100.0 * in[0];
    out[1] = 170.0 * in[1] - 170.0 * 0.5 * vek_itu_scale<T>();
    out[2] = 200.0 * in[2] - 200.0 * 0.375 * vek_itu_scale<T>();
  }
};

template <class D, class T>
class Cielab2itulabDEC : public VEK_CsPointConverter<D> {
 public:
  using VEK_CsPointConverter<D>::VEK_CsPointConverter;
  void convert(const D* in, D* out) override {
    out[0] = 0.01 * in[0];
    out[1] = in[1] / 170.0 + 0.5 * vek_itu_scale<T>();
    out[2] = 0.005 * in[2] + 0.375 * vek_itu_scale<T>();
  }
};

// XYZ converters (D50 white: 0.9643, 1.0, 0.8251).

template <class D>
class Srgb2xyz : public VEK_CsPointConverter<D> {
 public:
  using VEK_CsPointConverter<D>::VEK_CsPointConverter;
  void convert(const D* in, D* out) override {
    D c[3];
    for (int i = 0; i < 3; ++i) {
      const D v = in[i] <= 0.0392768 ? in[i] * (1.0 / 12.92) : std::pow((in[i] + 0.055) * (1.0 / 1.055), 2.4);
      c[i] = std::min(v, D(1.0));
    }
    out[0] = vek_cs::clamp01(0.4361 * c[0] + 0.3851 * c[1] + 0.1431 * c[2]);
    out[1] = vek_cs::clamp01(0.2225 * c[0] + 0.7169 * c[1] + 0.0606 * c[2]);
    out[2] = vek_cs::clamp01(0.0139 * c[0] + 0.0971 * c[1] + 0.7141 * c[2]);
  }
};

template <class D>
class Xyz2srgb : public VEK_CsPointConverter<D> {
 public:
  using VEK_CsPointConverter<D>::VEK_CsPointConverter;
  void convert(const D* in, D* out) override {
    const D x = in[0], y = in[1], z = in[2];
    const D c[3] = {vek_cs::clamp01(3.133602571 * x - 1.616821401 * y - 0.490742404 * z),
                    vek_cs::clamp01(-0.978650316 * x + 1.916061004 * y + 0.033512902 * z),
                    vek_cs::clamp01(0.072076558 * x - 0.229065545 * y + 1.405359497 * z)};
    for (int i = 0; i < 3; ++i) {
      const D v = c[i] > 0.00304 ? std::pow(c[i], 0.4166666666666667) * 1.055 - 0.055 : c[i] * 12.92;
      out[i] = std::min(v, D(1.0));
    }
  }
};

template <class D>
class Adobergb2xyz : public VEK_CsPointConverter<D> {
 public:
  using VEK_CsPointConverter<D>::VEK_CsPointConverter;
  void convert(const D* in, D* out) override {
    D c[3];
    for (int i = 0; i < 3; ++i) c[i] = in[i] > 0.0 ? std::pow(in[i], 2.2) : in[i];
    out[0] = 0.6097 * c[0] + 0.2053 * c[1] + 0.1492 * c[2];
    out[1] = 0.3111 * c[0] + 0.6257 * c[1] + 0.0632 * c[2];
    out[2] = 0.0195 * c[0] + 0.0609 * c[1] + 0.7446 * c[2];
  }
};

template <class D>
class Xyz2adobergb : public VEK_CsPointConverter<D> {
 public:
  using VEK_CsPointConverter<D>::VEK_CsPointConverter;
  void convert(const D* in, D* out) override {
    const D x = in[0], y = in[1], z = in[2];
    const D c[3] = {1.962711 * x - 0.610757 * y - 0.34144 * z, -0.97876 * x + 1.916094 * y + 0.033486 * z,
                    0.028651 * x - 0.14072 * y + 1.349206 * z};
    for (int i = 0; i < 3; ++i) out[i] = c[i] > 0.0 ? std::min(std::pow(c[i], 0.45454545454545453), D(1.0)) : 0.0;
  }
};

template <class D>
class Lstar2xyz : public VEK_CsPointConverter<D> {
 public:
  using VEK_CsPointConverter<D>::VEK_CsPointConverter;
  void convert(const D* in, D* out) override {
    const D y = vek_cs::cie_finv((100.0 * in[0] + 16.0) / 116.0);
    out[0] = vek_cs::kWhiteX * y;
    out[1] = y;
    out[2] = vek_cs::kWhiteZ * y;
  }
};

template <class D>
class Xyz2lstar : public VEK_CsPointConverter<D> {
 public:
  using VEK_CsPointConverter<D>::VEK_CsPointConverter;
  void convert(const D* in, D* out) override { out[0] = (116.0 * vek_cs::cie_f(in[1]) - 16.0) * 0.01; }
};

template <class D>
class Cielab2xyz : public VEK_CsPointConverter<D> {
 public:
  using VEK_CsPointConverter<D>::VEK_CsPointConverter;
  void convert(const D* in, D* out) override {
    const D u = (in[0] + 16.0) / 116.0;
    out[0] = vek_cs::kWhiteX * vek_cs::cie_finv(u + 0.002 * in[1]);
    out[1] = vek_cs::cie_finv(u);
    out[2] = vek_cs::kWhiteZ * vek_cs::cie_finv(u - 0.005 * in[2]);
  }
};

template <class D>
class Xyz2cielab : public VEK_CsPointConverter<D> {
 public:
  using VEK_CsPointConverter<D>::VEK_CsPointConverter;
  void convert(const D* in, D* out) override {
    const D fx = vek_cs::cie_f(in[0] * 1.0370216737529814), fy = vek_cs::cie_f(in[1]),
            fz = vek_cs::cie_f(in[2] * 1.21197430614471);
    out[0] = 116.0 * fy - 16.0;
    out[1] = 500.0 * (fx - fy);
    out[2] = 200.0 * (fy - fz);
  }
};

// Two stages run in turn through three doubles.
template <class D, class First, class Second>
class VEK_CsComposite : public VEK_CsPointConverter<D> {
 public:
  explicit VEK_CsComposite(VEK_Manager* manager)
      : VEK_CsPointConverter<D>(manager), first_(manager), second_(manager) {}
  void convert(const D* in, D* out) override {
    D middle[3];
    first_.convert(in, middle);
    second_.convert(middle, out);
  }

 private:
  First first_;
  Second second_;
};

// ICC Lab codes L in 0 … 1 and a, b as (v + 128) / 255.
template <class D>
class VEK_IcclabDecode : public VEK_CsPointConverter<D> {
 public:
  using VEK_CsPointConverter<D>::VEK_CsPointConverter;
  void convert(const D* in, D* out) override {
    out[0] = 100.0 * in[0];
    out[1] = 255.0 * in[1] - 128.0;
    out[2] = 255.0 * in[2] - 128.0;
  }
};

template <class D>
class VEK_IcclabEncode : public VEK_CsPointConverter<D> {
 public:
  using VEK_CsPointConverter<D>::VEK_CsPointConverter;
  void convert(const D* in, D* out) override {
    out[0] = 0.01 * in[0];
    out[1] = in[1] * 0.00392156862745098 + 0.5019607843137255;
    out[2] = in[2] * 0.00392156862745098 + 0.5019607843137255;
  }
};

template <class D>
class VEK_CsOneMinus : public VEK_CsPointConverter<D> {
 public:
  using VEK_CsPointConverter<D>::VEK_CsPointConverter;
  void convert(const D* in, D* out) override { out[0] = 1.0 - in[0]; }
};

template <class D>
class Icclab2xyz : public VEK_CsComposite<D, VEK_IcclabDecode<D>, Cielab2xyz<D>> {
 public:
  using VEK_CsComposite<D, VEK_IcclabDecode<D>, Cielab2xyz<D>>::VEK_CsComposite;
};
template <class D>
class Xyz2icclab : public VEK_CsComposite<D, Xyz2cielab<D>, VEK_IcclabEncode<D>> {
 public:
  using VEK_CsComposite<D, Xyz2cielab<D>, VEK_IcclabEncode<D>>::VEK_CsComposite;
};
template <class D, class T>
class Itulab2xyz : public VEK_CsComposite<D, Itulab2cielabDEC<D, T>, Cielab2xyz<D>> {
 public:
  using VEK_CsComposite<D, Itulab2cielabDEC<D, T>, Cielab2xyz<D>>::VEK_CsComposite;
};
template <class D, class T>
class Xyz2itulab : public VEK_CsComposite<D, Xyz2cielab<D>, Cielab2itulabDEC<D, T>> {
 public:
  using VEK_CsComposite<D, Xyz2cielab<D>, Cielab2itulabDEC<D, T>>::VEK_CsComposite;
};
template <class D>
class Gray2xyz : public VEK_CsComposite<D, Gray2rgbDEC<D>, Srgb2xyz<D>> {
 public:
  using VEK_CsComposite<D, Gray2rgbDEC<D>, Srgb2xyz<D>>::VEK_CsComposite;
};
template <class D>
class Grayrev2xyz : public VEK_CsComposite<D, VEK_CsOneMinus<D>, Gray2xyz<D>> {
 public:
  using VEK_CsComposite<D, VEK_CsOneMinus<D>, Gray2xyz<D>>::VEK_CsComposite;
};
template <class D>
class Ycbcr2xyz : public VEK_CsComposite<D, Ycbcr2srgbDEC<D>, Srgb2xyz<D>> {
 public:
  using VEK_CsComposite<D, Ycbcr2srgbDEC<D>, Srgb2xyz<D>>::VEK_CsComposite;
};
template <class D>
class Hsl2xyz : public VEK_CsComposite<D, Hsl2rgbDEC<D>, Srgb2xyz<D>> {
 public:
  using VEK_CsComposite<D, Hsl2rgbDEC<D>, Srgb2xyz<D>>::VEK_CsComposite;
};
template <class D>
class Cmy2xyz : public VEK_CsComposite<D, Rgb2cmyDEC<D>, Srgb2xyz<D>> {
 public:
  using VEK_CsComposite<D, Rgb2cmyDEC<D>, Srgb2xyz<D>>::VEK_CsComposite;
};
template <class D>
class Cmyk2xyz : public VEK_CsComposite<D, Cmyk2rgbDEC<D>, Srgb2xyz<D>> {
 public:
  using VEK_CsComposite<D, Cmyk2rgbDEC<D>, Srgb2xyz<D>>::VEK_CsComposite;
};
template <class D>
class Xyz2gray : public VEK_CsComposite<D, Xyz2srgb<D>, Rgb2grayDEC<D>> {
 public:
  using VEK_CsComposite<D, Xyz2srgb<D>, Rgb2grayDEC<D>>::VEK_CsComposite;
};
template <class D>
class Xyz2grayrev : public VEK_CsComposite<D, Xyz2gray<D>, VEK_CsOneMinus<D>> {
 public:
  using VEK_CsComposite<D, Xyz2gray<D>, VEK_CsOneMinus<D>>::VEK_CsComposite;
};
template <class D>
class Xyz2ycbcr : public VEK_CsComposite<D, Xyz2srgb<D>, Rgb2ycbcrDEC<D>> {
 public:
  using VEK_CsComposite<D, Xyz2srgb<D>, Rgb2ycbcrDEC<D>>::VEK_CsComposite;
};
template <class D>
class Xyz2hsl : public VEK_CsComposite<D, Xyz2srgb<D>, Rgb2hslDEC<D>> {
 public:
  using VEK_CsComposite<D, Xyz2srgb<D>, Rgb2hslDEC<D>>::VEK_CsComposite;
};
template <class D>
class Xyz2cmy : public VEK_CsComposite<D, Xyz2srgb<D>, Rgb2cmyDEC<D>> {
 public:
  using VEK_CsComposite<D, Xyz2srgb<D>, Rgb2cmyDEC<D>>::VEK_CsComposite;
};
template <class D>
class Xyz2cmyk : public VEK_CsComposite<D, Xyz2srgb<D>, Rgb2cmykDEC<D>> {
 public:
  using VEK_CsComposite<D, Xyz2srgb<D>, Rgb2cmykDEC<D>>::VEK_CsComposite;
};

// Makes the two XYZ converters of the general route; none for xyz itself and for types
// without one. The caller owns the result.
template <class T>
class VEK_CsPointConverterFactory : public VEK_Utility {
 public:
  using VEK_Utility::VEK_Utility;
  VEK_CsPointConverter<double>* to_xyz(const VEK_ColorType* type);
  VEK_CsPointConverter<double>* from_xyz(const VEK_ColorType* type);
};

extern template class VEK_CsPointConverterFactory<unsigned char>;
extern template class VEK_CsPointConverterFactory<unsigned short>;
