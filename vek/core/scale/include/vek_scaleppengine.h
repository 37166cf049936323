#pragma once
// Weighted-area scaling of unsigned 8 and 16-bit images, one direction at a time: the bases
// that check the format, the enlarging engines (at most two neighbours mixed) and the general
// reducing engines. S is the sample type, T the weight type (double or Q12).

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "vek_errorhandler.h"
#include "vek_scaleengine.h"
#include "vek_scaleppkernel.h"

namespace vek_pp {
constexpr const char* kEngineFile = "core/scale/include/vek_scaleppengine.h";
constexpr uint32_t kVersion = 0x01040000;

// Raw unsigned samples of S without a palette, and at least one channel.
template <class S>
bool supported(const VEK_Header& h) {
  return VEK_EncodeType::is_raw(h.encode_type()) && h.data_type() == VEK_DataType::u_integer &&
         h.bits() == sizeof(S) * 8 && h.palette().empty() && h.channels() != 0;
}

// n items of E through the manager; null when refused (the manager reports it) or when the
// table passes 32-bit sizes, which is out of memory too.
template <class E>
E* allocate(VEK_Manager* manager, uint64_t n) {
  const uint64_t bytes = n * sizeof(E);
  if (bytes > UINT32_MAX) {
    vek_report(manager, VEK_ERROR_MEMORY, "vek_pp::allocate()", kEngineFile, __LINE__);
    return nullptr;
  }
  return static_cast<E*>(manager->allocate(uint32_t(bytes != 0 ? bytes : 1)));
}
// Allocation and release of an engine's tables through its manager.
inline auto tables_of(VEK_Manager* manager) {
  return [manager](uint64_t bytes) -> void* { return allocate<char>(manager, bytes); };
}
inline auto freeing(VEK_Manager* manager) {
  return [manager](void* p) { manager->free(p); };
}

// One line of a width pass: the source line taken in place, fn(in, out), both released.
template <class S, class Fn>
bool width_line(VEK_SrcBuffer* src, VEK_DstBuffer* dst, uint32_t line_bytes, Fn fn) {
  const S* in = static_cast<const S*>(src->get(nullptr));
  if (in == nullptr) return false;
  S* out = static_cast<S*>(dst->get());
  if (out == nullptr) {
    src->release();
    return false;
  }
  fn(in, out);
  const bool released = src->release();
  return dst->release(line_bytes) && released;
}
}  // namespace vek_pp

template <class S, class T>
class VEK_ScaleWidthPPEngine : public VEK_ScaleWidthEngine {
 public:
  using VEK_ScaleWidthEngine::initiate;
  using VEK_ScaleWidthEngine::VEK_ScaleWidthEngine;

 protected:
  bool initiate_pp(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, uint32_t width) {
    if (!VEK_ScaleWidthEngine::initiate(header, source, destination, width)) return false;
    if (!vek_pp::supported<S>(*header)) {
      vek_report(manager_, VEK_ERROR_FORMAT, "VEK_ScaleWidthPPEngine::initiate()", vek_pp::kEngineFile, __LINE__);
      return false;
    }
    ratio_ = double(src_width_) / double(width_);
    return true;
  }

  // The typed initiate's first steps under the engine's own name: interface version, the base,
  // and the direction the engine is for (an enlarging engine would drop pixels between two
  // neighbours, a reducing one count a pixel twice).
  bool opening(const char* method, const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination,
               uint32_t width, bool reducing) {
    if (!check_interface_version(vek_pp::kVersion)) {
      vek_report(manager_, VEK_ERROR_VERSION, method, vek_pp::kEngineFile, __LINE__);
      return false;
    }
    if (!initiate_pp(header, source, destination, width)) return false;
    if (reducing ? width_ >= src_width_ : width_ < src_width_) {
      vek_report(manager_, VEK_ERROR_ARGUMENT, method, vek_pp::kEngineFile, __LINE__);
      return false;
    }
    return true;
  }

  double ratio_ = 0;
};

template <class S, class T>
class VEK_ScaleHeightPPEngine : public VEK_ScaleHeightEngine {
 public:
  using VEK_ScaleHeightEngine::initiate;
  using VEK_ScaleHeightEngine::VEK_ScaleHeightEngine;

  bool terminate() override {
    manager_->free(line_);
    line_ = nullptr;
    return VEK_ScaleHeightEngine::terminate();
  }

 protected:
  bool initiate_pp(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, uint32_t height) {
    if (!VEK_ScaleHeightEngine::initiate(header, source, destination, height)) return false;
    if (!vek_pp::supported<S>(*header)) {
      vek_report(manager_, VEK_ERROR_FORMAT, "VEK_ScaleHeightPPEngine::initiate()", vek_pp::kEngineFile, __LINE__);
      return false;
    }
    if (header->width() == 0) {
      vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_ScaleHeightPPEngine::initiate()", vek_pp::kEngineFile, __LINE__);
      return false;
    }
    length_ = line_bytes_ / uint32_t(sizeof(S));
    line_ = vek_pp::allocate<S>(manager_, length_);
    return line_ != nullptr;
  }

  // As for the width base.
  bool opening(const char* method, const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination,
               uint32_t height, bool reducing) {
    if (!check_interface_version(vek_pp::kVersion)) {
      vek_report(manager_, VEK_ERROR_VERSION, method, vek_pp::kEngineFile, __LINE__);
      return false;
    }
    if (!initiate_pp(header, source, destination, height)) return false;
    if (reducing ? height_ >= src_height_ : height_ < src_height_) {
      vek_report(manager_, VEK_ERROR_ARGUMENT, method, vek_pp::kEngineFile, __LINE__);
      return false;
    }
    return true;
  }

  // The next source line into the line buffer, counted.
  bool read_line() {
    uint32_t got = 0;
    if (!src_->get(line_, &got) || got != line_bytes_) return false;
    ++lines_taken_;
    return src_->release();
  }

  S* line_ = nullptr;
  uint32_t length_ = 0;
};

// Enlargement: each output pixel mixes the source pixel its footprint starts on with the right
// neighbour by the share of the footprint on each; the last takes the last pixel.
template <class S, class T>
class VEK_ScaleWidthPPEEngine : public VEK_ScaleWidthPPEngine<S, T> {
  using Base = VEK_ScaleWidthPPEngine<S, T>;

 public:
  using Base::Base;
  using Base::initiate;

  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, uint32_t width) override {
    if (!this->opening("VEK_ScaleWidthPPEEngine::initiate()", header, source, destination, width, false)) return false;
    const uint32_t n = this->width_, c = this->channels_, last = this->src_width_ - 1;
    index_ = vek_pp::allocate<uint32_t>(this->manager_, n);
    weight_ = index_ != nullptr ? vek_pp::allocate<T>(this->manager_, n) : nullptr;
    if (weight_ == nullptr) return false;
    double p = 0.0;
    for (uint32_t i = 0; i + 1 < n; ++i, p += this->ratio_) {
      const uint32_t j = vek_pp::whole(p, last);
      index_[i] = j * c;
      const bool straddles = j < last && double(j) != std::trunc(p + this->ratio_);
      weight_[i] = vek_pp::weight<T>(straddles ? (std::ceil(p) - p) / this->ratio_ : 1.0);
    }
    index_[n - 1] = last * c;
    weight_[n - 1] = vek_pp::weight<T>(1.0);
    return true;
  }

  bool terminate() override {
    this->manager_->free(index_);
    this->manager_->free(weight_);
    index_ = nullptr;
    weight_ = nullptr;
    return Base::terminate();
  }

  bool execute() override {
    return vek_pp::width_line<S>(this->src_, this->dst_, this->line_bytes_,
                                 [this](const S* in, S* out) { mix(in, out); });
  }

 private:
  void mix(const S* in, S* out) const {
    const uint32_t c = this->channels_;
    for (uint32_t i = 0; i < this->width_; ++i) {
      const S* a = in + index_[i];
      const auto w = vek_pp::raw(weight_[i]);
      if constexpr (std::is_same_v<T, double>) {
        if (w == 1.0)
          for (uint32_t k = 0; k < c; ++k) *out++ = a[k];
        else
          for (uint32_t k = 0; k < c; ++k) *out++ = S(int64_t(std::trunc(a[k] * w + a[c + k] * (1 - w) + 0.5)));
      } else {
        if (w == 4096)
          for (uint32_t k = 0; k < c; ++k) *out++ = a[k];
        else
          for (uint32_t k = 0; k < c; ++k) *out++ = S((int64_t(a[c + k]) * (4096 - w) + a[k] * w + 2048) >> 12);
      }
    }
  }

  uint32_t* index_ = nullptr;
  T* weight_ = nullptr;
};

// Enlargement in height: each output line is the line its footprint starts on, mixed with the
// next one where the footprint straddles them. Every source line is read once.
template <class S, class T>
class VEK_ScaleHeightPPEEngine : public VEK_ScaleHeightPPEngine<S, T> {
  using Base = VEK_ScaleHeightPPEngine<S, T>;

 public:
  using Base::Base;
  using Base::initiate;

  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, uint32_t height) override {
    return this->opening("VEK_ScaleHeightPPEEngine::initiate()", header, source, destination, height, false);
  }

  bool execute() override {
    if (this->lines_made_ >= this->height_) return false;
    S* out = static_cast<S*>(this->dst_->get());
    if (out == nullptr) return false;
    ++this->lines_made_;
    const double p = this->position_, q = p + this->step_;
    const uint32_t j = vek_pp::whole(p, this->src_height_ - 1);
    const double e = std::trunc(q);
    if (this->lines_taken_ <= j && !this->read_line()) return fail();
    std::memcpy(out, this->line_, this->line_bytes_);
    if (double(j) < e && e != q && this->lines_made_ != this->height_ && this->lines_taken_ < this->src_height_) {
      if (!this->read_line()) return fail();
      const double share = (std::ceil(p) - p) / this->step_;
      const S* b = this->line_;
      const uint32_t n = this->length_;
      if constexpr (std::is_same_v<T, double>) {
        for (uint32_t s = 0; s < n; ++s) out[s] = S(int64_t(std::trunc(out[s] * share + b[s] * (1 - share) + 0.5)));
      } else {
        const int64_t w = round_to_fixed(share).raw();
        for (uint32_t s = 0; s < n; ++s) out[s] = S((int64_t(b[s]) * (4096 - w) + 2048 + out[s] * w) >> 12);
      }
    }
    this->position_ = q;
    return this->dst_->release(this->line_bytes_);
  }

 private:
  bool fail() {
    this->dst_->release(0);
    return false;
  }
};

// General reduction by a ratio that is not whole: tables built once, sums per line.
template <class S, class T>
class VEK_ScaleWidthPPREngine : public VEK_ScaleWidthPPEngine<S, T> {
  using Base = VEK_ScaleWidthPPEngine<S, T>;

 public:
  using Base::Base;
  using Base::initiate;

  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, uint32_t width) override {
    if (!this->opening("VEK_ScaleWidthPPREngine::initiate()", header, source, destination, width, true)) return false;
    return tables_.build(vek_pp::tables_of(this->manager_), this->src_width_, this->width_, this->channels_,
                         this->ratio_);
  }

  bool terminate() override {
    tables_.release(vek_pp::freeing(this->manager_));
    return Base::terminate();
  }

  bool execute() override {
    return vek_pp::width_line<S>(this->src_, this->dst_, this->line_bytes_, [this](const S* in, S* out) {
      tables_.line(in, out, this->width_, this->channels_, this->ratio_);
    });
  }

 private:
  vek_pp::WidthReduction<S, T> tables_;
};

// General reduction in height: one line buffer and one accumulator line; each source line is
// read once, the line cut by a footprint's end kept for the next output line.
template <class S, class T>
class VEK_ScaleHeightPPREngine : public VEK_ScaleHeightPPEngine<S, T> {
  using Base = VEK_ScaleHeightPPEngine<S, T>;

 public:
  using Base::Base;
  using Base::initiate;

  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, uint32_t height) override {
    if (!this->opening("VEK_ScaleHeightPPREngine::initiate()", header, source, destination, height, true)) return false;
    return sums_.build(vek_pp::tables_of(this->manager_), this->length_, this->step_);
  }

  bool terminate() override {
    sums_.release(vek_pp::freeing(this->manager_));
    return Base::terminate();
  }

  bool execute() override {
    if (this->lines_made_ >= this->height_) return false;
    S* out = static_cast<S*>(this->dst_->get());
    if (out == nullptr) return false;
    ++this->lines_made_;
    if (!sums_.line(this->position_, this->step_, this->src_height_, this->lines_taken_, this->line_, this->length_,
                    out, [this] { return this->read_line(); })) {
      this->dst_->release(0);
      return false;
    }
    this->position_ += this->step_;
    return this->dst_->release(this->line_bytes_);
  }

 private:
  vek_pp::HeightReduction<S, T> sums_;
};
