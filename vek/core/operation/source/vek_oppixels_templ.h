#pragma once

#include <algorithm>
#include <type_traits>

#include "vek_crop.h"
#include "vek_errorhandler.h"
#include "vek_oppixels.h"
#include "vek_oppixels1_templ.h"
#include "vek_oppixels8xnbits_templ.h"

// Which sample-type creators exist for an operator: T void stands for 1-bit samples.
template <class OPBin, class T>
inline constexpr bool vek_oppixels_has_creator = [] {
  using P = VEK_PixelOperator;
  if constexpr (std::is_same_v<OPBin, P::And>)
    return std::is_same_v<T, void> || std::is_same_v<T, unsigned char> || std::is_same_v<T, unsigned short>;
  else if constexpr (std::is_same_v<OPBin, P::MultiplyWithNormalization>)
    return std::is_same_v<T, unsigned int>;
  else if constexpr (std::is_same_v<OPBin, P::Add> || std::is_same_v<OPBin, P::Sub> ||
                     std::is_same_v<OPBin, P::Multiply> || std::is_same_v<OPBin, P::Overwrite>)
    return std::is_same_v<T, signed char> || std::is_same_v<T, short> || std::is_same_v<T, unsigned int> ||
           std::is_same_v<T, int> || std::is_same_v<T, float> || std::is_same_v<T, double>;
  else
    return false;
}();

namespace vek_oppixels_detail {
inline constexpr const char* kFile = "core/operation/source/vek_oppixels_templ.h";
inline constexpr const char* kEngine = "VEK_OpPixels<OPBin>::engine()";
inline constexpr const char* kCreate = "VEK_OpPixelsUnMasked<OPBin, DataType>::create_engine()";
}  // namespace vek_oppixels_detail

template <class OPBin>
VEK_Engine* VEK_OpPixelsUnMasked<OPBin>::engine(VEK_Engine* first, VEK_Engine* second, int32_t x, int32_t y) {
  return engine(first, second, nullptr, x, y);
}

template <class OPBin>
VEK_Engine* VEK_OpPixelsUnMasked<OPBin>::engine(VEK_Engine* first, VEK_Engine* second, VEK_Engine* mask, int32_t x,
                                                int32_t y) {
  VEK_Vector<VEK_Engine*> engines(manager_);
  if (!engines.push_back(first) || !engines.push_back(second) || (mask != nullptr && !engines.push_back(mask)))
    return nullptr;
  if (!check_engines(engines, x, y)) return nullptr;
  // In 64 bits: -x of INT32_MIN and a width past 2^31 are both in range there.
  const int64_t w1 = first->header()->width(), h1 = first->header()->height();
  const int64_t w2 = second->header()->width(), h2 = second->header()->height();
  const int64_t sx = x, sy = y;
  if ((sx > 0 && w1 <= sx) || (sy > 0 && h1 <= sy) || (sx < 0 && w2 <= -sx) || (sy < 0 && h2 <= -sy)) {
    // The same engine passed twice is the result, not something to drop.
    if (second != first) second->destroy();
    if (mask != nullptr && mask != first && mask != second) mask->destroy();
    return first;
  }
  uint32_t fx = 0, fy = 0;
  if (!fit_engines(engines, x, y, fx, fy)) return nullptr;
  return create_engine(engines, fx, fy);
}

template <class OPBin>
bool VEK_OpPixelsUnMasked<OPBin>::check_engines(const VEK_Vector<VEK_Engine*>& engines, int32_t, int32_t) {
  using namespace vek_oppixels_detail;
  if (engines.size() < 2 || engines[0] == nullptr || engines[1] == nullptr || engines[0]->header() == nullptr ||
      engines[1]->header() == nullptr) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kEngine, kFile, __LINE__);
    return false;
  }
  return true;
}

template <class OPBin>
bool VEK_OpPixelsUnMasked<OPBin>::fit_engines(VEK_Vector<VEK_Engine*>& engines, int32_t x, int32_t y, uint32_t& out_x,
                                              uint32_t& out_y) {
  const VEK_Header& first = *engines[0]->header();
  const VEK_Header& second = *engines[1]->header();
  int64_t sx = x, sy = y;
  uint32_t cut_x = 0, cut_y = 0;
  if (sx < 0) {
    cut_x = uint32_t(-sx);
    sx = 0;
  }
  if (sy < 0) {
    cut_y = uint32_t(-sy);
    sy = 0;
  }
  VEK_Crop crop(manager_);
  VEK_Engine* cut = crop.engine(engines[1], cut_x, cut_y, std::min(first.width(), second.width()),
                                std::min(first.height(), second.height()));
  cut = crop.engine(cut, 0, 0, uint32_t(first.width() - sx), uint32_t(first.height() - sy));
  if (cut == nullptr) return false;
  engines[1] = cut;
  out_x = uint32_t(sx);
  out_y = uint32_t(sy);
  return true;
}

template <class OPBin>
VEK_Engine* VEK_OpPixelsUnMasked<OPBin>::create_engine(VEK_Vector<VEK_Engine*>& engines, uint32_t x, uint32_t y) {
  using namespace vek_oppixels_detail;
  const VEK_Header& h = *engines[0]->header();
  const VEK_DataType* type = h.data_type();
  const bool is_unsigned = type == VEK_DataType::u_integer, is_signed = type == VEK_DataType::s_integer;
  auto pick = [&](auto sample) -> VEK_Engine* {
    using T = decltype(sample);
    if constexpr (vek_oppixels_has_creator<OPBin, T>) {
      return VEK_OpPixels8xNBitsUnMasked<OPBin, T>(manager_).engine(engines, x, y);
    } else {
      vek_report(manager_, VEK_ERROR_FORMAT, kCreate, kFile, __LINE__);
      return nullptr;
    }
  };
  switch (h.bits()) {
    case 1:
      if constexpr (vek_oppixels_has_creator<OPBin, void>)
        return VEK_OpPixels1UnMasked<OPBin>(manager_).engine(engines, x, y);
      break;
    case 8:
      if (is_unsigned) return pick((unsigned char)0);
      if (is_signed) return pick((signed char)0);
      break;
    case 16:
      if (is_unsigned) return pick((unsigned short)0);
      if (is_signed) return pick(short(0));
      break;
    case 32:
      if (is_unsigned) return pick(0u);
      if (is_signed) return pick(0);
      if (type == VEK_DataType::floating) return pick(0.0f);
      break;
    case 64:
      if (type == VEK_DataType::floating) return pick(0.0);
      break;
    default:
      break;
  }
  vek_report(manager_, VEK_ERROR_FORMAT, kCreate, kFile, __LINE__);
  return nullptr;
}
