#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "vek_minmaxpixelvalue.h"
#include "vek_test_samples.h"

namespace {

// Runs the overload for A over samples of T laid out as a width x height image; answers
// the engine's result and fills minimum and maximum.
template <class T, class A>
VEK_Engine* run_minmax(VEK_TestManager& m, const VEK_DataType* type, uint32_t width, const std::vector<T>& samples,
                       A& minimum, A& maximum) {
  VEK_Header h(&m);
  make(h, width, uint32_t(samples.size() / width), sizeof(T) * 8, 1, type);
  VEK_MinMaxPixelValue op(&m);
  VEK_Engine* e = op.engine(read_samples(m, h, samples), &minimum, &maximum);
  run(e);
  return e;
}

template <class T, class A>
void expect_extremes(const VEK_DataType* type, const std::vector<T>& samples, A low, A high) {
  VEK_TestManager m;
  A minimum = 1, maximum = 1;
  ASSERT_NE(run_minmax(m, type, 2, samples, minimum, maximum), nullptr);
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
  ASSERT_TRUE(e->execute());  // the first line alone
  EXPECT_EQ(minimum, 3u);
  EXPECT_EQ(maximum, 200u);
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
  expect_extremes<double, double>(f, {-1e300, 2.5, 0.0, 1e300}, -1e300, 1e300);
  // A NaN sample is skipped, wherever it lies.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  expect_extremes<float, float>(f, {nan, 1.5f, nan, -2.0f}, -2.0f, 1.5f);
  expect_extremes<float, float>(f, {1.5f, nan, -2.0f, nan}, -2.0f, 1.5f);
  // Only NaN: the start values stay, the minimum above the maximum.
  expect_extremes<float, float>(f, {nan, nan}, std::numeric_limits<float>::max(), -std::numeric_limits<float>::max());
}

TEST(MinMaxPixelValue, RefusesWrongOverloadsLayoutsAndMissingVariables) {
  VEK_TestManager m;
  VEK_MinMaxPixelValue op(&m);
  const char* creator = "VEK_MinMaxPixelValue::engine()";
  double d = 0;
  float f = 0;
  int i = 0;
  unsigned u = 0;
  EXPECT_EQ(op.engine(nullptr, &d, &d), nullptr);
  EXPECT_EQ(m.status().line(), 199u);
  expect_refused(m, 0x80800000u, creator, "vek_minmaxpixelvalue.cpp");
  EXPECT_EQ(op.engine(nullptr, &f, &f), nullptr);
  EXPECT_EQ(m.status().line(), 163u);
  m.clear();
  EXPECT_EQ(op.engine(nullptr, &i, &i), nullptr);
  EXPECT_EQ(m.status().line(), 116u);
  m.clear();
  EXPECT_EQ(op.engine(nullptr, &u, &u), nullptr);
  EXPECT_EQ(m.status().line(), 69u);
  m.clear();

  // A data type other than the overload's is a bad argument; the variables stay untouched.
  const std::vector<int16_t> s16{-5, 100};
  VEK_Header h(&m);
  make(h, 2, 1, 16, 1, VEK_DataType::s_integer);
  EXPECT_EQ(op.engine(read_samples(m, h, s16), &u, &u), nullptr);
  EXPECT_EQ(m.status().line(), 99u);
  EXPECT_EQ(u, 0u);
  expect_refused(m, 0x80800000u, creator, "vek_minmaxpixelvalue.cpp");
  EXPECT_EQ(op.engine(read_samples(m, h, s16), &d, &d), nullptr);
  EXPECT_EQ(m.status().line(), 218u);
  expect_refused(m, 0x80800000u, creator, "vek_minmaxpixelvalue.cpp");
  make(h, 2, 1, 32, 1, VEK_DataType::floating);
  EXPECT_EQ(op.engine(read_samples(m, h, s16), &i, &i), nullptr);
  EXPECT_EQ(m.status().line(), 146u);
  expect_refused(m, 0x80800000u, creator, "vek_minmaxpixelvalue.cpp");

  const char* engine = "VEK_MinMaxPixelValueEngine::initiate()";
  const char* file = "vek_minmaxpixelvalueengine.h";
  const std::vector<uint8_t> bytes(24, 0);
  struct Case {
    uint16_t bits, channels;
    const VEK_DataType* type;
  };
  // Three channels; a float image under the double overload; integer depths without an engine.
  for (Case c : {Case{16, 3, VEK_DataType::s_integer}, Case{32, 1, VEK_DataType::floating},
                 Case{1, 1, VEK_DataType::u_integer}, Case{4, 1, VEK_DataType::u_integer}}) {
    make(h, 2, 1, c.bits, c.channels, c.type);
    VEK_Engine* source = read_samples(m, h, bytes);
    VEK_Engine* e = c.type == VEK_DataType::floating ? op.engine(source, &d, &d)
                    : c.type == VEK_DataType::s_integer ? op.engine(source, &i, &i)
                                                        : op.engine(source, &u, &u);
    EXPECT_EQ(e, nullptr);
    EXPECT_EQ(m.status().line(), 168u) << c.bits;
    expect_refused(m, 0x81000000u, engine, file);
  }
  make(h, 2, 1, 8, 1);
  EXPECT_EQ(op.engine(read_samples(m, h, bytes), &u, nullptr), nullptr);
  EXPECT_EQ(m.status().line(), 175u);
  expect_refused(m, 0x80800000u, engine, file);
  EXPECT_EQ(op.engine(read_samples(m, h, bytes), static_cast<unsigned*>(nullptr), &u), nullptr);
  expect_refused(m, 0x80800000u, engine, file);
  EXPECT_EQ(u, 0u);
}
