#pragma once
// Tags that pick the operator of the pixel-operation templates; engines are chosen by type.

struct VEK_PixelOperator {
  class Add {};
  class Sub {};
  class Multiply {};
  // d x p / 4294967295 on unsigned 32-bit samples, truncated.
  class MultiplyWithNormalization {};
  class And {};
  class Overwrite {};
  // Named by the type tests only; no engine computes them.
  class Or {};
  class Xor {};
};
