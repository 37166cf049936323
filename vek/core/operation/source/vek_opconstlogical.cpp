#include "vek_opconstlogical_templ.h"

template class VEK_OpConstLogical<VEK_PixelOperator::And>;
