#include "vek_colormatrix.h"

#include <cmath>

#include "vek_colormatrixengine_templ.h"
#include "vek_errorhandler.h"

namespace {
constexpr const char* kFile = "core/colormatrix/source/vek_colormatrix.cpp";
constexpr double kEpsilon = 2.220446049250313e-16;
}  // namespace

bool vek_fits_q12(double d) {
  const double scaled = std::trunc(d * 4096.0);
  return scaled >= -2147483648.0 && scaled <= 2147483647.0;  // false for NaN
}

bool to_fixed(const VEK_Matrix<double>& source, VEK_Matrix<VEK_Q12>& target) {
  for (uint32_t r = 0; r < source.rows(); ++r)
    for (uint32_t c = 0; c < source.cols(); ++c)
      if (!vek_fits_q12(source.get(r, c))) {
        vek_report(target.manager(), VEK_ERROR_ARGUMENT, "to_fixed()", kFile, __LINE__);
        return false;
      }
  if (!target.resize(source.rows(), source.cols())) return false;
  target.clear();
  for (uint32_t r = 0; r < source.rows(); ++r)
    for (uint32_t c = 0; c < source.cols(); ++c) target.set(r, c, VEK_Q12(source.get(r, c)));
  return true;
}

VEK_Engine* VEK_ColorMatrix::engine(VEK_Engine* source, const VEK_Matrix<double>& matrix,
                                    const VEK_Vector<double>* in_offsets, const VEK_Vector<double>* out_offsets,
                                    const VEK_ColorType* color_type, bool fixed) {
  constexpr const char* kMethod = "VEK_ColorMatrix::engine()";
  if (!check_source(source, kMethod, kFile, __LINE__)) return nullptr;
  const VEK_Header* header = source->header();
  if (header->channels() != matrix.cols()) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kMethod, kFile, __LINE__);
    return nullptr;
  }
  if (in_offsets == nullptr && out_offsets == nullptr &&
      (color_type == nullptr || color_type == header->color_type()) && matrix.rows() == matrix.cols()) {
    bool identity = true;
    for (uint32_t i = 0; i < matrix.rows() && identity; ++i)
      for (uint32_t j = 0; j < matrix.cols() && identity; ++j)
        identity = std::fabs(matrix.get(i, j) - (i == j ? 1.0 : 0.0)) <= kEpsilon;
    if (identity) return source;
  }
  if (matrix.rows() == 3 && matrix.cols() == 3)
    return VEK_ColorMatrix3x3_8xNbits(manager_).engine(source, matrix, in_offsets, out_offsets, color_type, fixed);
  return VEK_ColorMatrix8xNbits(manager_).engine(source, matrix, in_offsets, out_offsets, color_type, fixed);
}

VEK_ColorMatrixCreator::~VEK_ColorMatrixCreator() { drop(); }

void VEK_ColorMatrixCreator::drop() {
  vek_destroy(in_fixed_);
  vek_destroy(out_fixed_);
  in_fixed_ = nullptr;
  out_fixed_ = nullptr;
}

bool VEK_ColorMatrixCreator::keep(const VEK_Vector<double>* given, VEK_Vector<VEK_Q12>*& kept) {
  if (given == nullptr) return true;
  kept = vek_new<VEK_Vector<VEK_Q12>>(manager_, given->size(), VEK_Q12());
  if (kept == nullptr || kept->size() != given->size()) return false;
  for (uint32_t i = 0; i < given->size(); ++i) (*kept)[i] = VEK_Q12((*given)[i]);
  return true;
}

VEK_ColorMatrixCreator::Road VEK_ColorMatrixCreator::road(VEK_Engine* source, const VEK_Matrix<double>& matrix,
                                                          const VEK_Vector<double>* in_offsets,
                                                          const VEK_Vector<double>* out_offsets, bool fixed,
                                                          VEK_Matrix<VEK_Q12>& fixed_matrix, const Where& where) {
  const VEK_Header* header = source->header();
  const VEK_DataType* type = header->data_type();
  if (fixed && type != VEK_DataType::floating) {
    // Q12 holds trunc(d x 4096) only inside 32 bits; NaN has no value at all.
    bool fits = true;
    for (const VEK_Vector<double>* v : {in_offsets, out_offsets})
      if (v != nullptr)
        for (double d : *v) fits = fits && vek_fits_q12(d);
    if (!fits) {
      vek_report(manager_, VEK_ERROR_ARGUMENT, where.method, where.file, where.line);
      return Road::none;
    }
    drop();  // the offsets of an earlier call served that call only
    if (!to_fixed(matrix, fixed_matrix) || !keep(in_offsets, in_fixed_) || !keep(out_offsets, out_fixed_))
      return Road::none;
    if (type != VEK_DataType::u_integer) {
      vek_report(manager_, VEK_ERROR_FORMAT, where.method, where.file, where.line);
      return Road::none;
    }
    return header->bits() == 8 ? Road::q12_u8 : Road::q12_u16;
  }
  if (type == VEK_DataType::u_integer) return header->bits() == 8 ? Road::double_u8 : Road::double_u16;
  if (type == VEK_DataType::floating) return header->bits() == 32 ? Road::double_float : Road::double_double;
  vek_report(manager_, VEK_ERROR_FORMAT, where.method, where.file, where.line);
  return Road::none;
}
