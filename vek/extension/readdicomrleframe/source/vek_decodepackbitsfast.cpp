#include "vek_errorhandler.h"
#include "vek_readdicomrleframe.h"

VEK_Engine* VEK_DecodePackBitsFast::engine(VEK_Engine* source) {
  if (!check_source(source, "VEK_DecodePackBitsFast::engine()",
                    "extension/readdicomrleframe/source/vek_decodepackbitsfast.cpp", 45))
    return nullptr;
  if (VEK_EncodeType::is_raw(source->header()->encode_type())) return source;
  return create_engine<VEK_DecodePackBitsFastEngine>(source);
}
