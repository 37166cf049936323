#include "vek_colorspace.h"

#include "vek_colormatrix.h"
#include "vek_dlut.h"
#include "vek_errorhandler.h"
#include "vek_lut.h"
#include "vek_not.h"

namespace {
constexpr const char* kMethod = "VEK_ColorSpace::engine()";
constexpr const char* kFile = "core/colorspace/source/vek_colorspace.cpp";
using CT = VEK_ColorType;
}  // namespace

bool VEK_ColorSpace::is_convertible(const VEK_ColorType* t) {
  return CT::is_gray(t) || CT::is_gray_reverse(t) || CT::is_lstar(t) || CT::is_s_rgb(t) || CT::is_adobe_rgb(t) ||
         CT::is_ycbcr(t) || CT::is_hsl(t) || CT::is_icc_lab(t) || CT::is_itu_lab(t) || CT::is_xyz(t) || CT::is_cmy(t) ||
         CT::is_cmyk(t);
}

VEK_Engine* VEK_ColorSpace::engine(VEK_Engine* source, const VEK_ColorType* target) {
  const VEK_Header* h = source != nullptr ? source->header() : nullptr;
  if (h == nullptr || target == nullptr) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kMethod, kFile, __LINE__);
    return nullptr;
  }
  if (h->color_type() == target) return source;
  if (!is_convertible(h->color_type()) || !is_convertible(target)) {
    vek_report(manager_, VEK_ERROR_FORMAT, kMethod, kFile, __LINE__);
    return nullptr;
  }
  const uint16_t bits = h->bits();
  const bool depth = bits == 8 || bits == 16 || (bits == 1 && h->channels() == 1 && target->channels() == 1);
  if (h->data_type() != VEK_DataType::u_integer || !VEK_EncodeType::is_raw(h->encode_type()) || !h->palette().empty() ||
      !depth) {
    vek_report(manager_, VEK_ERROR_FORMAT, kMethod, kFile, __LINE__);
    return nullptr;
  }
  if (bits == 16) {
    VEK_CsUtilityMaker<unsigned short> maker(manager_);
    if (!maker.make(h->color_type(), target, bits)) return nullptr;
    return VEK_ColorSpaceConverter(manager_).engine(source, target, maker.plan());
  }
  VEK_CsUtilityMaker<unsigned char> maker(manager_);
  if (!maker.make(h->color_type(), target, bits)) return nullptr;
  return VEK_ColorSpaceConverter(manager_).engine(source, target, maker.plan());
}

VEK_Engine* VEK_ColorSpaceConverter::engine(VEK_Engine* source, const VEK_ColorType* target,
                                            const VEK_CsUtility& plan) {
  const VEK_Header* h = source != nullptr ? source->header() : nullptr;
  if (h == nullptr) return nullptr;
  const uint16_t bits = h->bits();
  switch (plan.method) {
    case VEK_CsUtility::lut:
      return lut_step(source, target, plan, bits);
    case VEK_CsUtility::matrix:
      return matrix_step(source, target, plan, bits);
    case VEK_CsUtility::dlut:
      return dlut_step(source, target, plan, bits);
    case VEK_CsUtility::matrix_lut: {
      VEK_Engine* first = matrix_step(source, plan.intermediate, plan, bits);
      return first != nullptr ? lut_step(first, target, plan, bits) : nullptr;
    }
    case VEK_CsUtility::lut_matrix: {
      VEK_Engine* first = lut_step(source, plan.intermediate, plan, bits);
      return first != nullptr ? matrix_step(first, target, plan, bits) : nullptr;
    }
    case VEK_CsUtility::relabel_invert:
      return relabel_step(source, target, true);
    case VEK_CsUtility::relabel:
      return relabel_step(source, target, false);
    case VEK_CsUtility::point_to_point:
      return VEK_ColorSpaceConverterPtoP(manager_).engine(source, target);
    case VEK_CsUtility::point_to_point_colorspace: {
      VEK_Engine* first = VEK_ColorSpaceConverterPtoP(manager_).engine(source, plan.intermediate);
      return first != nullptr ? VEK_ColorSpace(manager_).engine(first, target) : nullptr;
    }
    case VEK_CsUtility::colorspace_point_to_point: {
      VEK_Engine* first = VEK_ColorSpace(manager_).engine(source, plan.intermediate);
      return first != nullptr ? VEK_ColorSpaceConverterPtoP(manager_).engine(first, target) : nullptr;
    }
    default:
      return nullptr;
  }
}

VEK_Engine* VEK_ColorSpaceConverter::lut_step(VEK_Engine* source, const VEK_ColorType* target,
                                              const VEK_CsUtility& plan, uint16_t bits) {
  VEK_LutData lut(manager_);
  lut.bits(bits);
  lut.channels(target->channels());
  lut.entries(uint32_t(1) << bits);
  if (!lut.value(plan.lut_data, plan.lut_bytes)) return nullptr;
  return VEK_Lut(manager_).engine(source, &lut, target);
}

VEK_Engine* VEK_ColorSpaceConverter::matrix_step(VEK_Engine* source, const VEK_ColorType* target,
                                                 const VEK_CsUtility& plan, uint16_t bits) {
  const double half = double(uint32_t(1) << (bits - 1));
  VEK_Vector<double> offsets(manager_);
  const bool from_ycbcr = CT::is_ycbcr(source->header()->color_type());
  const bool to_ycbcr = !from_ycbcr && CT::is_ycbcr(target);
  if (from_ycbcr || to_ycbcr) {
    const double sign = from_ycbcr ? -1.0 : 1.0;
    if (!offsets.push_back(0.0) || !offsets.push_back(sign * half) || !offsets.push_back(sign * half)) return nullptr;
  }
  return VEK_ColorMatrix(manager_).engine(source, plan.coefficients, from_ycbcr ? &offsets : nullptr,
                                          to_ycbcr ? &offsets : nullptr, target, bits <= 8);
}

VEK_Engine* VEK_ColorSpaceConverter::dlut_step(VEK_Engine* source, const VEK_ColorType* target,
                                               const VEK_CsUtility& plan, uint16_t bits) {
  return VEK_DLutTetrahedron(manager_).engine(source, bits, target->channels(), VEK_CsUtility::kGrid, true,
                                              plan.dlut_data, target);
}

VEK_Engine* VEK_ColorSpaceConverter::relabel_step(VEK_Engine* source, const VEK_ColorType* target, bool invert) {
  VEK_Header relabelled(manager_);
  if (!(relabelled = *source->header())) return nullptr;
  relabelled.color_type(target);
  VEK_Engine* e = VEK_RewriteHeader(manager_).engine(source, &relabelled);
  return invert && e != nullptr ? VEK_Not(manager_).engine(e) : e;
}
