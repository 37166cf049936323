#include "vek_and.h"

#include "vek_opconstlogical.h"
#include "vek_oppixels.h"

VEK_Engine* VEK_And::engine(VEK_Engine* source, uint32_t constant) {
  VEK_OpConstLogical<VEK_PixelOperator::And> logical(manager_);
  return logical.engine(source, constant);
}

VEK_Engine* VEK_And::engine(VEK_Engine* first, VEK_Engine* second, int32_t x, int32_t y) {
  VEK_OpPixelsUnMasked<VEK_PixelOperator::And> pixels(manager_);
  return pixels.engine(first, second, x, y);
}
