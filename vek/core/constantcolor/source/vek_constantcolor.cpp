#include "vek_constantcolor.h"

VEK_Engine* VEK_ConstantColor::engine(const VEK_Header& header, const VEK_Vector<double>& color) {
  VEK_ConstantColorRaw raw(manager_);
  return raw.engine(header, color);
}

VEK_Engine* VEK_ConstantColor::engine(const VEK_Header& header, const VEK_Vector<float>& color) {
  VEK_ConstantColorRaw raw(manager_);
  return raw.engine(header, color);
}

VEK_Engine* VEK_ConstantColor::engine(const VEK_Header& header, const VEK_Vector<unsigned int>& color) {
  VEK_ConstantColorRaw raw(manager_);
  return raw.engine(header, color);
}

VEK_Engine* VEK_ConstantColor::engine(const VEK_Header& header, const VEK_Vector<int>& color) {
  VEK_ConstantColorRaw raw(manager_);
  return raw.engine(header, color);
}
