#include "vek_engine.h"
#include "vek_errorhandler.h"

VEK_Engine* VEK_RewriteHeader::engine(VEK_Engine* source, const VEK_Header* new_header) {
  if (source == nullptr) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_RewriteHeader::engine()",
               "framework/engine/source/vek_rewriteheader.cpp", 55);
    return nullptr;
  }
  return create_engine<VEK_RewriteHeaderEngine>(source, new_header);
}
