#include "vek_notqkrle.h"

#include "vek_errorhandler.h"
#include "vek_notqkrleengine.h"

VEK_Engine* VEK_NotQKRLE::engine(VEK_Engine* source) {
  constexpr const char* kFile = "core/operation/source/vek_notqkrle.cpp";
  if (!check_source(source, "VEK_NotQKRLE::engine()", kFile, __LINE__)) return nullptr;
  // Width 0 has no last column to invert up to.
  if (source->header()->width() == 0 || source->header()->height() == 0) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_NotQKRLE::engine()", kFile, __LINE__);
    return nullptr;
  }
  return create_engine<VEK_NotQKRLEEngine>(source);
}
