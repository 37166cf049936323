#include "vek_not.h"

#include "vek_opnotengine.h"

VEK_Engine* VEK_Not::engine(VEK_Engine* source) {
  if (!check_source(source, "VEK_Not::engine()", "core/operation/source/vek_not.cpp", 47)) return nullptr;
  // Run-length sources have no engine of their own yet; the line engine refuses them.
  return create_engine<VEK_OpNotEngine>(source);
}
