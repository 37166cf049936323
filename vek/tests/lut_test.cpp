#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "vek_lut.h"
#include "vek_test_image.h"
#include "vek_test_support.h"

namespace {

// Describes lut with one block per channel from values and copies them in.
template <class T>
void describe(VEK_LutData& lut, uint16_t channels, const std::vector<T>& values,
              const VEK_DataType* type = test_data_type<T>()) {
  lut.bits(uint16_t(sizeof(T) * 8));
  lut.channels(channels);
  lut.entries(uint32_t(values.size() / channels));
  lut.data_type(type);
  ASSERT_TRUE(lut.value(values.data(), uint32_t(values.size() * sizeof(T))));
}

auto through(const VEK_LutData* lut, const VEK_ColorType* color = nullptr) {
  return [=](VEK_Manager* m, VEK_Engine* source) { return VEK_Lut(m).engine(source, lut, color); };
}

// A table whose entry i holds i * 3 + 1 (channel block c adds c * 1000).
template <class T>
std::vector<T> ramp(uint32_t entries, uint16_t channels = 1) {
  std::vector<T> v;
  for (uint16_t c = 0; c < channels; ++c)
    for (uint32_t i = 0; i < entries; ++i) v.push_back(T(i * 3 + 1 + c * 1000));
  return v;
}

VEK_Header& image(VEK_Header& h, uint16_t bits, const VEK_DataType* type, uint16_t channels, uint32_t width,
                  uint32_t height = 1) {
  h.width(width);
  h.height(height);
  h.bits(bits);
  h.channels(channels);
  h.data_type(type);
  return h;
}

}  // namespace

TEST(LutData, ValueTakesOnlyATableOfTheDescribedSize) {
  VEK_TestManager m;
  {
    VEK_LutData lut(&m);
    EXPECT_TRUE(lut.value(nullptr, 0));  // empty stays empty
    EXPECT_TRUE(lut.is_valid());
    lut.bits(8);
    lut.channels(1);
    lut.entries(256);
    EXPECT_FALSE(lut.value(nullptr, 0));
    EXPECT_EQ(m.status().full_code(), 0x80800000u);
    EXPECT_STREQ(m.status().method(), "VEK_LutData::value()");
    EXPECT_STREQ(m.status().file(), "vek_lutdata.cpp");
    EXPECT_EQ(m.status().line(), 197u);
    m.clear();

    const std::vector<uint8_t> table = ramp<uint8_t>(256);
    ASSERT_TRUE(lut.value(table.data(), 256));
    const uint8_t* held = lut.table();
    EXPECT_FALSE(lut.value(table.data(), 255));  // one byte short
    EXPECT_FALSE(lut.value(nullptr, 256));
    EXPECT_EQ(lut.table(), held);  // the old table stays
    EXPECT_EQ(lut.table()[10], 31);
    m.clear();

    // 1025 x 64 x 65536 wraps to 2^22 in 32 bits: a 512 KiB table must not pass for 537 MB.
    lut.bits(64);
    lut.channels(1025);
    lut.entries(65536);
    std::vector<uint8_t> small(524288);
    EXPECT_FALSE(lut.value(small.data(), uint32_t(small.size())));
    lut.channels(1024);  // wraps to exactly 0
    EXPECT_FALSE(lut.value(nullptr, 0));
    EXPECT_EQ(lut.table(), held);
    m.clear();
  }
  EXPECT_EQ(m.memory_manager().live(), 3u);
}

TEST(LutData, ValidityNeedsAConsistentDescription) {
  VEK_TestManager m;
  VEK_LutData lut(&m);
  const std::vector<uint8_t> table(256, 7);
  lut.bits(8);
  lut.channels(1);
  lut.entries(256);
  ASSERT_TRUE(lut.value(table.data(), 256));
  EXPECT_TRUE(lut.is_valid());
  lut.data_type(VEK_DataType::floating);
  EXPECT_FALSE(lut.is_valid());
  lut.data_type(VEK_DataType::unknown);
  EXPECT_TRUE(lut.is_valid());
  lut.data_type(nullptr);
  EXPECT_FALSE(lut.is_valid());
  lut.data_type(VEK_DataType::u_integer);
  lut.entries(0);
  EXPECT_FALSE(lut.is_valid());
  lut.entries(65537);
  EXPECT_FALSE(lut.is_valid());
  lut.entries(256);
  lut.channels(0);
  EXPECT_FALSE(lut.is_valid());
  lut.channels(1);
  lut.bits(12);
  EXPECT_FALSE(lut.is_valid());
}

TEST(LutEngine, EverySourceTypeIndexesItsTable) {
  VEK_TestManager m;
  {
    VEK_LutData lut(&m);
    describe(lut, 1, ramp<uint8_t>(256));
    TestRun<uint8_t> r = run_samples<uint8_t>(m, std::vector<uint8_t>{0, 1, 84, 255}, 4, 1, through(&lut));
    EXPECT_TRUE(r.passed);
    EXPECT_EQ(r.out, (std::vector<uint8_t>{1, 4, 253, uint8_t(766)}));
    EXPECT_EQ(r.type, VEK_DataType::u_integer);
    EXPECT_EQ(r.bits, 8);
  }
  {
    VEK_LutData lut(&m);
    describe(lut, 1, ramp<int16_t>(256));
    TestRun<int16_t> r = run_samples<int16_t>(m, std::vector<int8_t>{-128, -1, 0, 127}, 4, 1, through(&lut));
    EXPECT_TRUE(r.passed);
    EXPECT_EQ(r.out, (std::vector<int16_t>{1, 382, 385, 766}));  // entries 0, 127, 128, 255
    EXPECT_EQ(r.type, VEK_DataType::s_integer);
  }
  {
    VEK_LutData lut(&m);
    describe(lut, 1, ramp<uint32_t>(65536));
    TestRun<uint32_t> r = run_samples<uint32_t>(m, std::vector<int16_t>{-32768, 0, 32767}, 3, 1, through(&lut));
    EXPECT_TRUE(r.passed);
    EXPECT_EQ(r.out, (std::vector<uint32_t>{1, 32768 * 3 + 1, 65535 * 3 + 1}));
  }
  {
    VEK_LutData lut(&m);
    describe(lut, 1, ramp<double>(65536));
    TestRun<double> r = run_samples<double>(m, std::vector<uint16_t>{0, 65535, 2}, 3, 1, through(&lut));
    EXPECT_TRUE(r.passed);
    EXPECT_EQ(r.out, (std::vector<double>{1, 65535 * 3 + 1, 7}));
    EXPECT_EQ(r.type, VEK_DataType::floating);
    EXPECT_EQ(r.bits, 64);
  }
  {
    VEK_LutData lut(&m);
    describe(lut, 1, std::vector<float>{0.5f, -2.25f}, VEK_DataType::floating);
    lut.entries(2);
    // Only a 256-entry table fits an 8-bit source.
    TestRun<float> r = run_samples<float>(m, std::vector<uint8_t>{1, 0}, 2, 1, through(&lut));
    EXPECT_FALSE(r.made);
    EXPECT_EQ(r.line, 111u);
  }
  {
    VEK_LutData lut(&m);
    describe(lut, 1, ramp<int32_t>(256), VEK_DataType::unknown);  // served by the float member
    TestRun<int32_t> r = run_samples<int32_t>(m, std::vector<uint8_t>{2}, 1, 1, through(&lut));
    EXPECT_TRUE(r.passed);
    EXPECT_EQ(r.out, (std::vector<int32_t>{7}));
    EXPECT_EQ(r.type, VEK_DataType::unknown);
  }
  EXPECT_EQ(m.memory_manager().live(), 3u);
}

TEST(LutEngine, ChannelsShareOneTableOrUseTheirOwn) {
  VEK_TestManager m;
  const std::vector<uint8_t> in = {0, 1, 2, 10, 11, 12};  // two pixels of three channels
  {
    VEK_Header h(&m);
    image(h, 8, VEK_DataType::u_integer, 3, 2).color_type(VEK_ColorType_s_rgb::instance());
    VEK_LutData shared(&m);
    describe(shared, 1, ramp<uint32_t>(256));
    TestRun<uint32_t> r = run_samples<uint32_t>(m, in, 2, 3, through(&shared), &h);
    EXPECT_TRUE(r.passed);
    EXPECT_EQ(r.out, (std::vector<uint32_t>{1, 4, 7, 31, 34, 37}));

    VEK_LutData own(&m);
    describe(own, 3, ramp<uint32_t>(256, 3));
    r = run_samples<uint32_t>(m, in, 2, 3, through(&own, VEK_ColorType_ycbcr::instance()), &h);
    EXPECT_TRUE(r.passed);
    EXPECT_EQ(r.out, (std::vector<uint32_t>{1, 1004, 2007, 31, 1034, 2037}));
    EXPECT_EQ(r.color, VEK_ColorType_ycbcr::instance());

    VEK_LutData two(&m);
    describe(two, 2, ramp<uint32_t>(256, 2));
    r = run_samples<uint32_t>(m, in, 2, 3, through(&two), &h);
    EXPECT_FALSE(r.made);
    EXPECT_EQ(r.code, 0x80800000u);
    EXPECT_EQ(r.line, 111u);

    r = run_samples<uint32_t>(m, in, 2, 3, through(&own, VEK_ColorType_gray::instance()), &h);
    EXPECT_FALSE(r.made);
    EXPECT_EQ(r.line, 121u);
    // One table over three channels still gives a three-channel image: a grey label would lie.
    r = run_samples<uint32_t>(m, in, 2, 3, through(&shared, VEK_ColorType_gray::instance()), &h);
    EXPECT_FALSE(r.made);
    EXPECT_EQ(r.line, 121u);
    r = run_samples<uint32_t>(m, in, 2, 3, through(&shared, VEK_ColorType_hsl::instance()), &h);
    EXPECT_TRUE(r.passed);
    EXPECT_EQ(r.color, VEK_ColorType_hsl::instance());
  }
  EXPECT_EQ(m.memory_manager().live(), 3u);
}

TEST(LutEngine, RefusesSourcesAndTablesThatDoNotFit) {
  VEK_TestManager m;
  {
    VEK_LutData t8(&m);
    describe(t8, 1, ramp<uint8_t>(256));
    VEK_LutData t16(&m);
    describe(t16, 1, ramp<uint8_t>(4096));
    const std::vector<uint32_t> in(4, 1);
    struct Case {
      uint16_t bits;
      const VEK_DataType* type;
      const VEK_LutData* lut;
      bool palette;
      int family;  // 0 VEK_Lut, 1 unsigned creator, 2 signed creator
      const char* method;
      uint32_t code, line;
    };
    const Case cases[] = {
        {16, VEK_DataType::u_integer, &t16, false, 0, "VEK_Lut8xNbitsEngine::initiate()", 0x80800000u, 111},
        {16, VEK_DataType::u_integer, &t8, false, 0, "VEK_Lut8xNbitsEngine::initiate()", 0x80800000u, 111},
        {12, VEK_DataType::unknown, &t8, false, 0, "VEK_Lut8xNbitsEngine::initiate()", 0x81000000u, 94},
        {8, VEK_DataType::u_integer, &t8, true, 0, "VEK_Lut8xNbitsEngine::initiate()", 0x81000000u, 94},
        {32, VEK_DataType::floating, &t8, false, 0, "VEK_Lut8xNbitsEngine::initiate()", 0x81000000u, 94},
        {8, VEK_DataType::s_integer, &t8, false, 1, "VEK_LutU8xNbitsEngine::initiate()", 0x81000000u, 59},
        {8, VEK_DataType::u_integer, &t8, false, 2, "VEK_LutS8xNbitsEngine::initiate()", 0x81000000u, 65},
        {8, VEK_DataType::u_integer, nullptr, false, 0, "VEK_LutU8xNbits::engine()", 0x80800000u, 0},
    };
    for (const Case& c : cases) {
      VEK_Header h(&m);
      image(h, c.bits, c.type, 1, 2, 2);
      if (c.palette) {
        h.palette().bits(8);
        h.palette().channels(1);
        h.palette().entries(1);
        const uint8_t entry = 9;
        ASSERT_TRUE(h.palette().value(&entry, 1));
      }
      TestRun<uint8_t> r = run_samples<uint8_t>(
          m, in, 2, 1,
          [&](VEK_Manager* mm, VEK_Engine* source) -> VEK_Engine* {
            if (c.family == 1) return VEK_LutU8xNbits(mm).engine(source, c.lut, nullptr);
            if (c.family == 2) return VEK_LutS8xNbits(mm).engine(source, c.lut, nullptr);
            return VEK_Lut(mm).engine(source, c.lut, nullptr);
          },
          &h);
      EXPECT_FALSE(r.made) << c.line;
      EXPECT_EQ(r.code, c.code) << c.line;
      if (c.line != 0) {
        EXPECT_EQ(r.line, c.line);
      }
    }
  }
  VEK_LutData lut(&m);
  EXPECT_EQ(VEK_Lut(&m).engine(nullptr, &lut, nullptr), nullptr);
  EXPECT_STREQ(m.status().file(), "vek_lut.cpp");
  EXPECT_EQ(m.status().line(), 48u);
  m.clear();
  EXPECT_EQ(VEK_LutS8xNbits(&m).engine(nullptr, &lut, nullptr), nullptr);
  EXPECT_EQ(m.status().line(), 52u);
  m.clear();
}

TEST(LutEngine, ATableRedescribedAfterItsBytesIsRefused) {
  // Widening the entries after value() would make the engine copy past the held bytes.
  VEK_TestManager m;
  {
    VEK_LutData lut(&m);
    describe(lut, 1, ramp<uint8_t>(256));
    lut.bits(16);
    TestRun<uint16_t> r = run_samples<uint16_t>(m, std::vector<uint8_t>{1, 2}, 2, 1, through(&lut));
    EXPECT_FALSE(r.made);
    EXPECT_EQ(r.code, 0x80800000u);
    EXPECT_EQ(r.line, 111u);
  }
  EXPECT_EQ(m.memory_manager().live(), 3u);
}

TEST(LutEngine, EveryRefusedAllocationLeavesNoLeak) {
  const std::vector<int8_t> in = {-128, 0, 1, 2, 3, 127, 5, 6, 7, 8, 9, 10};
  std::vector<int16_t> expected;
  for (size_t k = 0; k < in.size(); ++k) expected.push_back(int16_t((in[k] + 128) * 3 + 1 + (k % 3) * 1000));
  for (uint64_t n = 1;; ++n) {
    VEK_TestManager m;
    bool passed = false;
    {
      VEK_LutData lut(&m);
      describe(lut, 3, ramp<int16_t>(256, 3));
      VEK_Header h(&m);
      image(h, 8, VEK_DataType::s_integer, 3, 2, 2);
      TestRun<int16_t> r = run_samples<int16_t>(
          m, in, 2, 3,
          [&](VEK_Manager* mm, VEK_Engine* source) {
            m.memory_manager().fail_nth(n);
            return VEK_Lut(mm).engine(source, &lut, nullptr);
          },
          &h);
      passed = r.passed;
      if (passed)
        EXPECT_EQ(r.out, expected);
      else
        EXPECT_EQ(r.code, 0x80010000u) << n;
    }
    EXPECT_EQ(m.memory_manager().live(), 3u) << n;
    if (passed) break;
    ASSERT_LT(n, 100u);
  }
}
