#include "vek_numeric.h"
#include "vek_scaleli.h"

namespace {
constexpr const char* kFile = "extension/scalefast/source/vek_scaleliby.cpp";
}  // namespace

template <class F>
VEK_Engine* VEK_ScaleLIBy<F>::engine(VEK_Engine* source, uint32_t width, uint32_t height) {
  if (!check_source(source, "VEK_ScaleLIBy::engine()", kFile, __LINE__)) return nullptr;
  const uint32_t W = source->header()->width(), H = source->header()->height();
  const uint16_t bits = source->header()->bits();
  if (height < H && width < W) {
    // Zero sizes go to the shrink engine, which refuses them before any ratio is formed.
    if (width != 0 && height != 0) {
      const double rx = double(W) / width, ry = double(H) / height;
      const uint32_t kx = round_half_up(rx), ky = round_half_up(ry);
      // An odd whole ratio puts every sample position on a source pixel.
      if (nearly_equal(rx, kx, 0x1p-52) && nearly_equal(ry, ky, 0x1p-52) && kx % 2 == 1 && ky % 2 == 1 &&
          (bits == 8 || bits == 16))
        return VEK_ScaleSS(manager_).engine(source, kx, ky, kx / 2, ky / 2);
    }
    return VEK_ScaleShrinkLIBy<F>(manager_).engine(source, width, height);
  }
  if (height < H)
    return VEK_ScaleWidthLIBy<F>(manager_).engine(VEK_ScaleHeightLIBy<F>(manager_).engine(source, height), width);
  return VEK_ScaleHeightLIBy<F>(manager_).engine(VEK_ScaleWidthLIBy<F>(manager_).engine(source, width), height);
}

template class VEK_ScaleLIBy<VEK_FixedRealImpl<int, 12>>;
