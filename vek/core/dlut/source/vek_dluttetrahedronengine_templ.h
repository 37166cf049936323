#pragma once
// Tetrahedral interpolation: the cell's corners are visited adding one dimension at a time in
// the order of falling fractions, weighted by the differences of those fractions. 8-bit samples
// take integer weights with 14 fraction bits, 16-bit samples double weights.

#include <cmath>
#include <cstdint>
#include <type_traits>

#include "vek_dlutengine.h"
#include "vek_errorhandler.h"

template <class T, class W>
class VEK_DLutTetrahedronEngine : public VEK_DLutEngine {
  static_assert((std::is_same_v<T, unsigned char> && std::is_same_v<W, unsigned int>) ||
                    (std::is_same_v<T, unsigned short> && std::is_same_v<W, double>),
                "8-bit samples with integer weights, 16-bit samples with double weights");
  static constexpr bool kInteger = std::is_integral_v<W>;
  static constexpr uint16_t kShift = kInteger ? 14 : 0;
  static constexpr W kOne = kInteger ? W(1u << 14) : W(1);
  static constexpr W kHalf = kInteger ? W(1u << 13) : W(0.5);

 public:
  using VEK_DLutEngine::initiate;
  using VEK_DLutEngine::VEK_DLutEngine;
  ~VEK_DLutTetrahedronEngine() override { release(); }

  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, uint16_t table_bits,
                uint16_t out_channels, uint16_t grid, bool slowest_first, const void* table,
                const VEK_ColorType* color_type) override {
    if (!check_interface_version(VEK_INTERFACE_VERSION)) {
      vek_report(manager_, VEK_ERROR_VERSION, "VEK_DLutTetrahedronEngine::initiate()",
                 "core/dlut/source/vek_dluttetrahedronengine_templ.h", __LINE__);
      return false;
    }
    if (!VEK_DLutEngine::initiate(header, source, destination, table_bits, out_channels, grid, slowest_first, table,
                                  color_type))
      return false;
    // Only the source's own width fits the value arrays.
    if (header->bits() != sizeof(T) * 8) return false;
    fraction_ = static_cast<W*>(manager_->allocate((max_ + 1) * sizeof(W)));
    if (fraction_ == nullptr) return false;
    for (uint32_t v = 0; v < max_; ++v) {
      const double x = v * scale_;
      index_[v] = uint32_t(std::floor(x));
      const double f = x - index_[v];
      fraction_[v] = kInteger ? W(f * 16384.0 + 0.5) : W(f);
    }
    // The top value sits on the far corner of the last cell, never past the grid.
    index_[max_] = grid_ - 2;
    fraction_[max_] = kOne;
    return true;
  }

  bool terminate() override {
    release();
    return VEK_DLutEngine::terminate();
  }

  bool process_line(const void* source_line, void* destination_line) override {
    const T* in = static_cast<const T*>(source_line);
    T* out = static_cast<T*>(destination_line);
    const uint32_t n = in_channels_, m = out_channels_;
    const uint32_t width = out_header_.width();
    if (n == 3) {
      if (m == 3)
        line3<3>(in, out, width);
      else
        line3<0>(in, out, width);
      return true;
    }
    for (uint32_t x = 0; x < width; ++x, in += n, out += m) {
      uint32_t corner[kMaxChannels + 1];
      W weight[kMaxChannels + 1];
      order(in, n, corner, weight);
      for (uint32_t c = 0; c < m; ++c) out[c] = interpolate(corner, weight, n + 1, c);
    }
    return true;
  }

 private:
  // acc = half + sum_k table[P_k + c] x W_k, then the shift or the truncation, at most max.
  T interpolate(const uint32_t* corner, const W* weight, uint32_t count, uint32_t c) const {
    const T* table = static_cast<const T*>(table_);
    W acc = kHalf;
    for (uint32_t k = 0; k < count; ++k) acc += W(table[corner[k] + c]) * weight[k];
    if constexpr (kInteger) {
      const W r = acc >> kShift;
      return T(r > max_ ? max_ : r);
    } else {
      return T(acc < double(max_) ? acc : double(max_));
    }
  }

  // Three input channels, the colour case: a fixed comparison tree, and M output channels
  // unrolled when M is given (0: the engine's own count).
  template <uint32_t M>
  void line3(const T* __restrict in, T* __restrict out, uint32_t width) const {
    const uint32_t m = M != 0 ? M : out_channels_;
    for (uint32_t x = 0; x < width; ++x, in += 3, out += m) {
      uint32_t corner[4];
      W weight[4];
      order3(in, corner, weight);
      for (uint32_t c = 0; c < m; ++c) {
        const T* table = static_cast<const T*>(table_);
        W acc = kHalf + W(table[corner[0] + c]) * weight[0];
        acc += W(table[corner[1] + c]) * weight[1];
        acc += W(table[corner[2] + c]) * weight[2];
        acc += W(table[corner[3] + c]) * weight[3];
        if constexpr (kInteger) {
          const W r = acc >> kShift;
          out[c] = T(r > max_ ? max_ : r);
        } else {
          out[c] = T(acc < double(max_) ? acc : double(max_));
        }
      }
    }
  }

  // Corners P_0 .. P_n and weights W_0 .. W_n of one pixel; the count is n + 1.
  uint32_t order(const T* in, uint32_t n, uint32_t* corner, W* weight) const {
    uint16_t dim[kMaxChannels] = {};
    W f[kMaxChannels] = {};
    uint32_t base = 0;
    // Insertion by falling fraction; an entry moves only past strictly smaller ones, so ties keep
    // the lower dimension first.
    for (uint32_t k = 0; k < n; ++k) {
      base += strides_[k] * index_[in[k]];
      const W fk = fraction_[in[k]];
      uint32_t at = k;
      while (at > 0 && f[at - 1] < fk) {
        f[at] = f[at - 1];
        dim[at] = dim[at - 1];
        --at;
      }
      f[at] = fk;
      dim[at] = uint16_t(k);
    }
    corner[0] = base;
    weight[0] = kOne - f[0];
    for (uint32_t k = 1; k <= n; ++k) {
      corner[k] = corner[k - 1] + strides_[dim[k - 1]];
      weight[k] = k < n ? f[k - 1] - f[k] : f[n - 1];
    }
    return n + 1;
  }

  // The same for three channels with a fixed comparison tree.
  uint32_t order3(const T* in, uint32_t* corner, W* weight) const {
    const W f0 = fraction_[in[0]], f1 = fraction_[in[1]], f2 = fraction_[in[2]];
    const uint32_t s0 = strides_[0], s1 = strides_[1], s2 = strides_[2];
    uint32_t a, b, c;  // strides in falling order
    W fa, fb, fc;
    if (f0 >= f1) {
      if (f1 >= f2) {
        a = s0, b = s1, c = s2, fa = f0, fb = f1, fc = f2;
      } else if (f0 >= f2) {
        a = s0, b = s2, c = s1, fa = f0, fb = f2, fc = f1;
      } else {
        a = s2, b = s0, c = s1, fa = f2, fb = f0, fc = f1;
      }
    } else if (f0 >= f2) {
      a = s1, b = s0, c = s2, fa = f1, fb = f0, fc = f2;
    } else if (f1 >= f2) {
      a = s1, b = s2, c = s0, fa = f1, fb = f2, fc = f0;
    } else {
      a = s2, b = s1, c = s0, fa = f2, fb = f1, fc = f0;
    }
    corner[0] = s0 * index_[in[0]] + s1 * index_[in[1]] + s2 * index_[in[2]];
    corner[1] = corner[0] + a;
    corner[2] = corner[1] + b;
    corner[3] = corner[2] + c;
    weight[0] = kOne - fa;
    weight[1] = fa - fb;
    weight[2] = fb - fc;
    weight[3] = fc;
    return 4;
  }

  void release() {
    manager_->free(fraction_);
    fraction_ = nullptr;
  }

  W* fraction_ = nullptr;  // of every value 0 .. max
};
