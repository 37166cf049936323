#include <cmath>

#include "vek_colorspace.h"
#include "vek_manager.h"

namespace {

// Rows of the plan's matrices, one per output channel.
constexpr double kLuma[] = {0.298992944, 0.587015974, 0.113991082};
constexpr double kGrayToRgb[] = {1.0, 1.0, 1.0};
constexpr double kGrayToYcbcr[] = {1.0, 0.0, 0.0};
constexpr double kYcbcrToGray[] = {1.0, 0.0, 0.0};
constexpr double kRgbToYcbcr[] = {0.298992944, 0.587015974, 0.113991082,  -0.16873191, -0.331273123,
                                  0.500005033, 0.500005033, -0.418698983, -0.08130605};
constexpr double kYcbcrToRgb[] = {1.0, 0.0, 1.402, 1.0, -0.3441, -0.7141, 1.0, 1.772, 0.0};

uint64_t sample_bytes(uint32_t bits) { return bits < 8 ? 1 : bits / 8; }

using CT = VEK_ColorType;

}  // namespace

VEK_CsUtility::~VEK_CsUtility() {
  manager_->free(lut_data);
  manager_->free(dlut_data);
}

bool VEK_CsUtility::alloc_lut(uint32_t bits, uint32_t channels) {
  manager_->free(lut_data);
  lut_data = nullptr;
  const uint64_t entries = uint64_t(1) << bits;
  const uint64_t bytes = entries * channels * sample_bytes(bits);
  lut_entries = uint32_t(entries);
  lut_bytes = uint32_t(bytes);
  lut_data = manager_->allocate(lut_bytes);
  return lut_data != nullptr;
}

bool VEK_CsUtility::alloc_dlut(uint32_t bits, uint32_t inputs, uint32_t outputs) {
  manager_->free(dlut_data);
  dlut_data = nullptr;
  uint64_t points = 1;
  for (uint32_t i = 0; i < inputs; ++i) points *= kGrid;
  dlut_points = uint32_t(points);
  dlut_bytes = uint32_t(points * outputs * sample_bytes(bits));
  dlut_data = manager_->allocate(dlut_bytes);
  return dlut_data != nullptr;
}

template <class T>
VEK_CsUtilityMaker<T>::~VEK_CsUtilityMaker() {
  vek_destroy(to_xyz_);
  vek_destroy(from_xyz_);
}

template <class T>
bool VEK_CsUtilityMaker<T>::load_matrix(const double* elements, uint32_t rows, uint32_t columns) {
  VEK_Matrix<double>& m = plan_.coefficients;
  if (!m.resize(rows, columns)) return false;
  m.clear();
  if (elements == nullptr || m.rows() != rows || m.cols() != columns) return true;
  for (uint32_t i = 0; i < rows * columns; ++i) m.set(i / columns, i % columns, elements[i]);
  return true;
}

template <class T>
bool VEK_CsUtilityMaker<T>::set(uint32_t method, const double* elements, uint32_t rows, uint32_t columns) {
  plan_.method = method;
  return elements == nullptr || load_matrix(elements, rows, columns);
}

template <class T>
bool VEK_CsUtilityMaker<T>::build_lut_complement(uint32_t channels) {
  if (!plan_.alloc_lut(bits_, channels)) return false;
  T* table = static_cast<T*>(plan_.lut_data);
  const uint32_t entries = plan_.lut_entries;
  for (uint32_t i = 0; i < entries; ++i) table[i] = T(largest_ - i);
  for (uint32_t c = 1; c < channels; ++c)
    for (uint32_t i = 0; i < entries; ++i) table[uint64_t(c) * entries + i] = table[i];
  return true;
}

template <class T>
bool VEK_CsUtilityMaker<T>::build_lut_xyz() {
  if (!plan_.alloc_lut(bits_, 1)) return false;
  T* table = static_cast<T*>(plan_.lut_data);
  const double step = 1.0 / largest_;
  double x = 0.0;  // a running sum, as the stored tables were made
  for (uint32_t i = 0; i <= largest_; ++i, x += step) {
    double xyz[3] = {x, x, x}, y[4] = {0, 0, 0, 0};
    if (to_xyz_ != nullptr) to_xyz_->convert(&x, xyz);
    if (from_xyz_ != nullptr)
      from_xyz_->convert(xyz, y);
    else
      y[0] = xyz[0];
    table[i] = vek_cs::saturate<T>(largest_ * y[0]);
  }
  return true;
}

namespace {

// Walks the grid points of n axes in table order (first axis slowest) and calls visit(index of
// every axis) for each.
template <class Visit>
void for_each_grid_point(uint32_t n, uint32_t grid, Visit visit) {
  uint32_t index[4] = {0, 0, 0, 0};
  for (;;) {
    visit(index);
    int axis = int(n) - 1;
    while (axis >= 0 && ++index[axis] == grid) index[axis--] = 0;
    if (axis < 0) return;
  }
}

}  // namespace

template <class T>
bool VEK_CsUtilityMaker<T>::build_dlut_int(VEK_CsPointConverter<T>& converter, uint32_t inputs, uint32_t outputs) {
  if (inputs > 4 || !plan_.alloc_dlut(bits_, inputs, outputs)) return false;
  T samples[kGrid];
  const double stride = largest_ / 32.0;
  double sum = 0.0;
  for (uint32_t k = 0; k < kGrid; ++k, sum += stride) samples[k] = vek_cs::saturate<T>(sum);
  T* out = static_cast<T*>(plan_.dlut_data);
  for_each_grid_point(inputs, kGrid, [&](const uint32_t* index) {
    T in[4];
    for (uint32_t a = 0; a < inputs; ++a) in[a] = samples[index[a]];
    converter.convert(in, out);
    out += outputs;
  });
  return true;
}

template <class T>
bool VEK_CsUtilityMaker<T>::build_dlut_xyz() {
  const uint32_t n = source_->channels(), m = target_->channels();
  const bool supported =
      (n == 1 && (m == 3 || m == 4)) || (n == 3 && m >= 1 && m <= 4 && m != 2) || (n == 4 && (m == 1 || m == 3));
  if (!supported || !plan_.alloc_dlut(bits_, n, m)) return false;
  double values[kGrid];
  double sum = 0.0;
  for (uint32_t k = 0; k < kGrid; ++k, sum += step_) values[k] = sum;
  T* out = static_cast<T*>(plan_.dlut_data);
  for_each_grid_point(n, kGrid, [&](const uint32_t* index) {
    double in[4], xyz[3], result[4];
    for (uint32_t a = 0; a < n; ++a) in[a] = values[index[a]];
    if (to_xyz_ != nullptr)
      to_xyz_->convert(in, xyz);
    else
      for (int a = 0; a < 3; ++a) xyz[a] = in[a];
    const double* o = xyz;
    if (from_xyz_ != nullptr) {
      from_xyz_->convert(xyz, result);
      o = result;
    }
    for (uint32_t c = 0; c < m; ++c) out[c] = vek_cs::saturate<T>(largest_ * o[c]);
    out += m;
  });
  return true;
}

template <class T>
bool VEK_CsUtilityMaker<T>::general() {
  VEK_CsPointConverterFactory<T> factory(manager_);
  if (!CT::is_xyz(source_)) {
    to_xyz_ = factory.to_xyz(source_);
    if (to_xyz_ == nullptr) return false;
  }
  if (!CT::is_xyz(target_)) {
    from_xyz_ = factory.from_xyz(target_);
    if (from_xyz_ == nullptr) return false;
  }
  if (source_->channels() == 1 && target_->channels() == 1) {
    plan_.method = VEK_CsUtility::lut;
    return build_lut_xyz();
  }
  plan_.method = VEK_CsUtility::dlut;
  return build_dlut_xyz();
}

template <class T>
bool VEK_CsUtilityMaker<T>::make(const VEK_ColorType* source, const VEK_ColorType* target, uint32_t bits) {
  using P = VEK_CsUtility;
  source_ = source;
  target_ = target;
  bits_ = bits;
  largest_ = sizeof(T) == 1 ? 255u : 65535u;
  step_ = 1.0 / 32.0;
  const VEK_ColorType* f = source;
  const VEK_ColorType* t = target;
  if (f == t) return true;
  if (CT::is_s_rgb(f)) {
    if (CT::is_gray(t)) return set(P::matrix, kLuma, 1, 3);
    if (CT::is_gray_reverse(t)) {
      plan_.intermediate = VEK_ColorType_gray::instance();
      return set(P::matrix_lut, kLuma, 1, 3) && build_lut_complement(1);
    }
    if (CT::is_ycbcr(t)) return set(P::matrix, kRgbToYcbcr, 3, 3);
    if (CT::is_cmy(t)) return set(P::lut) && build_lut_complement(3);
    if (CT::is_cmyk(t)) {
      Rgb2cmykINT<T> converter(manager_);
      return set(P::dlut) && build_dlut_int(converter, 3, 4);
    }
    if (CT::is_hsl(t)) return set(P::point_to_point);
    return general();
  }
  if (CT::is_gray(f)) {
    if (CT::is_s_rgb(t)) return set(P::matrix, kGrayToRgb, 3, 1);
    if (CT::is_ycbcr(t)) return set(P::matrix, kGrayToYcbcr, 3, 1);
    if (CT::is_gray_reverse(t)) return bits == 1 ? set(P::relabel_invert) : set(P::lut) && build_lut_complement(1);
    if (CT::is_lstar(t) && bits == 1) return set(P::relabel);
    return general();
  }
  if (CT::is_lstar(f)) {
    if (bits == 1) return set(CT::is_gray_reverse(t) ? P::relabel_invert : P::relabel);
    return general();
  }
  if (CT::is_gray_reverse(f)) {
    if (CT::is_s_rgb(t) || CT::is_ycbcr(t)) {
      plan_.intermediate = VEK_ColorType_gray::instance();
      return set(P::lut_matrix, CT::is_s_rgb(t) ? kGrayToRgb : kGrayToYcbcr, 3, 1) && build_lut_complement(1);
    }
    if ((CT::is_gray(t) || CT::is_lstar(t)) && bits == 1) return set(P::relabel_invert);
    if (CT::is_gray(t)) return set(P::lut) && build_lut_complement(1);
    return general();
  }
  if (CT::is_ycbcr(f)) {
    if (CT::is_s_rgb(t)) return set(P::matrix, kYcbcrToRgb, 3, 3);
    if (CT::is_gray(t)) return set(P::matrix, kYcbcrToGray, 1, 3);
    if (CT::is_gray_reverse(t)) {
      plan_.intermediate = VEK_ColorType_gray::instance();
      return set(P::matrix_lut, kYcbcrToGray, 1, 3) && build_lut_complement(1);
    }
    return general();
  }
  if (CT::is_cmy(f) && CT::is_s_rgb(t)) return set(P::lut) && build_lut_complement(3);
  if (CT::is_cmyk(f) && CT::is_s_rgb(t)) {
    Cmyk2rgbINT<T> converter(manager_);
    return set(P::dlut) && build_dlut_int(converter, 4, 3);
  }
  if (CT::is_hsl(f)) {
    if (CT::is_s_rgb(t)) return set(P::point_to_point);
    plan_.intermediate = VEK_ColorType_s_rgb::instance();
    return set(P::point_to_point_colorspace);
  }
  if (CT::is_hsl(t)) {
    plan_.intermediate = VEK_ColorType_s_rgb::instance();
    return set(P::colorspace_point_to_point);
  }
  return general();
}

template <class T>
VEK_CsPointConverter<double>* VEK_CsPointConverterFactory<T>::to_xyz(const VEK_ColorType* type) {
  VEK_Manager* m = manager_;
  if (CT::is_gray(type)) return vek_new<Gray2xyz<double>>(m);
  if (CT::is_gray_reverse(type)) return vek_new<Grayrev2xyz<double>>(m);
  if (CT::is_s_rgb(type)) return vek_new<Srgb2xyz<double>>(m);
  if (CT::is_adobe_rgb(type)) return vek_new<Adobergb2xyz<double>>(m);
  if (CT::is_ycbcr(type)) return vek_new<Ycbcr2xyz<double>>(m);
  if (CT::is_lstar(type)) return vek_new<Lstar2xyz<double>>(m);
  if (CT::is_icc_lab(type)) return vek_new<Icclab2xyz<double>>(m);
  if (CT::is_itu_lab(type)) return vek_new<Itulab2xyz<double, T>>(m);
  if (CT::is_hsl(type)) return vek_new<Hsl2xyz<double>>(m);
  if (CT::is_cmy(type)) return vek_new<Cmy2xyz<double>>(m);
  if (CT::is_cmyk(type)) return vek_new<Cmyk2xyz<double>>(m);
  return nullptr;
}

template <class T>
VEK_CsPointConverter<double>* VEK_CsPointConverterFactory<T>::from_xyz(const VEK_ColorType* type) {
  VEK_Manager* m = manager_;
  if (CT::is_gray(type)) return vek_new<Xyz2gray<double>>(m);
  if (CT::is_gray_reverse(type)) return vek_new<Xyz2grayrev<double>>(m);
  if (CT::is_s_rgb(type)) return vek_new<Xyz2srgb<double>>(m);
  if (CT::is_adobe_rgb(type)) return vek_new<Xyz2adobergb<double>>(m);
  if (CT::is_ycbcr(type)) return vek_new<Xyz2ycbcr<double>>(m);
  if (CT::is_lstar(type)) return vek_new<Xyz2lstar<double>>(m);
  if (CT::is_icc_lab(type)) return vek_new<Xyz2icclab<double>>(m);
  if (CT::is_itu_lab(type)) return vek_new<Xyz2itulab<double, T>>(m);
  if (CT::is_hsl(type)) return vek_new<Xyz2hsl<double>>(m);
  if (CT::is_cmy(type)) return vek_new<Xyz2cmy<double>>(m);
  if (CT::is_cmyk(type)) return vek_new<Xyz2cmyk<double>>(m);
  return nullptr;
}

template class VEK_CsUtilityMaker<unsigned char>;
template class VEK_CsUtilityMaker<unsigned short>;
template class VEK_CsPointConverterFactory<unsigned char>;
template class VEK_CsPointConverterFactory<unsigned short>;
