#pragma once
// Pixel operators between two images. The second image is laid over the first at a signed
// offset; where they overlap, each sample of the first becomes op(first, second), elsewhere
// the first passes unchanged. The output has the first image's header.
//
// The utility VEK_OpPixelsUnMasked<Op> fits the second image into the first (cropping it)
// and picks a creator by sample type; the creators VEK_OpPixels8xNBitsUnMasked<Op, T> and
// VEK_OpPixels1UnMasked<Op> take inputs already fitted.

#include <cstdint>

#include "vek_engine.h"
#include "vek_pixeloperator.h"

class VEK_OpPixels : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  // mask may be null; no creator accepts one.
  virtual VEK_Engine* engine(VEK_Engine* first, VEK_Engine* second, VEK_Engine* mask, int32_t x, int32_t y) = 0;
  virtual VEK_Engine* create_engine(VEK_Vector<VEK_Engine*>& engines, uint32_t x, uint32_t y) = 0;
  virtual bool check_engines(const VEK_Vector<VEK_Engine*>& engines, int32_t x, int32_t y) = 0;
  // Crops the second entry to the overlap; out_x, out_y its place inside the first.
  virtual bool fit_engines(VEK_Vector<VEK_Engine*>& engines, int32_t x, int32_t y, uint32_t& out_x,
                           uint32_t& out_y) = 0;
  virtual VEK_Engine* engine(VEK_Engine* first, VEK_Engine* second, int32_t x, int32_t y) = 0;
};

template <class OPBin>
class VEK_OpPixelsUnMasked : public VEK_OpPixels {
 public:
  using VEK_OpPixels::VEK_OpPixels;
  VEK_Engine* engine(VEK_Engine* first, VEK_Engine* second, VEK_Engine* mask, int32_t x, int32_t y) override;
  VEK_Engine* create_engine(VEK_Vector<VEK_Engine*>& engines, uint32_t x, uint32_t y) override;
  bool check_engines(const VEK_Vector<VEK_Engine*>& engines, int32_t x, int32_t y) override;
  bool fit_engines(VEK_Vector<VEK_Engine*>& engines, int32_t x, int32_t y, uint32_t& out_x, uint32_t& out_y) override;
  VEK_Engine* engine(VEK_Engine* first, VEK_Engine* second, int32_t x, int32_t y) override;
};

// What the sample-type creators share: the inputs' headers and new readers of them, a
// destination, the engine, its registration.
class VEK_OpPixelsTypedCreator : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  // x, y: the second input's place inside the first.
  VEK_Engine* engine(const VEK_Vector<VEK_Engine*>& engines, uint32_t x, uint32_t y);
  virtual VEK_Engine* create_engine(const VEK_Vector<const VEK_Header*>& headers,
                                    const VEK_Vector<VEK_SrcBuffer*>& sources, VEK_DstBuffer* destination, uint32_t x,
                                    uint32_t y) = 0;
  virtual bool check_engines(const VEK_Vector<VEK_Engine*>& engines, uint32_t x, uint32_t y) = 0;

 protected:
  // Exactly two entries, both with a header; reports under the caller's name otherwise.
  bool check_pair(const VEK_Vector<VEK_Engine*>& engines, const char* method, const char* file, uint32_t line);
};

class VEK_OpPixels8xNBits : public VEK_OpPixelsTypedCreator {
 public:
  using VEK_OpPixelsTypedCreator::VEK_OpPixelsTypedCreator;
};

// Samples of T (8 to 64 bits).
template <class OPBin, class T>
class VEK_OpPixels8xNBitsUnMasked : public VEK_OpPixels8xNBits {
 public:
  using VEK_OpPixels8xNBits::VEK_OpPixels8xNBits;
  VEK_Engine* create_engine(const VEK_Vector<const VEK_Header*>& headers, const VEK_Vector<VEK_SrcBuffer*>& sources,
                            VEK_DstBuffer* destination, uint32_t x, uint32_t y) override;
  bool check_engines(const VEK_Vector<VEK_Engine*>& engines, uint32_t x, uint32_t y) override;
};

class VEK_OpPixels1 : public VEK_OpPixelsTypedCreator {
 public:
  using VEK_OpPixelsTypedCreator::VEK_OpPixelsTypedCreator;
};

// 1-bit samples, one channel.
template <class OPBin>
class VEK_OpPixels1UnMasked : public VEK_OpPixels1 {
 public:
  using VEK_OpPixels1::VEK_OpPixels1;
  VEK_Engine* create_engine(const VEK_Vector<const VEK_Header*>& headers, const VEK_Vector<VEK_SrcBuffer*>& sources,
                            VEK_DstBuffer* destination, uint32_t x, uint32_t y) override;
  bool check_engines(const VEK_Vector<VEK_Engine*>& engines, uint32_t x, uint32_t y) override;
};

// The instances that exist.
extern template class VEK_OpPixelsUnMasked<VEK_PixelOperator::And>;
extern template class VEK_OpPixels1UnMasked<VEK_PixelOperator::And>;
extern template class VEK_OpPixels8xNBitsUnMasked<VEK_PixelOperator::And, unsigned char>;
extern template class VEK_OpPixels8xNBitsUnMasked<VEK_PixelOperator::And, unsigned short>;
extern template class VEK_OpPixels8xNBitsUnMasked<VEK_PixelOperator::MultiplyWithNormalization, unsigned int>;
#define VEK_OPPIXELS_EXTERN(OP)                                                           \
  extern template class VEK_OpPixels8xNBitsUnMasked<VEK_PixelOperator::OP, signed char>;  \
  extern template class VEK_OpPixels8xNBitsUnMasked<VEK_PixelOperator::OP, short>;        \
  extern template class VEK_OpPixels8xNBitsUnMasked<VEK_PixelOperator::OP, unsigned int>; \
  extern template class VEK_OpPixels8xNBitsUnMasked<VEK_PixelOperator::OP, int>;          \
  extern template class VEK_OpPixels8xNBitsUnMasked<VEK_PixelOperator::OP, float>;        \
  extern template class VEK_OpPixels8xNBitsUnMasked<VEK_PixelOperator::OP, double>;
VEK_OPPIXELS_EXTERN(Add)
VEK_OPPIXELS_EXTERN(Sub)
VEK_OPPIXELS_EXTERN(Multiply)
VEK_OPPIXELS_EXTERN(Overwrite)
#undef VEK_OPPIXELS_EXTERN
