#include <algorithm>
#include <cmath>
#include <type_traits>

#include "vek_clampround.h"

#include "vek_convertlines.h"
#include "vek_errorhandler.h"
#include "vek_numeric.h"
#include "vek_scaleliengine.h"
#include "vek_scaleround.h"

namespace {
constexpr const char* kFile = "core/scale/source/vek_scaleheightliengine.cpp";
constexpr const char* kInitiate = "VEK_ScaleHeightLIEngine::initiate()";
constexpr uint32_t kVersion = 0x01040000u;

// Restrict-qualified so that the compiler vectorises it.
template <class S>
[[gnu::always_inline]] inline void blend(const S* __restrict upper, const S* __restrict lower, int32_t w,
                                         uint32_t count, S* __restrict out) {
  if constexpr (sizeof(S) == 1 && static_cast<S>(-1) > 0) {
    // a + ((b - a) w + 2048) >> 12 in 16-bit lanes: (b - a) 16 w as a high and a low half, the
    // low half's top bit carrying the rounding.
    const int16_t w16 = int16_t(w);
    for (uint32_t k = 0; k < count; ++k) {
      const int16_t d = int16_t((int16_t(lower[k]) - int16_t(upper[k])) * 16);
      const int16_t high = int16_t((int32_t(d) * w16) >> 16);
      const uint16_t low = uint16_t(int32_t(d) * w16);
      out[k] = S(int16_t(upper[k]) + high + int16_t(low >> 15));
    }
    return;
  }
  for (uint32_t k = 0; k < count; ++k)
    out[k] = S(vek_li_detail::round_q12<S>(vek_li_detail::mix_q12(upper[k], lower[k], w)));
}

template <class S>
void blend_plain(const S* upper, const S* lower, int32_t w, uint32_t count, S* out) {
  blend(upper, lower, w, count, out);
}

#if defined(__x86_64__) || defined(__i386__)
#define VEK_LI_AVX2 1
#include <immintrin.h>
template <class S>
__attribute__((target("avx2"))) void blend_avx2(const S* upper, const S* lower, int32_t w, uint32_t count, S* out) {
  uint32_t k = 0;
  if constexpr (std::is_same_v<S, unsigned char>) {
    // a + ((b - a) w + 2048) >> 12 as a rounding high multiply: ((b - a) 8 w + 2^14) >> 15.
    const __m256i zero = _mm256_setzero_si256(), w16 = _mm256_set1_epi16(int16_t(w));
    for (; count - k >= 32; k += 32) {
      const __m256i u = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(upper + k));
      const __m256i l = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lower + k));
      const __m256i ulo = _mm256_unpacklo_epi8(u, zero), uhi = _mm256_unpackhi_epi8(u, zero);
      const __m256i dlo = _mm256_slli_epi16(_mm256_sub_epi16(_mm256_unpacklo_epi8(l, zero), ulo), 3);
      const __m256i dhi = _mm256_slli_epi16(_mm256_sub_epi16(_mm256_unpackhi_epi8(l, zero), uhi), 3);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + k),
                          _mm256_packus_epi16(_mm256_add_epi16(ulo, _mm256_mulhrs_epi16(dlo, w16)),
                                              _mm256_add_epi16(uhi, _mm256_mulhrs_epi16(dhi, w16))));
    }
  } else if constexpr (std::is_same_v<S, unsigned short>) {
    // (a - 2^15)(4096 - w) + (b - 2^15) w in one signed multiply-add; the 2^27 it lacks is a
    // whole 2^15 after the shift.
    const __m256i flip = _mm256_set1_epi16(int16_t(0x8000)), half = _mm256_set1_epi32(2048);
    const __m256i both = _mm256_set1_epi32(int32_t(uint32_t(w) << 16 | uint32_t(4096 - w)));
    for (; count - k >= 16; k += 16) {
      const __m256i u = _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(upper + k)), flip);
      const __m256i l = _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(lower + k)), flip);
      const __m256i lo =
          _mm256_srai_epi32(_mm256_add_epi32(_mm256_madd_epi16(_mm256_unpacklo_epi16(u, l), both), half), 12);
      const __m256i hi =
          _mm256_srai_epi32(_mm256_add_epi32(_mm256_madd_epi16(_mm256_unpackhi_epi16(u, l), both), half), 12);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + k), _mm256_xor_si256(_mm256_packs_epi32(lo, hi), flip));
    }
  }
  blend(upper + k, lower + k, w, count - k, out + k);
}
#else
#define VEK_LI_AVX2 0
#endif
}  // namespace

namespace {
// The ring's two lines around a running position and the Q12 weight of the lower one; the ring
// is first advanced until its middle row is the 1-based source line round(position).
struct LinePair {
  const uint8_t* upper;
  const uint8_t* lower;
  int32_t w;
};

bool lines_around(VEK_RingBuffer* ring, double position, uint32_t& taken, LinePair& pair) {
  const uint32_t j = round_half_up(position);
  while (taken < j) {
    if (!ring->advance()) return false;
    ++taken;
  }
  const int64_t i = truncate_to_int(position);
  pair.w = round_to_fixed(position - double(i)).raw();
  const uint32_t row = i < int64_t(j) ? 0 : 1;  // upper row: source line i
  pair.upper = ring->lines()[row];
  pair.lower = ring->lines()[row + 1];
  return true;
}
}  // namespace

template <class S, class F>
bool VEK_ScaleHeightLIEngine<S, F>::initiate(const VEK_Header* header, VEK_SrcBuffer* source,
                                             VEK_DstBuffer* destination, uint32_t height) {
  if (!check_interface_version(kVersion)) {
    vek_report(manager_, VEK_ERROR_VERSION, kInitiate, kFile, __LINE__);
    return false;
  }
  if (!VEK_ScaleHeightEngine::initiate(header, source, destination, height)) return false;
  if (!vek_li_detail::li_supported(*header, sizeof(S) * 8)) {
    vek_report(manager_, VEK_ERROR_FORMAT, kInitiate, kFile, __LINE__);
    return false;
  }
  position_ = (step_ + 1) * 0.5;
  avx2_ = vek_kernel_set() == VEK_KERNELS_AVX2;
  samples_ = line_bytes_ / sizeof(S);
  // Three whole lines centred on the middle one; the first and last lines repeat past the edges.
  ring_ = VEK_RingBuffer::create(manager_, source, header, VEK_KernelAttr(1, 3, 0, 1));
  return ring_ != nullptr;
}

template <class S, class F>
void VEK_ScaleHeightLIEngine<S, F>::free_ring() {
  vek_destroy(ring_);
  ring_ = nullptr;
}

template <class S, class F>
bool VEK_ScaleHeightLIEngine<S, F>::terminate() {
  free_ring();
  return VEK_ScaleHeightEngine::terminate();
}

template <class S, class F>
bool VEK_ScaleHeightLIEngine<S, F>::execute() {
  if (++lines_made_ > height_) return false;
  LinePair pair;
  if (!lines_around(ring_, position_, lines_taken_, pair)) return false;
  S* out = static_cast<S*>(dst_->get());
  if (out == nullptr) return false;
  const int32_t w = pair.w;
  const S* upper = reinterpret_cast<const S*>(pair.upper);
  const S* lower = reinterpret_cast<const S*>(pair.lower);
#if VEK_LI_AVX2
  if (avx2_)
    blend_avx2(upper, lower, w, samples_, out);
  else
#endif
    blend_plain(upper, lower, w, samples_, out);
  position_ += step_;
  return dst_->release(line_bytes_);
}

namespace {
constexpr const char* kMapInitiate = "VEK_ScaleHeightLIMapEngine::initiate()";
constexpr int32_t kMapShift = 20;

#if VEK_LI_AVX2
// Eight Q12 sums of samples less 32768, rounded to samples (less 32768 too) and mapped.
[[gnu::always_inline]] __attribute__((target("avx2"))) inline __m256i map_eight(__m256i sums, __m256i low, __m256i high,
                                                                                __m256i mul, __m256i add) {
  const __m256i v = _mm256_srai_epi32(_mm256_add_epi32(sums, _mm256_set1_epi32(2048)), 12);
  const __m256i d = _mm256_sub_epi32(_mm256_min_epi32(_mm256_max_epi32(v, low), high), low);
  return _mm256_srai_epi32(_mm256_add_epi32(_mm256_mullo_epi32(d, mul), add), kMapShift);
}

// The blend of blend_avx2 carried on in 32-bit lanes through the linear map, 16 samples a step.
__attribute__((target("avx2"))) uint32_t blend_map_avx2(const uint16_t* upper, const uint16_t* lower, int32_t w,
                                                        uint32_t count, int32_t low, int32_t high, int32_t mul,
                                                        int32_t add, uint8_t flip, uint8_t* out) {
  const __m256i sign = _mm256_set1_epi16(int16_t(0x8000));
  const __m256i both = _mm256_set1_epi32(int32_t(uint32_t(w) << 16 | uint32_t(4096 - w)));
  const __m256i lo = _mm256_set1_epi32(low - 32768), hi = _mm256_set1_epi32(high - 32768);
  const __m256i m = _mm256_set1_epi32(mul), a = _mm256_set1_epi32(add);
  const __m128i f = _mm_set1_epi8(char(flip));
  uint32_t k = 0;
  for (; count - k >= 16; k += 16) {
    const __m256i u = _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(upper + k)), sign);
    const __m256i l = _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(lower + k)), sign);
    const __m256i first = map_eight(_mm256_madd_epi16(_mm256_unpacklo_epi16(u, l), both), lo, hi, m, a);
    const __m256i second = map_eight(_mm256_madd_epi16(_mm256_unpackhi_epi16(u, l), both), lo, hi, m, a);
    // Both packs keep each 128-bit half in order; the permute joins the halves' low quarters.
    const __m256i words = _mm256_packs_epi32(first, second);
    const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(words, words), 0x08);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k), _mm_xor_si128(_mm256_castsi256_si128(bytes), f));
  }
  return k;
}
#endif

// One sample through the rounded blend and the linear map, in wrapping 32-bit arithmetic as
// the vector lanes do: the true result lies in 0..255.
inline uint8_t blend_map_one(uint16_t upper, uint16_t lower, int32_t w, int32_t low, int32_t high, int32_t mul,
                             int32_t add, uint8_t flip) {
  const int32_t v = vek_li_detail::round_q12<uint16_t>(vek_li_detail::mix_q12(upper, lower, w));
  const uint32_t d = uint32_t(std::clamp(v, low, high) - low);
  return uint8_t(int32_t(d * uint32_t(mul) + uint32_t(add)) >> kMapShift) ^ flip;
}

void blend_map_plain(const uint16_t* upper, const uint16_t* lower, int32_t w, uint32_t count, int32_t low, int32_t high,
                     int32_t mul, int32_t add, uint8_t flip, uint8_t* out) {
  for (uint32_t k = 0; k < count; ++k) out[k] = blend_map_one(upper[k], lower[k], w, low, high, mul, add, flip);
}
}  // namespace

bool VEK_ScaleHeightLIMapEngine::initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination,
                                          uint32_t height, double slope, double intercept, bool complement,
                                          const VEK_ColorType* color_type) {
  if (!check_interface_version(kVersion)) {
    vek_report(manager_, VEK_ERROR_VERSION, kMapInitiate, kFile, __LINE__);
    return false;
  }
  if (!VEK_ScaleHeightEngine::initiate(header, source, destination, height)) return false;
  if (!vek_li_detail::li_supported(*header, 16) || header->data_type() != VEK_DataType::u_integer ||
      header->channels() != 1) {
    vek_report(manager_, VEK_ERROR_FORMAT, kMapInitiate, kFile, __LINE__);
    return false;
  }
  position_ = (step_ + 1) * 0.5;
  avx2_ = vek_kernel_set() == VEK_KERNELS_AVX2;
  samples_ = header->width();
  out_header_.bits(8);
  if (color_type != nullptr) out_header_.color_type(color_type);
  out_bytes_ = uint32_t(VEK_Header::line_bytes(samples_, 8, 1));
  if (!dst_->block_bytes(out_bytes_ != 0 ? out_bytes_ : 1)) return false;
  if (!make_map(slope, intercept, complement)) return false;
  ring_ = VEK_RingBuffer::create(manager_, source, header, VEK_KernelAttr(1, 3, 0, 1));
  return ring_ != nullptr;
}

// The map's table, as the general conversion's rule makes it, and when it allows, the linear
// form that gives each of its entries in a few vector steps instead of a look-up per sample.
bool VEK_ScaleHeightLIMapEngine::make_map(double slope, double intercept, bool complement) {
  constexpr uint32_t kEntries = 65536;
  table_ = static_cast<uint8_t*>(manager_->allocate(kEntries));
  if (table_ == nullptr) return false;
  fill_linear_lut<uint8_t>(table_, 0, kEntries, slope, intercept);
  flip_ = complement ? 0xFF : 0;
  // A monotonic map: a run of its first value up to low_, a run of its last from high_ on.
  const uint8_t first = table_[0], last = table_[kEntries - 1];
  uint32_t low = 0, high = 0;
  if (first != last) {
    uint32_t a = 0, b = kEntries - 1;
    while (b - a > 1) (table_[a + (b - a) / 2] == first ? a : b) = a + (b - a) / 2;
    low = a;
    b = kEntries - 1;
    while (b - a > 1) (table_[a + (b - a) / 2] == last ? b : a) = a + (b - a) / 2;
    high = b;
  }
  low_ = int32_t(low);
  high_ = int32_t(high);
  linear_ = false;
  // Every entry x between the runs bounds the added term: t 2^20 <= (x - low) mul + add < (t + 1) 2^20.
  // The results stay in 0 .. 2^28, so wrapping 32-bit steps give them exactly.
  if (std::fabs(slope) < 1024) {
    const double scaled = std::ldexp(slope, kMapShift);
    for (const double candidate : {std::nearbyint(scaled), std::floor(scaled), std::ceil(scaled)}) {
      const int64_t mul = first == last ? 0 : int64_t(candidate);
      int64_t from = INT64_MIN, to = INT64_MAX;
      for (uint32_t x = low; x <= high && from <= to; ++x) {
        const int64_t t = table_[x], d = int64_t(x - low) * mul;
        from = std::max(from, (t << kMapShift) - d);
        to = std::min(to, ((t + 1) << kMapShift) - 1 - d);
      }
      if (from <= to) {
        linear_ = true;
        mul_ = int32_t(mul);
        add_ = int32_t(from);
        break;
      }
    }
  }
  if (linear_) {
    manager_->free(table_);
    table_ = nullptr;
    return true;
  }
  if (complement)
    for (uint32_t i = 0; i < kEntries; ++i) table_[i] = uint8_t(255 - table_[i]);
  blended_ = static_cast<uint16_t*>(manager_->allocate(uint32_t(uint64_t(samples_) * 2 + 2)));
  return blended_ != nullptr;
}

void VEK_ScaleHeightLIMapEngine::free_all() {
  vek_destroy(ring_);
  ring_ = nullptr;
  manager_->free(table_);
  manager_->free(blended_);
  table_ = nullptr;
  blended_ = nullptr;
}

bool VEK_ScaleHeightLIMapEngine::terminate() {
  free_all();
  return VEK_ScaleHeightEngine::terminate();
}

bool VEK_ScaleHeightLIMapEngine::execute() {
  if (++lines_made_ > height_) return false;
  LinePair pair;
  if (!lines_around(ring_, position_, lines_taken_, pair)) return false;
  uint8_t* out = static_cast<uint8_t*>(dst_->get());
  if (out == nullptr) return false;
  const int32_t w = pair.w;
  const auto* upper = reinterpret_cast<const uint16_t*>(pair.upper);
  const auto* lower = reinterpret_cast<const uint16_t*>(pair.lower);
  if (linear_) {
    uint32_t k = 0;
#if VEK_LI_AVX2
    if (avx2_) k = blend_map_avx2(upper, lower, w, samples_, low_, high_, mul_, add_, flip_, out);
#endif
    blend_map_plain(upper + k, lower + k, w, samples_ - k, low_, high_, mul_, add_, flip_, out + k);
  } else {
#if VEK_LI_AVX2
    if (avx2_)
      blend_avx2(upper, lower, w, samples_, blended_);
    else
#endif
      blend_plain(upper, lower, w, samples_, blended_);
    for (uint32_t k = 0; k < samples_; ++k) out[k] = table_[blended_[k]];
  }
  position_ += step_;
  return dst_->release(out_bytes_);
}

template class VEK_ScaleHeightLIEngine<unsigned char>;
template class VEK_ScaleHeightLIEngine<unsigned short>;
template class VEK_ScaleHeightLIEngine<signed char>;
template class VEK_ScaleHeightLIEngine<short>;
