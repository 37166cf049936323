#include <algorithm>
#include <cstring>
#include <type_traits>

#include "vek_convertlines.h"
#include "vek_errorhandler.h"
#include "vek_scaleliengine.h"
#include "vek_scaleround.h"

#if defined(__x86_64__) || defined(__i386__)
#define VEK_LI_AVX2 1
#include <immintrin.h>
#else
#define VEK_LI_AVX2 0
#endif

namespace {
constexpr const char* kFile = "core/scale/source/vek_scalewidthliengine.cpp";
constexpr const char* kInitiate = "VEK_ScaleWidthLIEngine::initiate()";
constexpr uint32_t kVersion = 0x01040000u;

// Channel counts known at compile time (N > 0) unroll; N = 0 loops over n channels.
template <class S, uint32_t N>
[[gnu::always_inline]] inline void widen(const S* __restrict in, const uint32_t* __restrict offsets,
                                         const uint16_t* __restrict weights, uint32_t count, uint32_t n,
                                         S* __restrict out) {
  const uint32_t c = N != 0 ? N : n;
  for (uint32_t x = 0; x < count; ++x) {
    const S* a = in + offsets[x];
    const int32_t w = weights[x];
    for (uint32_t k = 0; k < c; ++k)
      out[x * c + k] = S(vek_li_detail::round_q12<S>(vek_li_detail::mix_q12(a[k], a[k + c], w)));
  }
}
// One channel: the neighbours of each output pixel are gathered in one plain pass, then blended
// in a loop that vectorises. Unsigned 8-bit samples take a + ((b - a) w + 2048) >> 12 in 16-bit
// lanes, from the high and low halves of (b - a) 16 w.
template <class S>
[[gnu::always_inline]] inline void widen_gray(const S* __restrict in, const uint32_t* __restrict offsets,
                                              const uint16_t* __restrict weights, uint32_t count, S* __restrict left,
                                              S* __restrict right, S* __restrict out) {
  if constexpr (std::is_same_v<S, unsigned char>) {
    // Both neighbours in one 16-bit word: half the stores of the gather.
    uint16_t* pairs = reinterpret_cast<uint16_t*>(left);
    for (uint32_t x = 0; x < count; ++x) {
      const uint8_t* p = in + offsets[x];
      pairs[x] = uint16_t(p[0] | (p[1] << 8));
    }
    for (uint32_t x = 0; x < count; ++x) {
      const int16_t a = int16_t(pairs[x] & 0xFF);
      const int16_t d = int16_t((int16_t(pairs[x] >> 8) - a) * 16);
      const int16_t w = int16_t(weights[x]);
      const int16_t high = int16_t((int32_t(d) * w) >> 16);
      const uint16_t low = uint16_t(int32_t(d) * w);
      out[x] = uint8_t(a + high + int16_t(low >> 15));
    }
  } else {
    for (uint32_t x = 0; x < count; ++x) {
      left[x] = in[offsets[x]];
      right[x] = in[offsets[x] + 1];
    }
    for (uint32_t x = 0; x < count; ++x)
      out[x] = S(vek_li_detail::round_q12<S>(vek_li_detail::mix_q12(left[x], right[x], int32_t(weights[x]))));
  }
}

template <class S, uint32_t N>
void widen_plain(const S* in, const uint32_t* offsets, const uint16_t* weights, uint32_t count, uint32_t n, S* out) {
  widen<S, N>(in, offsets, weights, count, n, out);
}
template <class S>
void widen_gray_plain(const S* in, const uint32_t* offsets, const uint16_t* weights, uint32_t count, S* left, S* right,
                      S* out) {
  widen_gray(in, offsets, weights, count, left, right, out);
}

// AVX2: 16 output samples a step, each 16-byte load from the line feeding a lane of 8 one-byte
// or 4 two-byte output samples, whose neighbours a byte shuffle picks out. All of it comes from
// tables made once: the load of each lane, the shuffle and the weight of each output sample.
constexpr uint32_t kGroup = 16;
template <class S>
constexpr uint32_t kLane = sizeof(S) == 1 ? 8 : 4;

template <class S>
struct Shuffled {
  using Entry = std::conditional_t<sizeof(S) == 1, uint16_t, uint32_t>;
  uint32_t* loads;    // first line sample of each lane's load
  Entry* shuffles;    // per output sample
  uint16_t* weights;  // per output sample
  static uint64_t bytes(uint64_t samples) {
    return (samples / kLane<S> + 1) * sizeof(uint32_t) + samples * (sizeof(Entry) + sizeof(uint16_t));
  }
  explicit Shuffled(void* block, uint64_t samples)
      : loads(static_cast<uint32_t*>(block)),
        shuffles(reinterpret_cast<Entry*>(loads + samples / kLane<S> + 1)),
        weights(reinterpret_cast<uint16_t*>(shuffles + samples)) {}
};

// Fills the tables for n channels; returns how many leading output samples, in whole groups,
// they serve: those whose lane's neighbours all lie within one 16-byte load inside the line
// buffer of line_samples samples.
template <class S>
uint32_t make_shuffles(const uint32_t* offsets, const uint16_t* weights, uint32_t count, uint32_t n,
                       uint64_t line_samples, Shuffled<S> t) {
  constexpr uint32_t lane = kLane<S>;
  constexpr uint64_t load = 16 / sizeof(S);
  if (line_samples < load) return 0;
  const uint64_t samples = uint64_t(count) * n;
  uint64_t done = 0;
  for (; samples - done >= kGroup; done += kGroup) {
    for (uint64_t l = done; l < done + kGroup; l += lane) {
      // A lane's samples may step back to the next pixel's first channel. Loads near the end of
      // the line start earlier so as to stay inside it.
      uint64_t base = line_samples - load;
      for (uint64_t j = l; j < l + lane; ++j) base = std::min(base, uint64_t(offsets[j / n]) + j % n);
      for (uint64_t j = l; j < l + lane; ++j) {
        const uint64_t left = uint64_t(offsets[j / n]) + j % n;
        if (left < base || (left - base + n + 1) * sizeof(S) > 16) return uint32_t(done);
        const uint32_t a = uint32_t(left - base) * sizeof(S), b = a + n * sizeof(S);
        if constexpr (sizeof(S) == 1)  // left neighbour zero-extended to 16 bits; + n gives the right
          t.shuffles[j] = uint16_t(0x8000u | a);
        else  // both neighbours as one 32-bit pair
          t.shuffles[j] = a | (a + 1) << 8 | b << 16 | (b + 1) << 24;
        t.weights[j] = weights[j / n];
      }
      t.loads[l / lane] = uint32_t(base);
    }
  }
  return uint32_t(done);
}

#if VEK_LI_AVX2
[[gnu::always_inline]] __attribute__((target("avx2"))) inline __m256i lanes(const void* low, const void* high) {
  return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(static_cast<const __m128i*>(low))),
                                 _mm_loadu_si128(static_cast<const __m128i*>(high)), 1);
}

// a + ((b - a) w + 2048) >> 12 as a rounding high multiply: ((b - a) 8 w + 2^14) >> 15.
__attribute__((target("avx2"))) void widen_shuffled(const uint8_t* in, Shuffled<uint8_t> t, uint32_t count, uint32_t n,
                                                    uint8_t* out) {
  const __m256i right = _mm256_set1_epi16(int16_t(n));
  for (uint32_t j = 0, l = 0; j < count; j += kGroup, l += 2) {
    const __m256i src = lanes(in + t.loads[l], in + t.loads[l + 1]);
    const __m256i left = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(t.shuffles + j));
    const __m256i a = _mm256_shuffle_epi8(src, left);
    const __m256i b = _mm256_shuffle_epi8(src, _mm256_add_epi16(left, right));
    const __m256i d = _mm256_slli_epi16(_mm256_sub_epi16(b, a), 3);
    const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(t.weights + j));
    const __m256i r = _mm256_add_epi16(a, _mm256_mulhrs_epi16(d, w));
    const __m256i p = _mm256_packus_epi16(r, r);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + j),
                     _mm_unpacklo_epi64(_mm256_castsi256_si128(p), _mm256_extracti128_si256(p, 1)));
  }
}

// Eight 16-bit output samples as 32-bit (a - 2^15)(4096 - w) + (b - 2^15) w: one signed
// multiply-add; the 2^27 it lacks is a whole 2^15 after the shift.
[[gnu::always_inline]] __attribute__((target("avx2"))) inline __m256i eight_u16(const uint16_t* in,
                                                                                const uint32_t* loads,
                                                                                const uint32_t* shuffles,
                                                                                const uint16_t* weights) {
  const __m256i flip = _mm256_set1_epi16(int16_t(0x8000));
  const __m256i src = lanes(in + loads[0], in + loads[1]);
  const __m256i pairs = _mm256_shuffle_epi8(src, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(shuffles)));
  const __m256i w = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(weights)));
  const __m256i both = _mm256_or_si256(_mm256_sub_epi32(_mm256_set1_epi32(4096), w), _mm256_slli_epi32(w, 16));
  const __m256i sum = _mm256_madd_epi16(_mm256_xor_si256(pairs, flip), both);
  return _mm256_srai_epi32(_mm256_add_epi32(sum, _mm256_set1_epi32(2048)), 12);
}

__attribute__((target("avx2"))) void widen_shuffled(const uint16_t* in, Shuffled<uint16_t> t, uint32_t count,
                                                    uint32_t /*n*/, uint16_t* out) {
  const __m256i flip = _mm256_set1_epi16(int16_t(0x8000));
  for (uint32_t j = 0, l = 0; j < count; j += kGroup, l += 4) {
    const __m256i r = _mm256_packs_epi32(eight_u16(in, t.loads + l, t.shuffles + j, t.weights + j),
                                         eight_u16(in, t.loads + l + 2, t.shuffles + j + 8, t.weights + j + 8));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + j), _mm256_xor_si256(_mm256_permute4x64_epi64(r, 0xD8), flip));
  }
}
#endif

#if VEK_LI_AVX2
template <class S, uint32_t N>
__attribute__((target("avx2"))) void widen_avx2(const S* in, const uint32_t* offsets, const uint16_t* weights,
                                                uint32_t count, uint32_t n, S* out) {
  widen<S, N>(in, offsets, weights, count, n, out);
}
template <class S>
__attribute__((target("avx2"))) void widen_gray_avx2(const S* in, const uint32_t* offsets, const uint16_t* weights,
                                                     uint32_t count, S* left, S* right, S* out) {
  widen_gray(in, offsets, weights, count, left, right, out);
}

#endif

template <class S>
constexpr bool kShuffled = VEK_LI_AVX2 && (std::is_same_v<S, unsigned char> || std::is_same_v<S, unsigned short>);
}  // namespace

bool vek_li_detail::li_supported(const VEK_Header& h, uint32_t bits) {
  return VEK_EncodeType::is_raw(h.encode_type()) &&
         (h.data_type() == VEK_DataType::u_integer || h.data_type() == VEK_DataType::s_integer) && h.bits() == bits &&
         h.palette().empty();
}

template <class S, class F>
bool VEK_ScaleWidthLIEngine<S, F>::initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination,
                                            uint32_t width) {
  if (!check_interface_version(kVersion)) {
    vek_report(manager_, VEK_ERROR_VERSION, kInitiate, kFile, __LINE__);
    return false;
  }
  if (!VEK_ScaleWidthEngine::initiate(header, source, destination, width)) return false;
  if (!vek_li_detail::li_supported(*header, sizeof(S) * 8)) {
    vek_report(manager_, VEK_ERROR_FORMAT, kInitiate, kFile, __LINE__);
    return false;
  }
  const uint64_t n = channels_;
  const uint64_t line = (uint64_t(src_width_) + 2) * n * sizeof(S);
  if (line > UINT32_MAX || uint64_t(width_) * sizeof(uint32_t) > UINT32_MAX ||
      uint64_t(width_) * 2 * sizeof(S) > UINT32_MAX) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kInitiate, kFile, __LINE__);
    return false;
  }
  line_ = static_cast<S*>(manager_->allocate(uint32_t(line)));
  if (line_ == nullptr) return false;
  offsets_ = static_cast<uint32_t*>(manager_->allocate(uint32_t(width_ * sizeof(uint32_t))));
  if (offsets_ == nullptr) return false;
  weights_ = static_cast<uint16_t*>(manager_->allocate(uint32_t(width_ * sizeof(uint16_t))));
  if (weights_ == nullptr) return false;
  avx2_ = vek_kernel_set() == VEK_KERNELS_AVX2;
  shuffled_ = 0;
  const uint64_t samples = uint64_t(width_) * n, table = Shuffled<S>::bytes(samples);
  const bool shuffling = kShuffled<S> && avx2_ && table <= UINT32_MAX;
  if (shuffling) {
    shuffles_ = manager_->allocate(uint32_t(table));
    if (shuffles_ == nullptr) return false;
  } else if (n == 1) {
    pairs_ = static_cast<S*>(manager_->allocate(uint32_t(uint64_t(width_) * 2 * sizeof(S))));
    if (pairs_ == nullptr) return false;
  }
  // 1-based source position of each output pixel; buffer pixel i is source pixel i - 1, so the
  // margins serve positions before the first and after the last pixel.
  const double step = double(src_width_) / double(width_);
  double p = (step + 1) * 0.5;
  for (uint32_t x = 0; x < width_; ++x, p += step) {
    int64_t i = truncate_to_int(p);
    int64_t q = int64_t(round_to_fixed(p).raw()) - 4096 * i;
    if (q >= 4096) {
      ++i;
      q = 0;
    }
    if (i > int64_t(src_width_)) {  // drift of the running sum: the right margin holds the last pixel
      i = src_width_;
      q = 0;
    }
    offsets_[x] = uint32_t(uint64_t(i) * n);
    weights_[x] = uint16_t(q);
  }
  if (shuffling)
    shuffled_ =
        make_shuffles(offsets_, weights_, width_, n, (uint64_t(src_width_) + 2) * n, Shuffled<S>(shuffles_, samples));
  return true;
}

template <class S, class F>
bool VEK_ScaleWidthLIEngine<S, F>::initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination,
                                            uint32_t width, bool offset) {
  if (!offset) return initiate(header, source, destination, width);
  if (!std::is_same_v<S, unsigned short> || header == nullptr || header->data_type() != VEK_DataType::s_integer) {
    vek_report(manager_, VEK_ERROR_FORMAT, kInitiate, kFile, __LINE__);
    return false;
  }
  // The offset form is an unsigned image: described as one from here on.
  VEK_Header shifted(manager_);
  if (!(shifted = *header)) return false;
  shifted.data_type(VEK_DataType::u_integer);
  offset_ = true;
  return initiate(&shifted, source, destination, width);
}

template <class S, class F>
void VEK_ScaleWidthLIEngine<S, F>::free_tables() {
  manager_->free(line_);
  manager_->free(offsets_);
  manager_->free(weights_);
  manager_->free(pairs_);
  manager_->free(shuffles_);
  pairs_ = nullptr;
  shuffles_ = nullptr;
  line_ = nullptr;
  offsets_ = nullptr;
  weights_ = nullptr;
}

template <class S, class F>
bool VEK_ScaleWidthLIEngine<S, F>::terminate() {
  free_tables();
  return VEK_ScaleWidthEngine::terminate();
}

template <class S, class F>
bool VEK_ScaleWidthLIEngine<S, F>::execute() {
  const uint32_t n = channels_;
  if (!src_->get(line_ + n, nullptr)) return false;
  S* out = static_cast<S*>(dst_->get());
  if (out == nullptr) {
    src_->release();
    return false;
  }
  const uint64_t last = uint64_t(src_width_) * n;
  if constexpr (std::is_same_v<S, unsigned short>) {
    // Adding 32768 to a 16-bit two's complement sample flips its top bit.
    if (offset_)
      for (uint64_t i = n; i < last + n; ++i) line_[i] ^= 0x8000u;
  }
  for (uint32_t c = 0; c < n; ++c) {
    line_[c] = line_[n + c];
    line_[last + n + c] = line_[last + c];
  }
#if VEK_LI_AVX2
  if (avx2_) {
    if constexpr (kShuffled<S>) {
      if (shuffles_ != nullptr) {
        widen_shuffled(line_, Shuffled<S>(shuffles_, uint64_t(width_) * n), shuffled_, n, out);
        // The rest from the next whole pixel on: its first samples may be made twice, alike.
        const uint32_t x = shuffled_ / n;
        widen_avx2<S, 0>(line_, offsets_ + x, weights_ + x, width_ - x, n, out + uint64_t(x) * n);
        return finish_line();
      }
    }
    switch (n) {
      case 1:
        widen_gray_avx2(line_, offsets_, weights_, width_, pairs_, pairs_ + width_, out);
        break;
      case 3:
        widen_avx2<S, 3>(line_, offsets_, weights_, width_, n, out);
        break;
      case 4:
        widen_avx2<S, 4>(line_, offsets_, weights_, width_, n, out);
        break;
      default:
        widen_avx2<S, 0>(line_, offsets_, weights_, width_, n, out);
    }
    return finish_line();
  }
#endif
  switch (n) {
    case 1:
      widen_gray_plain(line_, offsets_, weights_, width_, pairs_, pairs_ + width_, out);
      break;
    case 3:
      widen_plain<S, 3>(line_, offsets_, weights_, width_, n, out);
      break;
    case 4:
      widen_plain<S, 4>(line_, offsets_, weights_, width_, n, out);
      break;
    default:
      widen_plain<S, 0>(line_, offsets_, weights_, width_, n, out);
  }
  return finish_line();
}

template <class S, class F>
bool VEK_ScaleWidthLIEngine<S, F>::finish_line() {
  const bool released = src_->release();
  return dst_->release(line_bytes_) && released;
}

template class VEK_ScaleWidthLIEngine<unsigned char>;
template class VEK_ScaleWidthLIEngine<unsigned short>;
template class VEK_ScaleWidthLIEngine<signed char>;
template class VEK_ScaleWidthLIEngine<short>;
