#pragma once
// Fixed-point reals: VEK_FixedRealImpl<int, 12> (Q12) holds raw / 4096 in a signed 32-bit word.
// Products, sums and sample products wrap modulo 2^32 like the 32-bit arithmetic they stand for;
// they are computed in 64-bit or unsigned arithmetic so that the wrap is defined.

#include <cmath>
#include <cstdint>

template <class I, int FractionBits>
class VEK_FixedRealImpl;

template <>
class VEK_FixedRealImpl<int, 12> {
 public:
  static constexpr int kFractionBits = 12;
  static constexpr int32_t kOne = 1 << kFractionBits;

  constexpr VEK_FixedRealImpl() = default;
  // d x 4096 truncated toward zero; saturated outside 32 bits, NaN gives 0.
  explicit VEK_FixedRealImpl(double d) : raw_(from_double(d)) {}

  static constexpr VEK_FixedRealImpl from_raw(int32_t raw) {
    VEK_FixedRealImpl v;
    v.raw_ = raw;
    return v;
  }
  // s shifted left by 12 bits, modulo 2^32.
  static constexpr VEK_FixedRealImpl from_int(int32_t s) {
    return from_raw(static_cast<int32_t>(static_cast<uint32_t>(s) << kFractionBits));
  }

  constexpr int32_t raw() const { return raw_; }

  // floor(a x b / 4096) of the exact product, low 32 bits kept.
  constexpr VEK_FixedRealImpl operator*(VEK_FixedRealImpl other) const {
    const int64_t product = int64_t(raw_) * other.raw_;
    return from_raw(static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(product >> kFractionBits))));
  }
  // A weight times an integer sample: raw x s, already the exact Q12 product, modulo 2^32.
  constexpr VEK_FixedRealImpl operator*(int32_t sample) const {
    return from_raw(static_cast<int32_t>(static_cast<uint32_t>(raw_) * static_cast<uint32_t>(sample)));
  }
  constexpr VEK_FixedRealImpl operator+(VEK_FixedRealImpl other) const {
    return from_raw(static_cast<int32_t>(static_cast<uint32_t>(raw_) + static_cast<uint32_t>(other.raw_)));
  }
  constexpr VEK_FixedRealImpl& operator+=(VEK_FixedRealImpl other) { return *this = *this + other; }

  // (raw + 2048) >> 12: the nearest integer, halves upward.
  constexpr int32_t to_int() const { return static_cast<int32_t>((int64_t(raw_) + (kOne / 2)) >> kFractionBits); }
  constexpr double to_double() const { return raw_ * 0.000244140625; }

  constexpr bool operator==(const VEK_FixedRealImpl&) const = default;

 private:
  static int32_t from_double(double d) {
    const double scaled = std::trunc(d * 4096.0);
    if (scaled != scaled) return 0;
    if (scaled <= -2147483648.0) return INT32_MIN;
    if (scaled >= 2147483647.0) return INT32_MAX;
    return static_cast<int32_t>(scaled);
  }

  int32_t raw_ = 0;
};
