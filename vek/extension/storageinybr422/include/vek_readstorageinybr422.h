#pragma once
// YCbCr with horizontally halved chroma (Y0 Y1 Cb Cr per two pixels) widened to one
// Y Cb Cr triple per pixel; odd pixels take the mean of the neighbouring chroma.

#include <cstdint>
#include <type_traits>

#include "vek_decorator.h"
#include "vek_readengine.h"

// The mean of two chroma samples: integers rounded toward zero without overflow.
template <class T>
inline T vek_chroma_mean(T a, T b) {
  if constexpr (std::is_floating_point_v<T>)
    return T((a + b) * T(0.5));
  else
    return T((int64_t(a) + int64_t(b)) / 2);
}

// One stored 4:2:2 line of width pixels into interleaved triples; when cb and cr are given,
// the chroma of every pixel is kept there too.
template <class T>
void vek_widen_ybr422(const T* in, T* out, uint32_t width, T* cb = nullptr, T* cr = nullptr) {
  const uint32_t pairs = (width + 1) / 2;
  for (uint32_t i = 0; i < pairs; ++i) {
    const T* g = in + 4 * uint64_t(i);
    T* o = out + 6 * uint64_t(i);
    o[0] = g[0];
    o[1] = g[2];
    o[2] = g[3];
    if (cb != nullptr) {
      cb[2 * i] = g[2];
      cr[2 * i] = g[3];
    }
    if (2 * i + 1 >= width) break;
    const bool inner = i + 1 < pairs;
    o[3] = g[1];
    o[4] = inner ? vek_chroma_mean(g[2], g[6]) : g[2];
    o[5] = inner ? vek_chroma_mean(g[3], g[7]) : g[3];
    if (cb != nullptr) {
      cb[2 * i + 1] = o[4];
      cr[2 * i + 1] = o[5];
    }
  }
}

class VEK_ReadStorageInYBR422 : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  // The storage stands at the first pixel byte; byte order 1 is little-endian.
  VEK_Engine* engine(VEK_InputStorage* storage, const VEK_Header& header, int32_t byte_order);
};

// A family's report texts and lines.
struct VEK_YBRReportSites {
  const char* initiate;
  const char* execute;
  const char* file;
  uint32_t version_line, format_line, short_line;
};

// What the 4:2:2 and 4:2:0 engines share: the checks and sizes of initiate, the line buffer,
// and reading one stored line in the machine's byte order.
template <class T>
class VEK_ReadStorageInYBREngine : public VEK_ReadEngine {
 public:
  using VEK_ReadEngine::initiate;
  using VEK_ReadEngine::VEK_ReadEngine;
  bool terminate() override;

 protected:
  using Where = VEK_YBRReportSites;
  bool prepare(VEK_InputStorage* storage, const VEK_Header* header, VEK_DstBuffer* destination, int32_t byte_order,
               const Where& where);
  // n stored bytes into the line buffer; a short read is reported and answers false.
  bool read_line(uint32_t n, const Where& where);

  uint32_t width_ = 0;
  uint32_t pair_line_bytes_ = 0;
  uint32_t out_line_bytes_ = 0;
  uint8_t* line_ = nullptr;
  int32_t byte_order_ = 1;
  uint32_t lines_ = 0;
};

template <class T>
class VEK_ReadStorageInYBR422Engine : public VEK_ReadStorageInYBREngine<T> {
 public:
  using VEK_ReadStorageInYBREngine<T>::VEK_ReadStorageInYBREngine;
  using VEK_ReadStorageInYBREngine<T>::initiate;
  bool initiate(VEK_InputStorage* storage, const VEK_Header* header, VEK_DstBuffer* destination, int32_t byte_order);
  bool execute() override;
};

// Bits each sample type requires of the header.
template <class T>
constexpr uint16_t vek_ybr_required_bits() {
  return std::is_same_v<T, double> ? 64 : uint16_t(sizeof(T) * 8);
}
