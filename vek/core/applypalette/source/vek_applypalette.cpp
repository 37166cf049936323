#include "vek_applypalette.h"

VEK_Engine* VEK_ApplyPalette::engine(VEK_Engine* source) {
  if (!check_source(source, "VEK_ApplyPalette::engine()", "core/applypalette/source/vek_applypalette.cpp", 46))
    return nullptr;
  if (source->header()->bits() == 1) return VEK_ApplyPalette1Bit(manager_).engine(source);
  return VEK_ApplyPalette8xNBits(manager_).engine(source);
}
