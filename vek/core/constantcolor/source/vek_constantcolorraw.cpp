#include <utility>

#include "vek_constantcolor.h"
#include "vek_constantcolorraw1engine_templ.h"
#include "vek_constantcolorraw8xnbitsengine_templ.h"
#include "vek_errorhandler.h"

namespace {
constexpr const char* kFile = "core/constantcolor/source/vek_constantcolorraw.cpp";
}

// Every value is checked, not only the first channels' ones, before any is narrowed.
template <class T, class S>
VEK_Engine* VEK_ConstantColorRaw::narrowed(const VEK_Header& header, const VEK_Vector<S>& color, uint32_t line) {
  for (const S& value : color) {
    if (!std::in_range<T>(value)) {
      vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_ConstantColorRaw::engine()", kFile, line);
      return nullptr;
    }
  }
  VEK_Vector<T> narrow(manager_);
  if (!narrow.resize(color.size())) return nullptr;
  for (uint32_t i = 0; i < color.size(); ++i) narrow[i] = static_cast<T>(color[i]);
  return create_generator<VEK_ConstantColorRaw8xNBitsEngine<T>>(&header, narrow);
}

VEK_Engine* VEK_ConstantColorRaw::engine(const VEK_Header& header, const VEK_Vector<double>& color) {
  return create_generator<VEK_ConstantColorRaw8xNBitsEngine<double>>(&header, color);
}

VEK_Engine* VEK_ConstantColorRaw::engine(const VEK_Header& header, const VEK_Vector<float>& color) {
  return create_generator<VEK_ConstantColorRaw8xNBitsEngine<float>>(&header, color);
}

VEK_Engine* VEK_ConstantColorRaw::engine(const VEK_Header& header, const VEK_Vector<unsigned int>& color) {
  switch (header.bits()) {
    case 1:
      return create_generator<VEK_ConstantColorRaw1Engine<unsigned int>>(&header, color);
    case 8:
      return narrowed<unsigned char>(header, color, 180);
    case 16:
      return narrowed<unsigned short>(header, color, 180);
    // The engine's initiate refuses what is not 32 bits.
    default:
      return create_generator<VEK_ConstantColorRaw8xNBitsEngine<unsigned int>>(&header, color);
  }
}

VEK_Engine* VEK_ConstantColorRaw::engine(const VEK_Header& header, const VEK_Vector<int>& color) {
  switch (header.bits()) {
    case 8:
      return narrowed<signed char>(header, color, __LINE__);
    case 16:
      return narrowed<short>(header, color, __LINE__);
    default:
      return create_generator<VEK_ConstantColorRaw8xNBitsEngine<int>>(&header, color);
  }
}
