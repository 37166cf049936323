#include "vek_errorhandler.h"
#include "vek_numeric.h"
#include "vek_scale.h"
#include "vek_scalennqkrle.h"

namespace {
// A ratio that is a whole number up to the last bit of a double.
bool whole(double r) { return nearly_equal(r, double(round_half_up(r)), 0x1p-52); }
}  // namespace

VEK_Engine* VEK_ScaleNN::engine(VEK_Engine* source, uint32_t width, uint32_t height) {
  if (!check_source(source, "VEK_ScaleNN::engine()", "core/scale/source/vek_scalenn.cpp", __LINE__)) return nullptr;
  const VEK_Header* h = source->header();
  if (h->encode_type() == VEK_EncodeType_qk_rle::instance())
    return VEK_ScaleNNQKRLE(manager_).engine(source, width, height);
  const uint32_t src_width = h->width(), src_height = h->height();
  // Zero sizes form no ratio: the passes below refuse them.
  const bool sized = width != 0 && height != 0 && src_width != 0 && src_height != 0;
  if (sized && height < src_height && width < src_width) {
    const double sx = double(src_width) / width, sy = double(src_height) / height;
    if (whole(sx) && whole(sy) && (h->bits() == 8 || h->bits() == 16)) {
      const uint32_t kx = round_half_up(sx), ky = round_half_up(sy);
      return VEK_ScaleSS(manager_).engine(source, kx, ky, kx / 2, ky / 2);
    }
    return VEK_ScaleShrinkNN(manager_).engine(source, width, height);
  }
  if (height < src_height)
    return VEK_ScaleWidthNN(manager_).engine(VEK_ScaleHeightNN(manager_).engine(source, height), width);
  return VEK_ScaleHeightNN(manager_).engine(VEK_ScaleWidthNN(manager_).engine(source, width), height);
}
