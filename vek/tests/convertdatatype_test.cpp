#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <typeinfo>
#include <vector>

#include "vek_convert1to8xnbits.h"
#include "vek_convertdatatype.h"
#include "vek_convertdatatype1bit.h"
#include "vek_test_image.h"

namespace {

// The class name of what the dispatcher chose, for telling the paths apart.
struct Choice {
  bool same = false;  // the source itself
  std::string name;
};

template <class S>
Choice choose(uint32_t width, uint32_t height, const VEK_DataType* out_type, uint16_t out_bits, double slope,
              double intercept) {
  VEK_TestManager m;
  VEK_Header h(&m);
  set_image(h, uint16_t(sizeof(S) * 8), test_data_type<S>(), 1, width, height);
  std::vector<S> in(size_t(width) * height);
  VEK_Engine* source = read_samples(m, h, in);
  VEK_ConvertDataType convert(&m);
  VEK_Engine* e = convert.engine(source, out_type, out_bits, slope, intercept);
  Choice c;
  c.same = e == source;
  if (e != nullptr) c.name = typeid(*e).name();
  m.clear();
  return c;
}

bool has(const Choice& c, const char* part) { return c.name.find(part) != std::string::npos; }

void one_bit(VEK_Header& h, uint32_t width) { set_image(h, 1, VEK_DataType::u_integer, 1, width, 1); }

}  // namespace

TEST(ConvertDataType, ChoosesTheCheapestEngine) {
  EXPECT_TRUE(choose<uint16_t>(4, 4, VEK_DataType::u_integer, 16, 1.0000000000000002, 2e-16).same);
  EXPECT_TRUE(has(choose<uint16_t>(4, 4, VEK_DataType::u_integer, 16, 1.0, 1e-15), "ConvertDataType8xNbits"));
  EXPECT_FALSE(has(choose<uint16_t>(256, 256, VEK_DataType::u_integer, 8, 0.5, 3), "Lut"));
  EXPECT_TRUE(has(choose<uint16_t>(257, 256, VEK_DataType::u_integer, 8, 0.5, 3), "Lut"));
  EXPECT_TRUE(has(choose<uint8_t>(17, 17, VEK_DataType::floating, 32, 0.5, 3), "Lut"));

  VEK_TestManager m;
  VEK_ConvertDataType c(&m);
  VEK_Header u8(&m);
  set_image(u8, 8, VEK_DataType::u_integer, 1, 16, 16);
  EXPECT_TRUE(c.is_pure_shift(u8, VEK_DataType::u_integer, 16, 4, 0));
  EXPECT_EQ(c.shift_count(), 2);
  EXPECT_FALSE(c.with_limit());
  EXPECT_TRUE(c.is_pure_shift(u8, VEK_DataType::u_integer, 16, 512, 0));
  EXPECT_TRUE(c.with_limit());
  EXPECT_FALSE(c.is_pure_shift(u8, VEK_DataType::u_integer, 16, 4294967296.0, 0));
  EXPECT_FALSE(c.is_pure_shift(u8, VEK_DataType::u_integer, 16, -2, 0));
  EXPECT_FALSE(c.is_pure_shift(u8, VEK_DataType::u_integer, 16, 0.75, 0));
  EXPECT_FALSE(c.is_pure_shift(u8, VEK_DataType::u_integer, 16, NAN, 0));
  EXPECT_TRUE(c.is_pure_shift(u8, VEK_DataType::s_integer, 8, 0.5, 0));  // 255 x 0.5 rounds above 127
  EXPECT_TRUE(c.with_limit());
  EXPECT_EQ(c.shift_count(), -1);
  VEK_Header s16(&m);
  set_image(s16, 16, VEK_DataType::s_integer, 1, 16, 16);
  EXPECT_TRUE(c.is_pure_shift(s16, VEK_DataType::u_integer, 16, 1, 0));
  EXPECT_TRUE(c.with_limit());
  EXPECT_TRUE(has(choose<uint8_t>(16, 16, VEK_DataType::u_integer, 16, 4, 0), "Shift"));
  EXPECT_TRUE(has(choose<uint8_t>(16, 16, VEK_DataType::u_integer, 16, 4294967296.0, 0), "ConvertDataType8xNbits"));

  VEK_Header bit(&m);
  set_image(bit, 1, VEK_DataType::u_integer, 1, 8, 1);
  EXPECT_TRUE(c.is_two_value_conversion(bit, VEK_DataType::u_integer, 8, 255, 0));
  EXPECT_EQ(c.value1(), 255);
  EXPECT_FALSE(c.is_two_value_conversion(bit, VEK_DataType::u_integer, 8, 300, 0));
  EXPECT_FALSE(c.is_two_value_conversion(bit, VEK_DataType::u_integer, 8, 2.5, 0));
  EXPECT_TRUE(c.is_two_value_conversion(bit, VEK_DataType::s_integer, 16, -1, 0));

  EXPECT_EQ(c.engine(nullptr, VEK_DataType::u_integer, 8, 1, 0), nullptr);
  EXPECT_REPORT(m, 0x80800000u, "VEK_ConvertDataType::engine()", 68u);
}

TEST(ConvertDataType, SignedTableStartsAtTheLowestValue) {
  VEK_TestManager m;
  VEK_LutData lut(&m);
  lut.bits(8);
  lut.channels(1);
  lut.entries(65536);
  lut.data_type(VEK_DataType::u_integer);
  std::vector<uint8_t> table(65536);
  VEK_ConvertDataType::fill_linear_lut(table.data(), -32768, lut, 1.0 / 256, 128);
  EXPECT_EQ(table[0], 0);  // -32768 / 256 + 128
  EXPECT_EQ(table[65535], 255);
  lut.data_type(VEK_DataType::s_integer);
  std::vector<int8_t> signed_table(4);
  lut.entries(4);
  VEK_ConvertDataType::fill_linear_lut(signed_table.data(), 0, lut, -0.5, 0);
  EXPECT_EQ(signed_table[1], -1);

  // The same s16 source with more samples than entries goes through the table.
  std::vector<int16_t> in(300);
  for (size_t i = 0; i < in.size(); ++i) in[i] = int16_t(i == 0 ? -32768 : i == 1 ? 32767 : i * 100);
  VEK_Header h(&m);
  set_image(h, 16, VEK_DataType::s_integer, 1, 300, 1);
  auto r = run_samples<uint8_t>(
      m, in,
      [](VEK_Manager* mm, VEK_Engine* s) {
        return VEK_ConvertDataType(mm).engine(s, VEK_DataType::u_integer, 8, 1.0 / 256, 128);
      },
      &h);
  ASSERT_TRUE(r.passed);
  EXPECT_EQ(r.out[0], 0);
  EXPECT_EQ(r.out[1], 255);
}

// Window centre 40, width 400 on a 512 x 512 CT, whichever engine the choice lands on.
TEST(ConvertDataType, CtWindowMatchesTheReference) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> hu(-1024, 3071);
  std::vector<int16_t> ct(512 * 512);
  for (auto& v : ct) v = int16_t(hu(rng));
  ct[0] = -32768;
  ct[1] = 32767;
  const double width = 400, centre = 40, slope = 256 / width, intercept = -(centre - width / 2) * slope;
  for (uint32_t height : {1u, 512u}) {  // 512 samples: general engine; 262,144: table
    VEK_TestManager m;
    VEK_Header h(&m);
    set_image(h, 16, VEK_DataType::s_integer, 1, 512, height);
    std::vector<int16_t> in(ct.begin(), ct.begin() + 512 * height);
    auto r = run_samples<uint8_t>(
        m, in,
        [&](VEK_Manager* mm, VEK_Engine* s) {
          return VEK_ConvertDataType(mm).engine(s, VEK_DataType::u_integer, 8, slope, intercept);
        },
        &h);
    ASSERT_TRUE(r.passed);
    ASSERT_EQ(r.out.size(), in.size());
    for (size_t i = 0; i < in.size(); ++i) {
      const double v = in[i] * slope + intercept;
      const int expected = v < 0 ? 0 : v > 255 ? 255 : int(std::floor(v + 0.5));
      ASSERT_EQ(r.out[i], expected) << "sample " << in[i];
    }
  }
}

TEST(OneBit, ExpandsPacksAndThresholds) {
  VEK_TestManager m;
  VEK_Header h10(&m);
  one_bit(h10, 10);
  const std::vector<uint8_t> bits = {0xA5, 0xC0};
  const std::vector<uint8_t> expected = {255, 0, 255, 0, 0, 255, 0, 255, 255, 255};
  auto table = run_samples<uint8_t>(
      m, bits,
      [](VEK_Manager* mm, VEK_Engine* s) {
        return VEK_ConvertDataType(mm).engine(s, VEK_DataType::u_integer, 8, 255, 0);
      },
      &h10);
  EXPECT_TRUE(table.passed);
  EXPECT_EQ(table.out, expected);
  // The general path (a slope that is not whole) gives the same two values, rounded.
  auto general = run_samples<uint8_t>(
      m, bits,
      [](VEK_Manager* mm, VEK_Engine* s) {
        return VEK_ConvertDataTypeFrom1bit(mm).engine(s, VEK_DataType::u_integer, 8, 254.5, 0.4);
      },
      &h10);
  EXPECT_EQ(general.out, expected);
  auto clamped = run_samples<int8_t>(
      m, bits,
      [](VEK_Manager* mm, VEK_Engine* s) {
        return VEK_ConvertDataTypeFrom1bit(mm).engine(s, VEK_DataType::s_integer, 8, 0, -2.5);
      },
      &h10);
  EXPECT_EQ(clamped.out, std::vector<int8_t>(10, -3));

  VEK_Header three(&m);
  set_image(three, 8, VEK_DataType::u_integer, 1, 3, 1);
  auto packed = run_samples<uint8_t>(
      m, std::vector<uint8_t>{1, 0, 1},
      [](VEK_Manager* mm, VEK_Engine* s) {
        return VEK_ConvertDataType(mm).engine(s, VEK_DataType::u_integer, 1, 1, 0);
      },
      &three);
  EXPECT_EQ(packed.out, std::vector<uint8_t>{0xA0});

  std::vector<uint8_t> ramp(256);
  for (int i = 0; i < 256; ++i) ramp[i] = uint8_t(i);
  auto thresholded = run_samples<uint8_t>(m, ramp, [](VEK_Manager* mm, VEK_Engine* s) {
    return VEK_ConvertDataTypeTo1bit(mm).engine(s, VEK_DataType::u_integer, 1.0 / 128, 0);
  });
  ASSERT_EQ(thresholded.out.size(), 32u);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(thresholded.out[i], 0) << i;  // 0..63
  for (int i = 8; i < 32; ++i) EXPECT_EQ(thresholded.out[i], 0xFF) << i;

  auto top = run_samples<uint8_t>(m, std::vector<uint32_t>{4294967295u}, [](VEK_Manager* mm, VEK_Engine* s) {
    return VEK_ConvertDataTypeTo1bit(mm).engine(s, VEK_DataType::u_integer, 1, 0);
  });
  EXPECT_EQ(top.out, std::vector<uint8_t>{0x80});
}

TEST(OneBit, OneBitToOneBitPicksIdentityNotOrConstant) {
  VEK_TestManager m;
  VEK_Header h(&m);
  one_bit(h, 12);
  const std::vector<uint8_t> in = {0xA5, 0x30};
  auto one = [&](double slope, double intercept) {
    auto out = run_samples<uint8_t>(
                   m, in,
                   [=](VEK_Manager* mm, VEK_Engine* s) {
                     return VEK_ConvertDataType(mm).engine(s, VEK_DataType::u_integer, 1, slope, intercept);
                   },
                   &h)
                   .out;
    if (out.size() == 2) out[1] &= 0xF0;  // readers ignore the bits past the last sample
    return out;
  };
  EXPECT_EQ(one(1, 0), std::vector<uint8_t>({0xA5, 0x30}));
  EXPECT_EQ(one(0.25, 0.25), std::vector<uint8_t>({0xA5, 0x30}));
  EXPECT_EQ(one(-1, 1), std::vector<uint8_t>({0x5A, 0xC0}));
  EXPECT_EQ(one(0, 0.5), std::vector<uint8_t>({0xFF, 0xF0}));
  EXPECT_EQ(one(0, 0.4999), std::vector<uint8_t>({0x00, 0x00}));
  EXPECT_EQ(m.memory_manager().live(), 3u);
}

TEST(OneBit, RefusalsAndRanges) {
  VEK_TestManager m;
  VEK_Header h(&m);
  one_bit(h, 8);
  const std::vector<uint8_t> in = {0x0F};
  auto run1 = [&](auto make) { return run_samples<uint8_t>(m, in, make, &h); };

  auto wide = run1([](VEK_Manager* mm, VEK_Engine* s) {
    return VEK_Convert1To8xNBits(mm).engine(s, VEK_DataType::u_integer, 8, 0, 256);
  });
  EXPECT_EQ(wide.code, 0x80800000u);
  EXPECT_EQ(wide.line, 194u);
  auto s8 = run_samples<int8_t>(
      m, in,
      [](VEK_Manager* mm, VEK_Engine* s) {
        return VEK_Convert1To8xNBits(mm).engine(s, VEK_DataType::s_integer, 8, -128, 127);
      },
      &h);
  EXPECT_EQ(s8.out, std::vector<int8_t>({-128, -128, -128, -128, 127, 127, 127, 127}));
  auto twelve = run1([](VEK_Manager* mm, VEK_Engine* s) {
    return VEK_Convert1To8xNBits(mm).engine(s, VEK_DataType::u_integer, 12, 0, 1);
  });
  EXPECT_EQ(twelve.line, 68u);

  auto to_one = run1([](VEK_Manager* mm, VEK_Engine* s) {
    return VEK_ConvertDataTypeFrom1bit(mm).engine(s, VEK_DataType::u_integer, 1, 1, 0);
  });
  EXPECT_EQ(to_one.code, 0x81000000u);
  EXPECT_EQ(to_one.line, 111u);
  // Twelve bits would pick the double class: its eight-byte values would overrun the lines.
  auto narrow = run1([](VEK_Manager* mm, VEK_Engine* s) {
    return VEK_ConvertDataTypeFrom1bit(mm).engine(s, VEK_DataType::u_integer, 12, 1, 0);
  });
  EXPECT_FALSE(narrow.made);
  EXPECT_EQ(narrow.code, 0x81000000u);

  auto big = run_samples<float>(
      m, in,
      [](VEK_Manager* mm, VEK_Engine* s) {
        return VEK_ConvertDataTypeFrom1bit(mm).engine(s, VEK_DataType::floating, 32, 1e39, 0);
      },
      &h);
  EXPECT_EQ(big.out[7], 3.4028234663852886e38f);

  VEK_Header four(&m);
  set_image(four, 4, VEK_DataType::u_integer, 1, 2, 1);
  auto nibble = run_samples<uint8_t>(
      m, in,
      [](VEK_Manager* mm, VEK_Engine* s) {
        return VEK_ConvertDataTypeTo1bit(mm).engine(s, VEK_DataType::u_integer, 1, 0);
      },
      &four);
  EXPECT_EQ(nibble.code, 0x81000000u);
  EXPECT_EQ(nibble.line, 103u);
  EXPECT_EQ(m.memory_manager().live(), 3u);
}

TEST(ConvertDataType, EveryRefusedAllocationLeavesNoLeak) {
  std::vector<int16_t> in(600, 5);
  for (uint64_t n = 1; n < 40; ++n) {
    VEK_TestManager m;
    VEK_Header h(&m);
    set_image(h, 16, VEK_DataType::s_integer, 1, 300, 2);
    m.memory_manager().fail_nth(n);
    run_samples<uint8_t>(
        m, in,
        [](VEK_Manager* mm, VEK_Engine* s) {
          return VEK_ConvertDataType(mm).engine(s, VEK_DataType::u_integer, 8, 0.3, 1);
        },
        &h);
    EXPECT_EQ(m.memory_manager().live(), 3u) << "refusing allocation " << n;
  }
}
