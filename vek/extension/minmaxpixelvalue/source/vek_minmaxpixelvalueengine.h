#pragma once
// The analysing engine behind VEK_MinMaxPixelValue: samples of type T compared as A.

#include <cstdint>
#include <cstring>
#include <limits>

#include "vek_engine.h"
#include "vek_errorhandler.h"

template <class T, class A>
class VEK_MinMaxPixelValueEngine : public VEK_AnalyzeLineEngine {
  static constexpr const char* kFile = "extension/minmaxpixelvalue/source/vek_minmaxpixelvalueengine.h";
  static constexpr uint32_t kVersion = 0x01040000u;

 public:
  using VEK_AnalyzeLineEngine::initiate;
  using VEK_AnalyzeLineEngine::VEK_AnalyzeLineEngine;
  bool analyze_line(const void* line) override;
  virtual bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, A* minimum, A* maximum);

 private:
  uint32_t samples_ = 0;
  A* minimum_ = nullptr;
  A* maximum_ = nullptr;
};

template <class T, class A>
bool VEK_MinMaxPixelValueEngine<T, A>::initiate(const VEK_Header* header, VEK_SrcBuffer* source, A* minimum,
                                                A* maximum) {
  if (!check_interface_version(kVersion)) {
    vek_report(manager_, VEK_ERROR_VERSION, "VEK_MinMaxPixelValueEngine::initiate()", kFile, 158);
    return false;
  }
  if (!VEK_AnalyzeLineEngine::initiate(header, source)) return false;
  // The data type is the overload's choice; only the layout is checked here.
  if (!header->palette().empty() || header->channels() != 1 || header->bits() != sizeof(T) * 8) {
    vek_report(manager_, VEK_ERROR_FORMAT, "VEK_MinMaxPixelValueEngine::initiate()", kFile, 168);
    return false;
  }
  if (minimum == nullptr || maximum == nullptr) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_MinMaxPixelValueEngine::initiate()", kFile, 175);
    return false;
  }
  minimum_ = minimum;
  maximum_ = maximum;
  samples_ = header->width();
  // Start values every sample replaces: the first sample becomes both extremes.
  *minimum_ = std::numeric_limits<A>::max();
  *maximum_ = std::numeric_limits<A>::lowest();
  return true;
}

template <class T, class A>
bool VEK_MinMaxPixelValueEngine<T, A>::analyze_line(const void* line) {
  const uint8_t* in = static_cast<const uint8_t*>(line);
  A low = *minimum_;
  A high = *maximum_;
  for (uint32_t i = 0; i < samples_; ++i, in += sizeof(T)) {
    T sample;
    std::memcpy(&sample, in, sizeof(T));  // lines need not be aligned for T
    const A v = static_cast<A>(sample);
    // Two strict tests, not either-or: NaN passes neither and is skipped.
    if (high < v) high = v;
    if (v < low) low = v;
  }
  *minimum_ = low;
  *maximum_ = high;
  return true;
}
