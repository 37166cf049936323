#pragma once
// Colour matrices: out = M x (in + a) + b for every pixel of an interleaved image, in double
// or Q12 arithmetic. M has a row per output channel and a column per input channel.

#include <cstdint>

#include "vek_engine.h"
#include "vek_fixedreal.h"
#include "vek_matrix.h"
#include "vek_vector.h"

using VEK_Q12 = VEK_FixedRealImpl<int, 12>;

// True when trunc(d x 4096) is a Q12 raw value; NaN and infinities are not.
bool vek_fits_q12(double d);

// Every element trunc(d x 4096). An element outside Q12 is refused with 0x80800000 before anything
// is converted; a failed allocation leaves false after the manager's report.
bool to_fixed(const VEK_Matrix<double>& source, VEK_Matrix<VEK_Q12>& target);

// Chooses the unrolled 3 x 3 family or the general one; the identity without offsets or a new
// colour type hands the source back.
class VEK_ColorMatrix : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  // Offsets and colour type may be null; fixed asks for Q12 arithmetic on integer samples.
  VEK_Engine* engine(VEK_Engine* source, const VEK_Matrix<double>& matrix, const VEK_Vector<double>* in_offsets,
                     const VEK_Vector<double>* out_offsets, const VEK_ColorType* color_type, bool fixed);
};

// What the two leaf creators share: the Q12 offsets of their last fixed-point call, and the
// choice of road and sample type.
class VEK_ColorMatrixCreator : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  ~VEK_ColorMatrixCreator() override;

  const VEK_Vector<VEK_Q12>* fixed_in_offsets() const { return in_fixed_; }
  const VEK_Vector<VEK_Q12>* fixed_out_offsets() const { return out_fixed_; }

 protected:
  enum class Road { q12_u8, q12_u16, double_u8, double_u16, double_float, double_double, none };
  // The leaf creator's name, file and line for the reports made on its behalf.
  struct Where {
    const char* method;
    const char* file;
    uint32_t line;
  };
  // Reports and answers Road::none when there is no engine for the source.
  Road road(VEK_Engine* source, const VEK_Matrix<double>& matrix, const VEK_Vector<double>* in_offsets,
            const VEK_Vector<double>* out_offsets, bool fixed, VEK_Matrix<VEK_Q12>& fixed_matrix, const Where& where);
  // The road's engine of family E (defined beside the engines).
  template <template <class, class> class E>
  VEK_Engine* build(VEK_Engine* source, const VEK_Matrix<double>& matrix, const VEK_Vector<double>* in_offsets,
                    const VEK_Vector<double>* out_offsets, const VEK_ColorType* color_type, bool fixed,
                    const Where& where);

 private:
  bool keep(const VEK_Vector<double>* given, VEK_Vector<VEK_Q12>*& kept);
  void drop();

 protected:
  VEK_Vector<VEK_Q12>* in_fixed_ = nullptr;
  VEK_Vector<VEK_Q12>* out_fixed_ = nullptr;
};

class VEK_ColorMatrix8xNbits : public VEK_ColorMatrixCreator {
 public:
  using VEK_ColorMatrixCreator::VEK_ColorMatrixCreator;
  VEK_Engine* engine(VEK_Engine* source, const VEK_Matrix<double>& matrix, const VEK_Vector<double>* in_offsets,
                     const VEK_Vector<double>* out_offsets, const VEK_ColorType* color_type, bool fixed);
};

class VEK_ColorMatrix3x3_8xNbits : public VEK_ColorMatrixCreator {
 public:
  using VEK_ColorMatrixCreator::VEK_ColorMatrixCreator;
  VEK_Engine* engine(VEK_Engine* source, const VEK_Matrix<double>& matrix, const VEK_Vector<double>* in_offsets,
                     const VEK_Vector<double>* out_offsets, const VEK_ColorType* color_type, bool fixed);
};
