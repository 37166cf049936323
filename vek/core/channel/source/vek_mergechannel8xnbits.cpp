#include "vek_errorhandler.h"
#include "vek_mergechannel.h"
#include "vek_mergechannel8xnbitsengine_templ.h"

namespace {
constexpr const char* kFile = "core/channel/source/vek_mergechannel8xnbits.cpp";
constexpr const char* kMethod = "VEK_MergeChannel8xNbits::engine()";
}  // namespace

VEK_Engine* VEK_MergeChannel8xNbits::engine(const VEK_Vector<VEK_Engine*>& engines, const VEK_ColorType* color_type) {
  return merge(engines, color_type, kMethod, kFile, __LINE__, [&](const VEK_Header* last) -> VEK_MergeChannelEngine* {
    const VEK_DataType* type = last->data_type();
    const bool u = type == VEK_DataType::u_integer, s = type == VEK_DataType::s_integer;
    switch (last->bits()) {
      case 8:
        if (u) return vek_new<VEK_MergeChannel8xNbitsEngine<unsigned char>>(manager_);
        if (s) return vek_new<VEK_MergeChannel8xNbitsEngine<char>>(manager_);
        break;
      case 16:
        if (u) return vek_new<VEK_MergeChannel8xNbitsEngine<unsigned short>>(manager_);
        if (s) return vek_new<VEK_MergeChannel8xNbitsEngine<short>>(manager_);
        break;
      case 32:
        if (u) return vek_new<VEK_MergeChannel8xNbitsEngine<unsigned int>>(manager_);
        if (s) return vek_new<VEK_MergeChannel8xNbitsEngine<int>>(manager_);
        if (type == VEK_DataType::floating) return vek_new<VEK_MergeChannel8xNbitsEngine<float>>(manager_);
        break;
      default:
        return vek_new<VEK_MergeChannel8xNbitsEngine<double>>(manager_);
    }
    // A sample kind without an engine is a refusal like any other, not a silent null.
    vek_report(manager_, VEK_ERROR_FORMAT, kMethod, kFile, __LINE__);
    return nullptr;
  });
}
