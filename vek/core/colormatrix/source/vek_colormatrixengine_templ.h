#pragma once
// The colour-matrix engines for W = double or Q12 weights and samples T: the common base, the
// general engine for any shape and the unrolled 3 x 3 engine. Q12 sums run in 64 bits, or in
// 32 bits where the coefficients, constants and sample range prove that nothing can wrap.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "vek_colormatrix.h"
#include "vek_colormatrixkernels.h"
#include "vek_errorhandler.h"

template <class W, class T>
class VEK_ColorMatrixEngine : public VEK_ProcessLineToLineEngine {
  static_assert(std::is_same_v<W, double> || std::is_same_v<W, VEK_Q12>, "double or Q12 weights");
  static_assert(std::is_same_v<W, double> || std::is_integral_v<T>, "Q12 weights take integer samples");
  static constexpr const char* kFile = "core/colormatrix/source/vek_colormatrixengine_templ.h";

 public:
  using VEK_ProcessLineToLineEngine::initiate;
  using VEK_ProcessLineToLineEngine::VEK_ProcessLineToLineEngine;
  static constexpr bool kFixed = std::is_same_v<W, VEK_Q12>;
  // Coefficients as raw Q12 or double; constants and sums in 64 bits on the Q12 road.
  using Coef = std::conditional_t<kFixed, int32_t, double>;
  using Acc = std::conditional_t<kFixed, int64_t, double>;

  virtual bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination,
                        const VEK_Matrix<W>& matrix, const VEK_Vector<W>* in_offsets, const VEK_Vector<W>* out_offsets,
                        const VEK_ColorType* color_type) {
    constexpr const char* kMethod = "VEK_ColorMatrixEngine::initiate()";
    if (!check_interface_version(VEK_INTERFACE_VERSION)) {
      vek_report(manager_, VEK_ERROR_VERSION, kMethod, kFile, __LINE__);
      return false;
    }
    if (!VEK_ProcessLineToLineEngine::initiate(header, source, destination)) return false;
    const VEK_DataType* type = header->data_type();
    if ((type != VEK_DataType::u_integer && type != VEK_DataType::floating) || !header->palette().empty() ||
        header->bits() != sizeof(T) * 8 || (type == VEK_DataType::floating) != std::is_floating_point_v<T>) {
      vek_report(manager_, VEK_ERROR_FORMAT, kMethod, kFile, __LINE__);
      return false;
    }
    in_channels_ = header->channels();
    width_ = header->width();
    max_ = std::numeric_limits<T>::max();
    // More rows than a header can count would wrap to a few channels and a short line.
    if (matrix.rows() > UINT16_MAX) {
      vek_report(manager_, VEK_ERROR_ARGUMENT, kMethod, kFile, __LINE__);
      return false;
    }
    out_channels_ = uint16_t(matrix.rows());
    if (in_offsets != nullptr && in_offsets->size() != in_channels_) {
      vek_report(manager_, VEK_ERROR_ARGUMENT, kMethod, kFile, __LINE__);
      return false;
    }
    if (out_offsets != nullptr && out_offsets->size() != out_channels_) {
      vek_report(manager_, VEK_ERROR_ARGUMENT, kMethod, kFile, __LINE__);
      return false;
    }
    out_header_.channels(out_channels_);
    if (color_type != nullptr) out_header_.color_type(color_type);
    if (!out_header_.is_valid()) {
      vek_report(manager_, VEK_ERROR_ARGUMENT, kMethod, kFile, __LINE__);
      return false;
    }
    return dst_->block_bytes(out_header_.line_bytes());
  }

 protected:
  static Coef coef(W w) {
    if constexpr (kFixed)
      return w.raw();
    else
      return w;
  }

  // C_i = sum_j M[i][j] x a_j + b_i, from 0 in column order, the output offset last.
  Acc constant(const VEK_Matrix<W>& matrix, const VEK_Vector<W>* in_offsets, const VEK_Vector<W>* out_offsets,
               uint32_t i) const {
    if constexpr (kFixed) {
      uint64_t c = 0;  // wraps instead of overflowing
      for (uint32_t j = 0; j < in_channels_; ++j) {
        const int64_t a = in_offsets != nullptr ? (*in_offsets)[j].raw() : 0;
        c += uint64_t((int64_t(matrix.get(i, j).raw()) * a) >> VEK_Q12::kFractionBits);
      }
      c += uint64_t(int64_t(out_offsets != nullptr ? (*out_offsets)[i].raw() : 0));
      return int64_t(c);
    } else {
      double c = 0.0;
      for (uint32_t j = 0; j < in_channels_; ++j)
        c += matrix.get(i, j) * (in_offsets != nullptr ? (*in_offsets)[j] : 0.0);
      return c + (out_offsets != nullptr ? (*out_offsets)[i] : 0.0);
    }
  }

  // A row whose largest possible sum, rounding half included, stays inside 32 bits.
  bool row_fits_32(const Coef* row, uint32_t n, Acc c) const {
    if constexpr (kFixed) {
      double bound = std::fabs(double(c)) + 2048.0;
      for (uint32_t j = 0; j < n; ++j) bound += std::fabs(double(row[j])) * double(max_);
      return bound < 2147483647.0;
    } else {
      return false;
    }
  }

  // Q12 sums: 0 below 0, the largest sample above it x 4096, else rounded halves up.
  template <class A>
  static T from_fixed(A acc, T max) {
    const A r = (acc + 2048) >> VEK_Q12::kFractionBits;
    return T(r < 0 ? A(0) : r > A(max) ? A(max) : r);
  }
  // Double sums: integer samples saturate (NaN to the largest), floating ones take the value.
  static T from_double(double acc, T max) {
    if constexpr (std::is_floating_point_v<T>) {
      return T(acc);
    } else {
      if (acc < 0.0) return 0;
      if (acc <= double(max)) return T(acc + 0.5);
      return max;
    }
  }

  static T load(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof(T));
    return v;
  }
  static void store(uint8_t* p, T v) { std::memcpy(p, &v, sizeof(T)); }

  uint16_t in_channels_ = 0;
  uint16_t out_channels_ = 0;
  uint32_t width_ = 0;
  T max_ = 0;
};

// Any shape; the coefficients, offsets and constants in arrays of the manager's memory.
template <class W, class T>
class VEK_ColorMatrix8xNbitsEngine : public VEK_ColorMatrixEngine<W, T> {
  using Base = VEK_ColorMatrixEngine<W, T>;
  using typename Base::Acc;
  using typename Base::Coef;

 public:
  using Base::Base;
  using Base::initiate;
  ~VEK_ColorMatrix8xNbitsEngine() override { release(); }

  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination,
                const VEK_Matrix<W>& matrix, const VEK_Vector<W>* in_offsets, const VEK_Vector<W>* out_offsets,
                const VEK_ColorType* color_type) override {
    if (!Base::initiate(header, source, destination, matrix, in_offsets, out_offsets, color_type)) return false;
    const uint32_t n = this->in_channels_, m = this->out_channels_;
    coefs_ = static_cast<Coef*>(this->manager_->allocate(uint32_t(uint64_t(n) * m * sizeof(Coef))));
    constants_ = static_cast<Acc*>(this->manager_->allocate(uint32_t(m * sizeof(Acc))));
    if (coefs_ == nullptr || constants_ == nullptr) return false;
    fits_32_ = Base::kFixed;
    for (uint32_t i = 0; i < m; ++i) {
      for (uint32_t j = 0; j < n; ++j) coefs_[uint64_t(i) * n + j] = Base::coef(matrix.get(i, j));
      constants_[i] = this->constant(matrix, in_offsets, out_offsets, i);
      fits_32_ = fits_32_ && this->row_fits_32(coefs_ + uint64_t(i) * n, n, constants_[i]);
    }
    return true;
  }

  bool terminate() override {
    release();
    return Base::terminate();
  }

  bool process_line(const void* source_line, void* destination_line) override {
    const uint8_t* in = static_cast<const uint8_t*>(source_line);
    uint8_t* out = static_cast<uint8_t*>(destination_line);
    const uint32_t n = this->in_channels_, m = this->out_channels_;
    if constexpr (Base::kFixed) {
      if (fits_32_)
        fixed_line<int32_t>(in, out, n, m);
      else
        fixed_line<int64_t>(in, out, n, m);
    } else {
      for (uint32_t x = 0; x < this->width_; ++x, in += n * sizeof(T)) {
        const Coef* row = coefs_;
        for (uint32_t i = 0; i < m; ++i, row += n, out += sizeof(T)) {
          double acc = 0.0;
          uint32_t j = 0;
          for (; j + 4 <= n; j += 4) {
            acc += double(Base::load(in + j * sizeof(T))) * row[j];
            acc += double(Base::load(in + (j + 1) * sizeof(T))) * row[j + 1];
            acc += double(Base::load(in + (j + 2) * sizeof(T))) * row[j + 2];
            acc += double(Base::load(in + (j + 3) * sizeof(T))) * row[j + 3];
          }
          for (; j < n; ++j) acc += double(Base::load(in + j * sizeof(T))) * row[j];
          Base::store(out, Base::from_double(acc + constants_[i], this->max_));
        }
      }
    }
    return true;
  }

 private:
  template <class A>
  void fixed_line(const uint8_t* in, uint8_t* out, uint32_t n, uint32_t m) const {
    for (uint32_t x = 0; x < this->width_; ++x, in += n * sizeof(T)) {
      const Coef* row = coefs_;
      for (uint32_t i = 0; i < m; ++i, row += n, out += sizeof(T)) {
        A acc = 0;
        for (uint32_t j = 0; j < n; ++j) acc += A(row[j]) * A(Base::load(in + j * sizeof(T)));
        Base::store(out, Base::from_fixed(A(acc + A(constants_[i])), this->max_));
      }
    }
  }

  void release() {
    this->manager_->free(coefs_);
    this->manager_->free(constants_);
    coefs_ = nullptr;
    constants_ = nullptr;
  }

  Coef* coefs_ = nullptr;  // row-major, a row per output channel
  Acc* constants_ = nullptr;
  bool fits_32_ = false;
};

// Three channels in and out, unrolled.
template <class W, class T>
class VEK_ColorMatrix3x3_8xNbitsEngine : public VEK_ColorMatrixEngine<W, T> {
  using Base = VEK_ColorMatrixEngine<W, T>;
  using typename Base::Acc;
  using typename Base::Coef;
  static constexpr const char* kFile = "core/colormatrix/source/vek_colormatrixengine_templ.h";

 public:
  using Base::Base;
  using Base::initiate;

  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination,
                const VEK_Matrix<W>& matrix, const VEK_Vector<W>* in_offsets, const VEK_Vector<W>* out_offsets,
                const VEK_ColorType* color_type) override {
    if (!Base::initiate(header, source, destination, matrix, in_offsets, out_offsets, color_type)) return false;
    // The unrolled loop reads and writes three samples a pixel, whatever the lines hold.
    if (this->in_channels_ != 3 || this->out_channels_ != 3) {
      vek_report(this->manager_, VEK_ERROR_ARGUMENT, "VEK_ColorMatrix3x3_8xNbitsEngine::initiate()", kFile, __LINE__);
      return false;
    }
    fits_32_ = Base::kFixed;
    for (uint32_t i = 0; i < 3; ++i) {
      for (uint32_t j = 0; j < 3; ++j) m_[i * 3 + j] = Base::coef(matrix.get(i, j));
      c_[i] = this->constant(matrix, in_offsets, out_offsets, i);
      fits_32_ = fits_32_ && this->row_fits_32(m_ + i * 3, 3, c_[i]);
      c32_[i] = int32_t(c_[i]);  // used only when every row fits
    }
    return true;
  }

  bool process_line(const void* source_line, void* destination_line) override {
    const uint8_t* in = static_cast<const uint8_t*>(source_line);
    uint8_t* out = static_cast<uint8_t*>(destination_line);
    if constexpr (Base::kFixed) {
      if (fits_32_)
        fixed_line<int32_t>(in, out);
      else
        fixed_line<int64_t>(in, out);
    } else {
      const T max = this->max_;
      const uint32_t width = this->width_;
      const double m0 = m_[0], m1 = m_[1], m2 = m_[2], m3 = m_[3], m4 = m_[4], m5 = m_[5], m6 = m_[6], m7 = m_[7];
      const double m8 = m_[8], c0 = c_[0], c1 = c_[1], c2 = c_[2];
      for (uint32_t x = 0; x < width; ++x, in += 3 * sizeof(T), out += 3 * sizeof(T)) {
        const double s0 = Base::load(in), s1 = Base::load(in + sizeof(T)), s2 = Base::load(in + 2 * sizeof(T));
        Base::store(out, Base::from_double(0.0 + s0 * m0 + s1 * m1 + s2 * m2 + c0, max));
        Base::store(out + sizeof(T), Base::from_double(0.0 + s0 * m3 + s1 * m4 + s2 * m5 + c1, max));
        Base::store(out + 2 * sizeof(T), Base::from_double(0.0 + s0 * m6 + s1 * m7 + s2 * m8 + c2, max));
      }
    }
    return true;
  }

 private:
  template <class A>
  void fixed_line(const uint8_t* __restrict in, uint8_t* __restrict out) const {
    const A m0 = m_[0], m1 = m_[1], m2 = m_[2], m3 = m_[3], m4 = m_[4], m5 = m_[5], m6 = m_[6], m7 = m_[7], m8 = m_[8];
    const A c0 = A(c_[0]), c1 = A(c_[1]), c2 = A(c_[2]);
    const T max = this->max_;
    const uint32_t width = this->width_;  // held apart: stores through out may alias the engine
    if constexpr (std::is_same_v<T, unsigned char> && std::is_same_v<A, int32_t>) {
      vek_colormatrix_q12_u8_line()(in, out, width, m_, c32_);
    } else if constexpr (std::is_same_v<T, unsigned char>) {
      for (uint32_t x = 0; x < width; ++x) {
        const A s0 = in[3 * x], s1 = in[3 * x + 1], s2 = in[3 * x + 2];
        out[3 * x] = Base::from_fixed(A(m0 * s0 + m1 * s1 + m2 * s2 + c0), max);
        out[3 * x + 1] = Base::from_fixed(A(m3 * s0 + m4 * s1 + m5 * s2 + c1), max);
        out[3 * x + 2] = Base::from_fixed(A(m6 * s0 + m7 * s1 + m8 * s2 + c2), max);
      }
    } else {
      for (uint32_t x = 0; x < width; ++x, in += 3 * sizeof(T), out += 3 * sizeof(T)) {
        const A s0 = Base::load(in), s1 = Base::load(in + sizeof(T)), s2 = Base::load(in + 2 * sizeof(T));
        Base::store(out, Base::from_fixed(A(m0 * s0 + m1 * s1 + m2 * s2 + c0), max));
        Base::store(out + sizeof(T), Base::from_fixed(A(m3 * s0 + m4 * s1 + m5 * s2 + c1), max));
        Base::store(out + 2 * sizeof(T), Base::from_fixed(A(m6 * s0 + m7 * s1 + m8 * s2 + c2), max));
      }
    }
  }

  Coef m_[9] = {};
  Acc c_[3] = {};
  int32_t c32_[3] = {};  // the constants for 32-bit sums
  bool fits_32_ = false;
};

template <template <class, class> class E>
VEK_Engine* VEK_ColorMatrixCreator::build(VEK_Engine* source, const VEK_Matrix<double>& matrix,
                                          const VEK_Vector<double>* in_offsets, const VEK_Vector<double>* out_offsets,
                                          const VEK_ColorType* color_type, bool fixed, const Where& where) {
  VEK_Matrix<VEK_Q12> q12(manager_);  // lives for this call; the engine keeps its own values
  switch (road(source, matrix, in_offsets, out_offsets, fixed, q12, where)) {
    case Road::q12_u8:
      return create_engine<E<VEK_Q12, unsigned char>>(source, q12, in_fixed_, out_fixed_, color_type);
    case Road::q12_u16:
      return create_engine<E<VEK_Q12, unsigned short>>(source, q12, in_fixed_, out_fixed_, color_type);
    case Road::double_u8:
      return create_engine<E<double, unsigned char>>(source, matrix, in_offsets, out_offsets, color_type);
    case Road::double_u16:
      return create_engine<E<double, unsigned short>>(source, matrix, in_offsets, out_offsets, color_type);
    case Road::double_float:
      return create_engine<E<double, float>>(source, matrix, in_offsets, out_offsets, color_type);
    case Road::double_double:
      return create_engine<E<double, double>>(source, matrix, in_offsets, out_offsets, color_type);
    case Road::none:
      break;
  }
  return nullptr;
}
