#include <gtest/gtest.h>

#include <limits>

#include "vek_minmaxpixelvalue.h"
#include "vek_test_samples.h"

namespace {

// The extremes the overload for A finds in samples of T, two to a line.
template <class T, class A>
void expect_extremes(const VEK_DataType* type, const std::vector<T>& samples, A low, A high) {
  VEK_TestManager m;
  VEK_Header h(&m);
  make(h, 2, uint32_t(samples.size() / 2), sizeof(T) * 8, 1, type);
  A minimum = 1, maximum = 1;
  VEK_MinMaxPixelValue op(&m);
  VEK_Engine* e = op.engine(read_samples(m, h, samples), &minimum, &maximum);
  ASSERT_NE(e, nullptr);
  run(e);
  EXPECT_EQ(minimum, low);
  EXPECT_EQ(maximum, high);
  expect_clean_end(m);
}

}  // namespace

TEST(MinMaxPixelValue, StartValuesUntilTheRunThenTheExtremes) {
  VEK_TestManager m;
  VEK_Header h(&m);
  make(h, 3, 2, 8, 1);
  const std::vector<uint8_t> samples{7, 200, 3, 9, 100, 50};
  unsigned minimum = 1, maximum = 1;
  VEK_MinMaxPixelValue op(&m);
  VEK_Engine* e = op.engine(read_samples(m, h, samples), &minimum, &maximum);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(minimum, 0xFFFFFFFFu);
  EXPECT_EQ(maximum, 0u);
  run(e);
  EXPECT_EQ(minimum, 3u);
  EXPECT_EQ(maximum, 200u);
  expect_clean_end(m);
}

TEST(MinMaxPixelValue, EachSampleTypeComparesInItsOwnSignedness) {
  const VEK_DataType *u = VEK_DataType::u_integer, *s = VEK_DataType::s_integer, *f = VEK_DataType::floating;
  expect_extremes<uint16_t, unsigned>(u, {40000, 7, 65535, 300}, 7u, 65535u);
  expect_extremes<uint32_t, unsigned>(u, {0xFFFFFFFFu, 5, 0x80000000u, 6}, 5u, 0xFFFFFFFFu);
  expect_extremes<int8_t, int>(s, {-128, 5, 127, -1}, -128, 127);
  expect_extremes<int16_t, int>(s, {-5, 100}, -5, 100);
  expect_extremes<int32_t, int>(s, {INT32_MIN, 0, INT32_MAX, -7}, INT32_MIN, INT32_MAX);
  expect_extremes<double, double>(f, {-1e300, 2.5}, -1e300, 2.5);
  // NaN passes neither test, wherever it lies; only NaN leaves the start values.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  expect_extremes<float, float>(f, {nan, 1.5f, -2.0f, nan}, -2.0f, 1.5f);
  expect_extremes<float, float>(f, {nan, nan}, std::numeric_limits<float>::max(), -std::numeric_limits<float>::max());
}

TEST(MinMaxPixelValue, RefusesWrongOverloadsLayoutsAndMissingVariables) {
  VEK_TestManager m;
  VEK_MinMaxPixelValue op(&m);
  double d = 0;
  int i = 0;
  unsigned u = 0;
  EXPECT_EQ(op.engine(nullptr, &d, &d), nullptr);
  EXPECT_EQ(m.status().line(), 199u);
  expect_refused(m, 0x80800000u, "VEK_MinMaxPixelValue::engine()", "vek_minmaxpixelvalue.cpp");

  // Signed samples under the unsigned overload are a bad argument; the variables stay untouched.
  const std::vector<uint8_t> bytes(24, 0);
  VEK_Header h(&m);
  make(h, 2, 1, 16, 1, VEK_DataType::s_integer);
  EXPECT_EQ(op.engine(read_samples(m, h, bytes), &u, &u), nullptr);
  EXPECT_EQ(m.status().line(), 99u);
  EXPECT_EQ(u, 0u);
  expect_refused(m, 0x80800000u, "VEK_MinMaxPixelValue::engine()", "vek_minmaxpixelvalue.cpp");

  // Three channels; a float image under the double overload; integer depths without an engine.
  const char* engine = "VEK_MinMaxPixelValueEngine::initiate()";
  for (auto [bits, channels, type] :
       {std::tuple{16, 3, VEK_DataType::s_integer}, {32, 1, VEK_DataType::floating}, {4, 1, VEK_DataType::u_integer}}) {
    make(h, 2, 1, uint16_t(bits), uint16_t(channels), type);
    VEK_Engine* source = read_samples(m, h, bytes);
    VEK_Engine* e = type == VEK_DataType::floating    ? op.engine(source, &d, &d)
                    : type == VEK_DataType::s_integer ? op.engine(source, &i, &i)
                                                      : op.engine(source, &u, &u);
    EXPECT_EQ(e, nullptr);
    EXPECT_EQ(m.status().line(), 168u) << bits;
    expect_refused(m, 0x81000000u, engine, "vek_minmaxpixelvalueengine.h");
  }
  make(h, 2, 1, 8, 1);
  EXPECT_EQ(op.engine(read_samples(m, h, bytes), &u, nullptr), nullptr);
  EXPECT_EQ(m.status().line(), 175u);
  expect_refused(m, 0x80800000u, engine, "vek_minmaxpixelvalueengine.h");
  EXPECT_EQ(u, 0u);
}
