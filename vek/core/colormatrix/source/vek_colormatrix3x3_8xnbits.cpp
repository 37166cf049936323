#include "vek_colormatrix.h"
#include "vek_colormatrixengine_templ.h"

namespace {
constexpr const char* kFile = "core/colormatrix/source/vek_colormatrix3x3_8xnbits.cpp";
}

VEK_Engine* VEK_ColorMatrix3x3_8xNbits::engine(VEK_Engine* source, const VEK_Matrix<double>& matrix,
                                               const VEK_Vector<double>* in_offsets,
                                               const VEK_Vector<double>* out_offsets, const VEK_ColorType* color_type,
                                               bool fixed) {
  constexpr const char* kMethod = "VEK_ColorMatrix3x3_8xNbits::engine()";
  if (!check_source(source, kMethod, kFile, __LINE__)) return nullptr;
  return build<VEK_ColorMatrix3x3_8xNbitsEngine>(source, matrix, in_offsets, out_offsets, color_type, fixed,
                                                 {kMethod, kFile, __LINE__});
}
