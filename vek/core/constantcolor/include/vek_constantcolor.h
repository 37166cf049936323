#pragma once
// Generators without a source: an image of a given header whose every pixel is one colour.

#include <cstdint>

#include "vek_engine.h"
#include "vek_header.h"
#include "vek_vector.h"

// The colour holds at least one value per channel; values past the channel count are ignored.
class VEK_ConstantColor : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(const VEK_Header& header, const VEK_Vector<double>& color);
  VEK_Engine* engine(const VEK_Header& header, const VEK_Vector<float>& color);
  VEK_Engine* engine(const VEK_Header& header, const VEK_Vector<unsigned int>& color);
  VEK_Engine* engine(const VEK_Header& header, const VEK_Vector<int>& color);
};

// Checks the values against the header's bit depth and picks the engine of its sample type.
class VEK_ConstantColorRaw : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(const VEK_Header& header, const VEK_Vector<double>& color);
  VEK_Engine* engine(const VEK_Header& header, const VEK_Vector<float>& color);
  VEK_Engine* engine(const VEK_Header& header, const VEK_Vector<unsigned int>& color);
  VEK_Engine* engine(const VEK_Header& header, const VEK_Vector<int>& color);

 private:
  template <class T, class S>
  VEK_Engine* narrowed(const VEK_Header& header, const VEK_Vector<S>& color, uint32_t line);
};
