#include "vek_and.h"

#include "vek_opconstlogical.h"

VEK_Engine* VEK_And::engine(VEK_Engine* source, uint32_t constant) {
  VEK_OpConstLogical<VEK_PixelOperator::And> logical(manager_);
  return logical.engine(source, constant);
}
