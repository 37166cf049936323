#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "vek_clampround.h"
#include "vek_convertdatatype8xnbits.h"
#include "vek_test_image.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

auto linear(const VEK_DataType* type, uint16_t bits, double slope, double intercept) {
  return [=](VEK_Manager* m, VEK_Engine* source) {
    return VEK_ConvertDataType8xNbits(m).engine(source, type, bits, slope, intercept);
  };
}

template <class D, class S>
std::vector<D> convert(const std::vector<S>& in, double slope, double intercept) {
  return mapped<D>(in, linear(test_data_type<D>(), sizeof(D) * 8, slope, intercept));
}

}  // namespace

TEST(ClampRound, ClampsFirstThenRoundsAndTurnsNotANumberIntoZero) {
  EXPECT_EQ(clamp_round<uint16_t>(70000.2, 65535, 0), 65535);
  EXPECT_EQ(clamp_round<uint16_t>(-3.0, 65535, 0), 0);
  EXPECT_EQ(clamp_round<uint16_t>(2.5, 65535, 0), 3);
  EXPECT_EQ(clamp_round<uint32_t>(4294967295.4, UINT32_MAX, 0), UINT32_MAX);
  EXPECT_EQ(clamp_round<uint8_t>(300.0, 200, 10), 200);  // the caller's bounds
  EXPECT_EQ(clamp_round<int8_t>(kNaN, 127, -128), 0);
  EXPECT_TRUE(std::isnan(clamp_round<float>(kNaN, FLT_MAX, -FLT_MAX)));
  int32_t table[2];
  fill_linear_lut<int32_t>(table, INT32_MAX, 2, -1.0, 0.0);  // index + offset beyond 32 bits
  EXPECT_EQ(table[1], INT32_MIN);
}

TEST(LinearEngine, WideAndFloatingSamplesRoundAndClampPerOutputType) {
  EXPECT_EQ(convert<uint16_t>(std::vector<int16_t>{-5, 20000}, 2.0, 0.5), (std::vector<uint16_t>{0, 40001}));
  EXPECT_EQ(convert<double>(std::vector<uint32_t>{4294967295u}, 1.0, 0.0), (std::vector<double>{4294967295.0}));
  EXPECT_EQ(convert<int32_t>(std::vector<uint32_t>{4294967295u, 5u}, -1.0, 0.0), (std::vector<int32_t>{INT32_MIN, -5}));
  EXPECT_EQ(convert<uint32_t>(std::vector<int32_t>{INT32_MIN, INT32_MAX}, 2.0, 0.0),
            (std::vector<uint32_t>{0u, 4294967294u}));
  EXPECT_EQ(convert<uint8_t>(std::vector<float>{254.5f, 254.49f, -0.4f, INFINITY, -INFINITY}, 1.0, 0.0),
            (std::vector<uint8_t>{255, 254, 0, 255, 0}));
  const std::vector<float> f = convert<float>(std::vector<double>{1e39, -1e39, kNaN}, 1.0, 0.0);
  ASSERT_EQ(f.size(), 3u);
  EXPECT_EQ(f[0], FLT_MAX);
  EXPECT_EQ(f[1], -FLT_MAX);
  EXPECT_TRUE(std::isnan(f[2]));
  EXPECT_EQ(convert<int16_t>(std::vector<double>{kNaN}, 1.0, 0.0), (std::vector<int16_t>{0}));
  EXPECT_EQ(convert<uint32_t>(std::vector<float>{NAN}, 3.0, 0.0), (std::vector<uint32_t>{0u}));
}

TEST(LinearEngine, EveryLineAndChannelIsConvertedAndLabelled) {
  VEK_TestManager m;
  std::vector<int16_t> in(5 * 3 * 4);
  for (size_t i = 0; i < in.size(); ++i) in[i] = int16_t(int(i) * 97 - 2000);
  VEK_Header h(&m);
  set_image(h, 16, VEK_DataType::s_integer, 3, 5, 4);
  h.color_type(VEK_ColorType_s_rgb::instance());
  TestRun<float> r = run_samples<float>(m, in, linear(VEK_DataType::floating, 32, 0.25, 1.0), &h);
  EXPECT_EQ(r.type, VEK_DataType::floating);
  EXPECT_EQ(r.bits, 32);
  EXPECT_EQ(r.color, VEK_ColorType_s_rgb::instance());
  ASSERT_EQ(r.out.size(), in.size());
  for (size_t i = 0; i < in.size(); ++i) EXPECT_EQ(r.out[i], float(in[i] * 0.25 + 1.0)) << i;
}

TEST(LinearEngine, RefusesWhatItCannotConvertAndLeaksNothing) {
  const VEK_DataType* u = VEK_DataType::u_integer;
  // A 12-bit source is read as double; a floating label on bytes, or none, would lie.
  EXPECT_EQ(refused(12, VEK_DataType::unknown, false, linear(u, 8, 2.0, 1.0)).line, 103u);
  EXPECT_EQ(refused(8, u, true, linear(u, 8, 2.0, 1.0)).line, 103u);
  EXPECT_EQ(refused(8, u, false, linear(u, 12, 2.0, 1.0)).line, 110u);
  EXPECT_EQ(refused(8, u, false, linear(VEK_DataType::floating, 8, 2.0, 1.0)).line, 110u);
  const TestRun<uint8_t> r = refused(8, u, false, linear(nullptr, 32, 2.0, 1.0));
  EXPECT_EQ(r.code, 0x81000000u);
  EXPECT_EQ(r.method, "VEK_ConvertDataType8xNbitsEngine::initiate()");
  EXPECT_EQ(r.line, 110u);
  VEK_TestManager m;
  EXPECT_EQ(VEK_ConvertDataType8xNbits(&m).engine(nullptr, u, 8, 1.0, 0.0), nullptr);
  EXPECT_STREQ(m.status().file(), "vek_convertdatatype8xnbits.cpp");
  EXPECT_EQ(m.status().line(), 58u);
  expect_no_leak_when_memory_runs_out(std::vector<int16_t>{-5, 0, 5, 300, -300, 7}, linear(u, 8, 0.5, 100.0),
                                      std::vector<uint8_t>{98, 100, 103, 250, 0, 104});
}
