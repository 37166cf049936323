#include "vek_dlut.h"
#include "vek_dluttetrahedronengine_templ.h"
#include "vek_errorhandler.h"

VEK_Engine* VEK_DLutTetrahedron::engine(VEK_Engine* source, uint16_t table_bits, uint16_t out_channels, uint16_t grid,
                                        bool slowest_first, const void* table, const VEK_ColorType* color_type) {
  constexpr const char* kMethod = "VEK_DLutTetrahedron::engine()";
  constexpr const char* kFile = "core/dlut/source/vek_dluttetrahedron.cpp";
  if (!check_source(source, kMethod, kFile, __LINE__)) return nullptr;
  switch (source->header()->bits()) {
    case 8:
      return create_engine<VEK_DLutTetrahedronEngine<unsigned char, unsigned int>>(
          source, table_bits, out_channels, grid, slowest_first, table, color_type);
    case 16:
      return create_engine<VEK_DLutTetrahedronEngine<unsigned short, double>>(source, table_bits, out_channels, grid,
                                                                              slowest_first, table, color_type);
    default:
      vek_report(manager_, VEK_ERROR_FORMAT, kMethod, kFile, __LINE__);
      return nullptr;
  }
}
