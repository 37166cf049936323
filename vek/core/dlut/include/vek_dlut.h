#pragma once
// Multi-dimensional look-up tables: a pixel of 1 to 16 channels indexes a regular grid of
// output pixels and is interpolated inside its cell by tetrahedral (simplex) interpolation.

#include <cstdint>

#include "vek_engine.h"

// The table holds grid^n x m entries of table_bits (8 or 16) each, n the source's channels and m
// the output channels. The output channel varies fastest; with slowest_first the first input
// channel varies slowest, otherwise fastest.
class VEK_DLut : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  virtual VEK_Engine* engine(VEK_Engine* source, uint16_t table_bits, uint16_t out_channels, uint16_t grid,
                             bool slowest_first, const void* table, const VEK_ColorType* color_type) = 0;
};

// 8- and 16-bit sources; color_type may be null (the source's stays).
class VEK_DLutTetrahedron : public VEK_DLut {
 public:
  using VEK_DLut::VEK_DLut;
  VEK_Engine* engine(VEK_Engine* source, uint16_t table_bits, uint16_t out_channels, uint16_t grid, bool slowest_first,
                     const void* table, const VEK_ColorType* color_type) override;
};
