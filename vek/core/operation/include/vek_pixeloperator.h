#pragma once
// Tags that pick the operator of the pixel-operation templates; engines are chosen by type.

struct VEK_PixelOperator {
  class And {};
};
