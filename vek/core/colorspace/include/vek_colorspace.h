#pragma once
// Conversion of an image chain between the twelve convertible colour types. A plan names the
// engines to build (table, matrix, 3-D table, relabelling, per-pixel RGB/HSL) and carries what
// they need; the engines copy it, so the plan lives for one engine() call only.

#include <cstdint>

#include "vek_cspointconverter.h"
#include "vek_engine.h"
#include "vek_matrix.h"
#include "vek_refpointer.h"

class VEK_ColorSpace : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  // The source itself when it already has the target colour type.
  VEK_Engine* engine(VEK_Engine* source, const VEK_ColorType* target);

  // One of gray, gray_reverse, lstar, s_rgb, adobe_rgb, ycbcr, hsl, icc_lab, itu_lab, xyz, cmy, cmyk.
  static bool is_convertible(const VEK_ColorType* type);
};

// The plan of one conversion.
class VEK_CsUtility : public VEK_Utility {
 public:
  enum Method : uint32_t {
    lut = 0,
    matrix = 1,
    dlut = 2,
    matrix_lut = 3,
    lut_matrix = 4,
    relabel_invert = 5,
    point_to_point = 6,
    relabel = 7,
    point_to_point_colorspace = 8,
    colorspace_point_to_point = 9,
  };

  // Grid points per input axis of the 3-D table.
  static constexpr uint32_t kGrid = 33;

  explicit VEK_CsUtility(VEK_Manager* manager) : VEK_Utility(manager), coefficients(manager) {}
  VEK_CsUtility(const VEK_CsUtility&) = delete;
  VEK_CsUtility& operator=(const VEK_CsUtility&) = delete;
  ~VEK_CsUtility() override;

  // 2^bits entries per channel, one byte per sample below 8 bits.
  bool alloc_lut(uint32_t bits, uint32_t channels);
  // 33^inputs grid points of outputs samples each.
  bool alloc_dlut(uint32_t bits, uint32_t inputs, uint32_t outputs);

  uint32_t method = dlut;
  void* lut_data = nullptr;
  uint32_t lut_entries = 0;
  uint32_t lut_bytes = 0;
  void* dlut_data = nullptr;
  uint32_t dlut_points = 0;
  uint32_t dlut_bytes = 0;
  VEK_Matrix<double> coefficients;
  const VEK_ColorType* intermediate = nullptr;
};

// Fills a plan for samples of T (unsigned char for 1 and 8 bits, unsigned short for 16).
template <class T>
class VEK_CsUtilityMaker : public VEK_Utility {
 public:
  static constexpr uint32_t kGrid = VEK_CsUtility::kGrid;

  explicit VEK_CsUtilityMaker(VEK_Manager* manager) : VEK_Utility(manager), plan_(manager) {}
  VEK_CsUtilityMaker(const VEK_CsUtilityMaker&) = delete;
  VEK_CsUtilityMaker& operator=(const VEK_CsUtilityMaker&) = delete;
  ~VEK_CsUtilityMaker() override;

  // False when a table or a point converter cannot be made.
  bool make(const VEK_ColorType* source, const VEK_ColorType* target, uint32_t bits);
  const VEK_CsUtility& plan() const { return plan_; }

  // rows x columns, cleared, then filled from elements when given; false when it cannot be held.
  bool load_matrix(const double* elements, uint32_t rows, uint32_t columns);
  // Entry i of each channel is largest - i.
  bool build_lut_complement(uint32_t channels);
  // Between two 1-channel types through XYZ.
  bool build_lut_xyz();
  // Samples an integer converter on the grid.
  bool build_dlut_int(VEK_CsPointConverter<T>& converter, uint32_t inputs, uint32_t outputs);
  // Through XYZ with the two converters of the general route.
  bool build_dlut_xyz();

 private:
  bool general();
  bool set(uint32_t method, const double* elements = nullptr, uint32_t rows = 0, uint32_t columns = 0);

  VEK_CsUtility plan_;
  const VEK_ColorType* source_ = nullptr;
  const VEK_ColorType* target_ = nullptr;
  uint32_t bits_ = 0;
  double step_ = 0.0;
  VEK_CsPointConverter<double>* to_xyz_ = nullptr;
  VEK_CsPointConverter<double>* from_xyz_ = nullptr;
  uint32_t largest_ = 0;
};

extern template class VEK_CsUtilityMaker<unsigned char>;
extern template class VEK_CsUtilityMaker<unsigned short>;

// Builds the engines that a plan names.
class VEK_ColorSpaceConverter : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, const VEK_ColorType* target, const VEK_CsUtility& plan);

 private:
  VEK_Engine* lut_step(VEK_Engine* source, const VEK_ColorType* target, const VEK_CsUtility& plan, uint16_t bits);
  VEK_Engine* matrix_step(VEK_Engine* source, const VEK_ColorType* target, const VEK_CsUtility& plan, uint16_t bits);
  VEK_Engine* dlut_step(VEK_Engine* source, const VEK_ColorType* target, const VEK_CsUtility& plan, uint16_t bits);
  VEK_Engine* relabel_step(VEK_Engine* source, const VEK_ColorType* target, bool invert);
};

// s_rgb to hsl and back, pixel by pixel in double precision.
class VEK_ColorSpaceConverterPtoP : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, const VEK_ColorType* target);

  // None for every pair but s_rgb to hsl and hsl to s_rgb, and when there is no memory.
  template <class T>
  VEK_CsPointConverter<T>* converter(const VEK_Header* header, const VEK_ColorType* target);
  // An initiated engine marked created, or none; the engine takes its own share of converter.
  template <class T>
  VEK_Engine* create_engine(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination,
                            const VEK_RefPointer<VEK_CsPointConverter<T>>& converter, const VEK_ColorType* target);
};
