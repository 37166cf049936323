#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "vek_fixedreal.h"
#include "vek_matrix.h"
#include "vek_test_ops.h"

namespace {

using Q12 = VEK_FixedRealImpl<int, 12>;

Q12 raw(int32_t r) { return Q12::from_raw(r); }

// The product from 16-bit halves in 32-bit unsigned arithmetic, as the colour engines once did.
int32_t halves_product(int32_t a, int32_t b) {
  const uint32_t a_hi = uint32_t(a >> 16), a_lo = uint32_t(a) & 0xFFFFu;
  const uint32_t b_hi = uint32_t(b >> 16), b_lo = uint32_t(b) & 0xFFFFu;
  return int32_t(((uint32_t(a) * b_hi + b_lo * a_hi) << 4) + ((a_lo * b_lo) >> 12));
}

}  // namespace

TEST(Q12, FromDoubleTruncatesTowardZero) {
  EXPECT_EQ(Q12(0.299).raw(), 1224);
  EXPECT_EQ(Q12(-0.5).raw(), -2048);
  EXPECT_EQ(Q12(-0.0001).raw(), 0);
  EXPECT_EQ(Q12(1.0).raw(), 4096);
  EXPECT_EQ(Q12(1.402).raw(), 5742);
  EXPECT_EQ(Q12(-0.3441).raw(), -1409);
  EXPECT_EQ(Q12::from_int(3).raw(), 3 * 4096);
  EXPECT_EQ(Q12::from_int(-2).raw(), -2 * 4096);
  EXPECT_EQ(raw(-1409).to_double(), -1409.0 / 4096.0);
}

TEST(Q12, FromDoubleSaturatesOutsideTheRangeAndNaNIsZero) {
  EXPECT_EQ(Q12(std::numeric_limits<double>::quiet_NaN()).raw(), 0);
  EXPECT_EQ(Q12(1e10).raw(), INT32_MAX);
  EXPECT_EQ(Q12(-1e10).raw(), INT32_MIN);
  EXPECT_EQ(Q12(std::numeric_limits<double>::infinity()).raw(), INT32_MAX);
  EXPECT_EQ(Q12(-std::numeric_limits<double>::infinity()).raw(), INT32_MIN);
  EXPECT_EQ(Q12(524287.99).raw(), 2147483607);
  EXPECT_EQ(Q12(-524288.0).raw(), INT32_MIN);
}

TEST(Q12, ProductsFloorAndRoundingBackHalvesUp) {
  EXPECT_EQ((raw(-3) * raw(5)).raw(), -1);
  EXPECT_EQ(raw(2047).to_int(), 0);
  EXPECT_EQ(raw(2048).to_int(), 1);
  EXPECT_EQ(raw(6143).to_int(), 1);
  EXPECT_EQ(raw(6144).to_int(), 2);
  EXPECT_EQ(raw(-2048).to_int(), 0);
  EXPECT_EQ(raw(-2049).to_int(), -1);
  // Near the top, raw + 2048 would overflow 32 bits.
  EXPECT_EQ(raw(INT32_MAX).to_int(), 524288);
  EXPECT_EQ(raw(INT32_MIN).to_int(), -524288);
}

TEST(Q12, SumsAndSampleProductsWrap) {
  EXPECT_EQ((raw(INT32_MAX) + raw(1)).raw(), INT32_MIN);
  Q12 sum = raw(INT32_MIN);
  sum += raw(-1);
  EXPECT_EQ(sum.raw(), INT32_MAX);
  EXPECT_EQ((raw(1224) * 255).raw(), 1224 * 255);
  EXPECT_EQ((raw(INT32_MAX) * 2).raw(), -2);
  EXPECT_EQ((raw(INT32_MIN) * -1).raw(), INT32_MIN);
}

TEST(Q12, ProductIsTheLow32BitsOfTheFlooredExactProduct) {
  std::mt19937 rng(110);
  std::uniform_int_distribution<int32_t> any(INT32_MIN, INT32_MAX);
  std::uniform_int_distribution<int32_t> small(-70000, 70000);
  const int32_t edges[] = {INT32_MIN, INT32_MAX, INT32_MIN + 1, -1, 0, 1, 4096, -4096, 65535, -65536};
  for (int i = 0; i < 1000000; ++i) {
    int32_t a, b;
    if (i < 100) {
      a = edges[i % 10];
      b = edges[i / 10];
    } else {
      a = i % 3 == 0 ? small(rng) : any(rng);
      b = i % 5 == 0 ? small(rng) : any(rng);
    }
    const int32_t want = int32_t(uint32_t(uint64_t((int64_t(a) * b) >> 12)));
    const int32_t got = (raw(a) * raw(b)).raw();
    ASSERT_EQ(got, want) << a << " * " << b;
    ASSERT_EQ(got, halves_product(a, b)) << a << " * " << b;
  }
}

TEST(Matrix, ResizeToTheSameCountKeepsTheArrayAndItsValues) {
  VEK_TestManager m;
  {
    VEK_Matrix<double> mat(&m);
    EXPECT_EQ(mat.rows(), 0u);
    EXPECT_EQ(mat.get(0, 0), 0.0);
    ASSERT_TRUE(mat.resize(3, 4));
    mat.clear();
    for (uint32_t i = 0; i < 12; ++i) EXPECT_TRUE(mat.set(i / 4, i % 4, i + 0.5));
    const uint64_t before = m.memory_manager().allocations();
    const std::pair<uint32_t, uint32_t> shapes[] = {{4, 3}, {2, 6}};
    for (auto [r, c] : shapes) {
      ASSERT_TRUE(mat.resize(r, c));
      EXPECT_EQ(mat.rows(), r);
      EXPECT_EQ(mat.cols(), c);
      for (uint32_t i = 0; i < 12; ++i) EXPECT_EQ(mat.get(i / c, i % c), i + 0.5);
    }
    EXPECT_EQ(m.memory_manager().allocations(), before);
    ASSERT_TRUE(mat.resize(3, 3));
    EXPECT_EQ(m.memory_manager().allocations(), before + 1);
    mat.clear();
    EXPECT_EQ(mat.get(2, 2), 0.0);
  }
  expect_clean_end(m);
}

TEST(Matrix, OutsideReadsZeroAndIgnoresWrites) {
  VEK_TestManager m;
  {
    VEK_Matrix<Q12> mat(&m);
    EXPECT_FALSE(mat.set(0, 0, raw(5)));
    ASSERT_TRUE(mat.resize(2, 3));
    mat.clear();
    for (uint32_t i = 0; i < 6; ++i) mat.set(i / 3, i % 3, raw(int32_t(i) + 1));
    EXPECT_FALSE(mat.set(2, 0, raw(99)));
    EXPECT_FALSE(mat.set(0, 3, raw(99)));
    EXPECT_EQ(mat.get(2, 0), raw(0));
    EXPECT_EQ(mat.get(0, 3), raw(0));
    for (uint32_t i = 0; i < 6; ++i) EXPECT_EQ(mat.get(i / 3, i % 3), raw(int32_t(i) + 1));
  }
  expect_clean_end(m);
}

TEST(Matrix, FailedResizeReadsZerosUntilTheNextResize) {
  VEK_TestManager m;
  {
    VEK_Matrix<double> mat(&m);
    ASSERT_TRUE(mat.resize(2, 2));
    mat.clear();
    mat.set(1, 1, 7.0);
    m.memory_manager().fail_nth(1);
    EXPECT_FALSE(mat.resize(3, 3));
    EXPECT_EQ(m.status().full_code(), 0x80010000u);
    m.clear();
    EXPECT_EQ(mat.rows(), 2u);
    EXPECT_EQ(mat.cols(), 2u);
    mat.clear();  // no array: writes nothing
    EXPECT_FALSE(mat.set(1, 1, 1.0));
    EXPECT_EQ(mat.get(1, 1), 0.0);
    // The same shape again is a new array, not the lost one.
    ASSERT_TRUE(mat.resize(2, 2));
    mat.clear();
    EXPECT_EQ(mat.get(1, 1), 0.0);
  }
  expect_clean_end(m);
}

TEST(Matrix, RefusesAnArrayOf2To32BytesOrMore) {
  VEK_TestManager m;
  {
    VEK_Matrix<Q12> q(&m);
    VEK_Matrix<double> d(&m);
    ASSERT_TRUE(q.resize(2, 2));
    const uint64_t before = m.memory_manager().allocations();
    EXPECT_FALSE(q.resize(32768, 32768));  // 2^32 bytes would wrap to 0
    EXPECT_REPORT(m, 0x80800000u, "VEK_Matrix<T>::resize()", m.status().line());
    EXPECT_FALSE(d.resize(0x10000, 0x10001));
    EXPECT_REPORT(m, 0x80800000u, "VEK_Matrix<T>::resize()", m.status().line());
    EXPECT_EQ(m.memory_manager().allocations(), before);
    q.clear();
    EXPECT_EQ(q.get(0, 0), raw(0));
  }
  expect_clean_end(m);
}
