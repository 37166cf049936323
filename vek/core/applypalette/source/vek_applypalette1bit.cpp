#include "vek_applypalette.h"
#include "vek_applypalette1bitengine_templ.h"

VEK_Engine* VEK_ApplyPalette1Bit::engine(VEK_Engine* source) {
  if (!check_source(source, "VEK_ApplyPalette1Bit::engine()", "core/applypalette/source/vek_applypalette1bit.cpp", 50))
    return nullptr;
  const VEK_Header::VEK_Palette& palette = source->header()->palette();
  if (palette.empty()) return source;
  if (palette.bits() == 8) return create_engine<VEK_ApplyPalette1BitEngine<unsigned char>>(source);
  return create_engine<VEK_ApplyPalette1BitEngine<unsigned short>>(source);
}
