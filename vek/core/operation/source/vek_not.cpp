#include "vek_not.h"

#include "vek_notqkrle.h"
#include "vek_opnotengine.h"

VEK_Engine* VEK_Not::engine(VEK_Engine* source) {
  if (!check_source(source, "VEK_Not::engine()", "core/operation/source/vek_not.cpp", 47)) return nullptr;
  if (source->header()->encode_type() == VEK_EncodeType_qk_rle::instance())
    return VEK_NotQKRLE(manager_).engine(source);
  return create_engine<VEK_OpNotEngine>(source);
}
