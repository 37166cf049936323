#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "vek_clampround.h"
#include "vek_convertdatatype8xnbits.h"
#include "vek_test_image.h"
#include "vek_test_support.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

auto linear(const VEK_DataType* type, uint16_t bits, double slope, double intercept) {
  return [=](VEK_Manager* m, VEK_Engine* source) {
    return VEK_ConvertDataType8xNbits(m).engine(source, type, bits, slope, intercept);
  };
}

template <class D, class S>
std::vector<D> convert(const std::vector<S>& in, double slope, double intercept, const VEK_DataType* type = nullptr) {
  VEK_TestManager m;
  TestRun<D> r = run_samples<D>(m, in, uint32_t(in.size()), 1,
                                linear(type != nullptr ? type : test_data_type<D>(), sizeof(D) * 8, slope, intercept));
  EXPECT_TRUE(r.passed) << std::hex << r.code << std::dec << " line " << r.line;
  EXPECT_EQ(m.memory_manager().live(), 3u);
  return r.out;
}

}  // namespace

TEST(ClampRound, ClampsBeforeRoundingByTheTypesRule) {
  EXPECT_EQ(clamp_round<uint16_t>(70000.2, 65535, 0), 65535);
  EXPECT_EQ(clamp_round<uint16_t>(-3.0, 65535, 0), 0);
  EXPECT_EQ(clamp_round<uint16_t>(2.5, 65535, 0), 3);
  EXPECT_EQ(clamp_round<uint16_t>(65534.5, 65535, 0), 65535);
  EXPECT_EQ(clamp_round<int16_t>(-2.5, 32767, -32768), -3);
  EXPECT_EQ(clamp_round<int16_t>(2.5, 32767, -32768), 3);
  EXPECT_EQ(clamp_round<int16_t>(-32768.4, 32767, -32768), -32768);
  EXPECT_EQ(clamp_round<int8_t>(-0.5, 127, -128), -1);
  EXPECT_EQ(clamp_round<uint32_t>(4294967294.5, UINT32_MAX, 0), UINT32_MAX);
  EXPECT_EQ(clamp_round<uint32_t>(4294967295.4, UINT32_MAX, 0), UINT32_MAX);
  EXPECT_EQ(clamp_round<int32_t>(-2147483648.4, INT32_MAX, INT32_MIN), INT32_MIN);
  EXPECT_EQ(clamp_round<int32_t>(2147483646.5, INT32_MAX, INT32_MIN), INT32_MAX);
  EXPECT_EQ(clamp_round<uint8_t>(kInf, 255, 0), 255);
  EXPECT_EQ(clamp_round<uint8_t>(-kInf, 255, 0), 0);
  // Caller's bounds, not the type's.
  EXPECT_EQ(clamp_round<uint8_t>(300.0, 200, 10), 200);
  EXPECT_EQ(clamp_round<uint8_t>(3.0, 200, 10), 10);
  EXPECT_EQ(clamp_round<float>(1e39, FLT_MAX, -FLT_MAX), FLT_MAX);
  EXPECT_EQ(clamp_round<float>(-kInf, FLT_MAX, -FLT_MAX), -FLT_MAX);
  EXPECT_EQ(clamp_round<float>(2.5, FLT_MAX, -FLT_MAX), 2.5f);
  EXPECT_EQ(clamp_round<double>(kInf, DBL_MAX, -DBL_MAX), DBL_MAX);
}

TEST(ClampRound, NotANumberIsZeroForIntegersAndKeptForFloatingPoint) {
  EXPECT_EQ(clamp_round<uint8_t>(kNaN, 255, 0), 0);
  EXPECT_EQ(clamp_round<int8_t>(kNaN, 127, -128), 0);
  EXPECT_EQ(clamp_round<uint16_t>(kNaN, 65535, 0), 0);
  EXPECT_EQ(clamp_round<int16_t>(kNaN, 32767, -32768), 0);
  EXPECT_EQ(clamp_round<uint32_t>(kNaN, UINT32_MAX, 0), 0u);
  EXPECT_EQ(clamp_round<int32_t>(kNaN, INT32_MAX, INT32_MIN), 0);
  EXPECT_TRUE(std::isnan(clamp_round<float>(kNaN, FLT_MAX, -FLT_MAX)));
  EXPECT_TRUE(std::isnan(clamp_round<double>(kNaN, DBL_MAX, -DBL_MAX)));
}

TEST(FillLinearLut, EntriesBelongToIndexPlusOffset) {
  uint8_t u8[4];
  fill_linear_lut<uint8_t>(u8, 0, 4, 0.5, 0.0);
  EXPECT_EQ(std::vector<uint8_t>(u8, u8 + 4), (std::vector<uint8_t>{0, 1, 1, 2}));
  int8_t s8[256];
  fill_linear_lut<int8_t>(s8, -128, 256, -0.5, 0.0);
  EXPECT_EQ(s8[0], 64);     // -128
  EXPECT_EQ(s8[129], -1);   // 1 -> -0.5 -> -1
  EXPECT_EQ(s8[255], -64);  // 127 -> -63.5
  std::vector<int16_t> s16(65536);
  fill_linear_lut<int16_t>(s16.data(), -32768, 65536, 2.0, 0.0);
  EXPECT_EQ(s16[0], -32768);
  EXPECT_EQ(s16[32768 + 100], 200);
  EXPECT_EQ(s16[65535], 32767);
  // A window of width 0: infinite slope, intercept not a number.
  uint16_t u16[3];
  fill_linear_lut<uint16_t>(u16, 0, 3, kInf, kNaN);
  EXPECT_EQ(std::vector<uint16_t>(u16, u16 + 3), (std::vector<uint16_t>{0, 0, 0}));
  double f64[2];
  fill_linear_lut<double>(f64, INT32_MAX, 2, 1.0, 0.0);
  EXPECT_EQ(f64[1], 2147483648.0);  // index and offset added without overflow
}

TEST(LinearEngine, FormsRoundAndClampPerOutputType) {
  // Slope 1: the intercept alone.
  EXPECT_EQ(convert<uint16_t>(std::vector<uint8_t>{0, 200, 255}, 1.0, 100.4), (std::vector<uint16_t>{100, 300, 355}));
  // No intercept.
  EXPECT_EQ(convert<uint8_t>(std::vector<uint16_t>{1, 3, 600}, 0.5, 0.0), (std::vector<uint8_t>{1, 2, 255}));
  EXPECT_EQ(convert<int8_t>(std::vector<int16_t>{-3, 3, -1000}, 0.5, -0.25), (std::vector<int8_t>{-2, 1, -128}));
  EXPECT_EQ(convert<uint16_t>(std::vector<int16_t>{-5, 20000}, 2.0, 0.5), (std::vector<uint16_t>{0, 40001}));
  EXPECT_EQ(convert<double>(std::vector<uint32_t>{4294967295u, 0u}, 1.0, 0.0),
            (std::vector<double>{4294967295.0, 0.0}));
  EXPECT_EQ(convert<int32_t>(std::vector<uint32_t>{4294967295u, 5u}, -1.0, 0.0), (std::vector<int32_t>{INT32_MIN, -5}));
  EXPECT_EQ(convert<uint32_t>(std::vector<int32_t>{INT32_MIN, INT32_MAX}, 2.0, 0.0),
            (std::vector<uint32_t>{0u, 4294967294u}));
  EXPECT_EQ(convert<uint8_t>(std::vector<float>{254.5f, 254.49f, -0.4f, INFINITY, -INFINITY}, 1.0, 0.0),
            (std::vector<uint8_t>{255, 254, 0, 255, 0}));
  const std::vector<float> f = convert<float>(std::vector<double>{1e39, -1e39, kNaN, 0.1}, 1.0, 0.0);
  ASSERT_EQ(f.size(), 4u);
  EXPECT_EQ(f[0], FLT_MAX);
  EXPECT_EQ(f[1], -FLT_MAX);
  EXPECT_TRUE(std::isnan(f[2]));
  EXPECT_EQ(f[3], 0.1f);
}

TEST(LinearEngine, NotANumberGivesZeroInIntegerOutputs) {
  // Window width 0 makes the slope infinite and the intercept not a number.
  const double slope = 256.0 / 0.0;
  const double intercept = -(40.0 - 0.0 / 2) * slope;
  EXPECT_EQ(convert<uint8_t>(std::vector<int16_t>{-1000, 0, 40, 1000}, slope, kNaN),
            (std::vector<uint8_t>{0, 0, 0, 0}));
  EXPECT_EQ(convert<int8_t>(std::vector<int16_t>{0}, slope, intercept), (std::vector<int8_t>{0}));  // 0 x inf
  EXPECT_EQ(convert<int16_t>(std::vector<double>{kNaN, -kNaN}, 1.0, 0.0), (std::vector<int16_t>{0, 0}));
  EXPECT_EQ(convert<uint32_t>(std::vector<float>{NAN}, 3.0, 0.0), (std::vector<uint32_t>{0u}));
  EXPECT_EQ(convert<int32_t>(std::vector<uint8_t>{7}, kNaN, 0.0), (std::vector<int32_t>{0}));
  EXPECT_TRUE(std::isnan(convert<double>(std::vector<uint8_t>{7}, kNaN, 0.0)[0]));
}

TEST(LinearEngine, EveryLineAndChannelIsConverted) {
  VEK_TestManager m;
  std::vector<int16_t> in(5 * 3 * 4);
  for (size_t i = 0; i < in.size(); ++i) in[i] = int16_t(int(i) * 97 - 2000);
  VEK_Header h(&m);
  h.width(5);
  h.height(4);
  h.channels(3);
  h.bits(16);
  h.data_type(VEK_DataType::s_integer);
  h.color_type(VEK_ColorType_s_rgb::instance());
  TestRun<float> r = run_samples<float>(m, in, 5, 3, linear(VEK_DataType::floating, 32, 0.25, 1.0), &h);
  ASSERT_TRUE(r.passed);
  EXPECT_EQ(r.type, VEK_DataType::floating);
  EXPECT_EQ(r.bits, 32);
  EXPECT_EQ(r.color, VEK_ColorType_s_rgb::instance());
  ASSERT_EQ(r.out.size(), in.size());
  for (size_t i = 0; i < in.size(); ++i) EXPECT_EQ(r.out[i], float(in[i] * 0.25 + 1.0)) << i;
}

TEST(LinearEngine, RefusesWhatItCannotConvert) {
  struct Case {
    uint16_t source_bits;
    const VEK_DataType* source_type;
    bool palette;
    const VEK_DataType* type;
    uint16_t bits;
    uint32_t code;
    uint32_t line;
  };
  const Case cases[] = {
      {12, VEK_DataType::unknown, false, VEK_DataType::u_integer, 8, 0x81000000u, 103},  // read as double
      {8, VEK_DataType::u_integer, true, VEK_DataType::u_integer, 8, 0x81000000u, 103},
      {8, VEK_DataType::u_integer, false, VEK_DataType::u_integer, 12, 0x81000000u, 110},
      {8, VEK_DataType::u_integer, false, VEK_DataType::floating, 8, 0x81000000u, 110},  // a float label on bytes
      {8, VEK_DataType::u_integer, false, nullptr, 32, 0x81000000u, 110},
  };
  for (const Case& c : cases) {
    VEK_TestManager m;
    {
      VEK_Header h(&m);
      h.width(4);
      h.height(2);
      h.channels(1);
      h.bits(c.source_bits);
      h.data_type(c.source_type);
      if (c.palette) {
        h.palette().bits(8);
        h.palette().channels(1);
        h.palette().entries(2);
        const uint8_t entries[2] = {0, 255};
        ASSERT_TRUE(h.palette().value(entries, 2));
      }
      std::vector<uint16_t> in(8, 1);
      TestRun<uint8_t> r = run_samples<uint8_t>(m, in, 4, 1, linear(c.type, c.bits, 2.0, 1.0), &h);
      EXPECT_FALSE(r.made);
      EXPECT_EQ(r.code, c.code) << c.line;
      EXPECT_EQ(r.line, c.line);
    }
    EXPECT_EQ(m.memory_manager().live(), 3u);
  }
  VEK_TestManager m;
  EXPECT_EQ(VEK_ConvertDataType8xNbits(&m).engine(nullptr, VEK_DataType::u_integer, 8, 1.0, 0.0), nullptr);
  EXPECT_EQ(m.status().full_code(), 0x80800000u);
  EXPECT_STREQ(m.status().method(), "VEK_ConvertDataType8xNbits::engine()");
  EXPECT_STREQ(m.status().file(), "vek_convertdatatype8xnbits.cpp");
  EXPECT_EQ(m.status().line(), 58u);
}

TEST(LinearEngine, EveryRefusedAllocationLeavesNoLeak) {
  const std::vector<int16_t> in = {-5, 0, 5, 300, -300, 7};
  for (uint64_t n = 1;; ++n) {
    VEK_TestManager m;
    TestRun<uint8_t> r = run_samples<uint8_t>(m, in, 3, 1, [n](VEK_Manager* mm, VEK_Engine* source) {
      static_cast<VEK_TestManager*>(mm)->memory_manager().fail_nth(n);
      return VEK_ConvertDataType8xNbits(mm).engine(source, VEK_DataType::u_integer, 8, 0.5, 100.0);
    });
    EXPECT_EQ(m.memory_manager().live(), 3u) << n;
    if (r.passed) {
      EXPECT_EQ(r.out, (std::vector<uint8_t>{98, 100, 103, 250, 0, 104}));
      break;
    }
    EXPECT_EQ(r.code, 0x80010000u) << n;
    ASSERT_LT(n, 100u);
  }
}
