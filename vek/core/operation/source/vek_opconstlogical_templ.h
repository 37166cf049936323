#pragma once

#include <type_traits>

#include "vek_errorhandler.h"
#include "vek_opconstengine_templ.h"
#include "vek_opconstlogical.h"

template <class Op>
VEK_Engine* VEK_OpConstLogical<Op>::engine(VEK_Engine* source, uint32_t constant) {
  static_assert(std::is_same_v<Op, VEK_PixelOperator::And>, "only AND has engines");
  static constexpr const char* kFile = "core/operation/source/vek_opconstlogical_templ.h";
  if (!check_source(source, "VEK_OpConstLogical::engine()", kFile, __LINE__)) return nullptr;
  const uint16_t bits = source->header()->bits();
  if ((bits == 8 && constant == 0xFFu) || (bits == 16 && constant == 0xFFFFu)) return source;
  if (bits == 8) {
    if (constant > 0xFFu) {
      vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_OpConstLogical::engine()", kFile, __LINE__);
      return nullptr;
    }
    return create_engine<VEK_OpConstEngine<Op, unsigned char>>(source, static_cast<unsigned char>(constant));
  }
  // Every other depth goes to the 16-bit engine, whose initiate refuses what is not 16 bits.
  if (constant > 0xFFFFu) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_OpConstLogical::engine()", kFile, __LINE__);
    return nullptr;
  }
  return create_engine<VEK_OpConstEngine<Op, unsigned short>>(source, static_cast<unsigned short>(constant));
}
