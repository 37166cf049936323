#include "vek_applypalette.h"
#include "vek_applypalette8xnbitsengine_templ.h"

// Index depths other than 8 go to the 16-bit engines, which refuse what is not 16 bits.
VEK_Engine* VEK_ApplyPalette8xNBits::engine(VEK_Engine* source) {
  if (!check_source(source, "VEK_ApplyPalette8xNBits::engine()", "core/applypalette/source/vek_applypalette8xnbits.cpp",
                    51))
    return nullptr;
  const VEK_Header* header = source->header();
  if (header->palette().empty()) return source;
  const bool byte_entries = header->palette().bits() == 8;
  if (header->bits() == 8)
    return byte_entries ? create_engine<VEK_ApplyPalette8xNBitsEngine<unsigned char, unsigned char>>(source)
                        : create_engine<VEK_ApplyPalette8xNBitsEngine<unsigned char, unsigned short>>(source);
  return byte_entries ? create_engine<VEK_ApplyPalette8xNBitsEngine<unsigned short, unsigned char>>(source)
                      : create_engine<VEK_ApplyPalette8xNBitsEngine<unsigned short, unsigned short>>(source);
}
