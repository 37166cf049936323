#pragma once
// Whole-byte merging for samples T; only the sample width matters to the copy.

#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "vek_channelkernels.h"
#include "vek_errorhandler.h"
#include "vek_mergechannelengine.h"

template <class T>
class VEK_MergeChannel8xNbitsEngine : public VEK_MergeChannelEngine {
 public:
  using VEK_MergeChannelEngine::initiate;
  using VEK_MergeChannelEngine::VEK_MergeChannelEngine;

  bool initiate(const VEK_Vector<const VEK_Header*>& headers, const VEK_Vector<VEK_SrcBuffer*>& sources,
                VEK_DstBuffer* destination, const VEK_ColorType* color_type) override {
    if (!VEK_MergeChannelEngine::initiate(headers, sources, destination, color_type)) return false;
    if (headers[0]->bits() != sizeof(T) * 8) {
      vek_report(manager_, VEK_ERROR_FORMAT, "VEK_MergeChannel8xNbitsEngine::initiate()",
                 "core/channel/source/vek_mergechannel8xnbitsengine_templ.h", __LINE__);
      return false;
    }
    single_ = true;
    for (const VEK_Header* h : headers) single_ = single_ && h->channels() == 1;
    return allocate_lines();
  }

 protected:
  void merge_line(const uint8_t* const* in, uint8_t* out) override {
    const uint32_t n = src_buffer_num();
    if (single_) {
      switch (n) {
        case 2:
          return planes<2>(in, out);
        case 3:
          return planes<3>(in, out);
        case 4:
          return planes<4>(in, out);
        case 6:
          return planes<6>(in, out);
        default:
          break;
      }
    }
    for (uint32_t x = 0; x < width_; ++x)
      for (uint32_t i = 0; i < n; ++i) {
        const uint32_t bytes = headers_[i]->channels() * uint32_t(sizeof(T));
        std::memcpy(out, in[i] + uint64_t(x) * bytes, bytes);
        out += bytes;
      }
  }

 private:
  // N one-channel planes: output sample x * N + i is sample x of plane i.
  template <uint32_t N>
  void planes(const uint8_t* const* in, uint8_t* __restrict out) const {
    const uint8_t* p[N];
    for (uint32_t i = 0; i < N; ++i) p[i] = in[i];
    const uint32_t width = width_;  // held apart: stores through out may alias the engine
    if constexpr (sizeof(T) == 1 && N == 3) {
      vek_merge3_u8_line()(p[0], p[1], p[2], out, width);
    } else if constexpr (sizeof(T) == 1 && N == 2) {
      // Two byte planes (the low and high bytes of 16-bit RLE samples) as little-endian words.
      const uint8_t* __restrict lo = p[0];
      const uint8_t* __restrict hi = p[1];
      uint32_t x = 0;
#if defined(__SSE2__)
      // SSE2 is part of every x86-64 target: no dispatch needed.
      for (; x + 16 <= width; x += 16) {
        const __m128i l = _mm_loadu_si128(reinterpret_cast<const __m128i*>(lo + x));
        const __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hi + x));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + size_t(x) * 2), _mm_unpacklo_epi8(l, h));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + size_t(x) * 2 + 16), _mm_unpackhi_epi8(l, h));
      }
#endif
      for (; x < width; ++x) {
        const uint16_t word = uint16_t(lo[x] | hi[x] << 8);
        std::memcpy(out + size_t(x) * 2, &word, 2);
      }
    } else if constexpr (sizeof(T) == 1) {
      for (uint32_t x = 0; x < width; ++x)
        for (uint32_t i = 0; i < N; ++i) out[size_t(x) * N + i] = p[i][x];
    } else {
      for (uint32_t x = 0; x < width; ++x)
        for (uint32_t i = 0; i < N; ++i)
          std::memcpy(out + (size_t(x) * N + i) * sizeof(T), p[i] + size_t(x) * sizeof(T), sizeof(T));
    }
  }

  bool single_ = false;
};
