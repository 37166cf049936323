#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "vek_lut.h"
#include "vek_test_image.h"

namespace {

// Entry i of block c holds i * 3 + 1 + c * 1000.
template <class T>
void describe(VEK_LutData& lut, uint32_t entries, uint16_t channels = 1,
              const VEK_DataType* type = test_data_type<T>()) {
  std::vector<T> values;
  for (uint32_t c = 0; c < channels; ++c)
    for (uint32_t i = 0; i < entries; ++i) values.push_back(T(i * 3 + 1 + c * 1000));
  lut.bits(uint16_t(sizeof(T) * 8));
  lut.channels(channels);
  lut.entries(entries);
  lut.data_type(type);
  ASSERT_TRUE(lut.value(values.data(), uint32_t(values.size() * sizeof(T))));
}

auto through(const VEK_LutData* lut, const VEK_ColorType* color = nullptr) {
  return [=](VEK_Manager* m, VEK_Engine* source) { return VEK_Lut(m).engine(source, lut, color); };
}

}  // namespace

TEST(LutData, ValueTakesOnlyATableOfTheDescribedSize) {
  VEK_TestManager m;
  {
    VEK_LutData lut(&m);
    EXPECT_TRUE(lut.value(nullptr, 0));
    describe<uint8_t>(lut, 256);
    const uint8_t* held = lut.table();
    std::vector<uint8_t> other(1 << 19, 0);
    EXPECT_FALSE(lut.value(other.data(), 255));  // one byte short
    EXPECT_STREQ(m.status().file(), "vek_lutdata.cpp");
    EXPECT_EQ(m.status().line(), 197u);
    // 1025 x 64 x 65536 is 2^22 once cut to 32 bits: half a megabyte must not pass for 537.
    lut.bits(64);
    lut.channels(1025);
    lut.entries(65536);
    EXPECT_FALSE(lut.value(other.data(), uint32_t(other.size())));
    EXPECT_EQ(lut.table(), held);  // the old table stays
    lut.channels(1);
    lut.data_type(nullptr);
    EXPECT_FALSE(lut.is_valid());
    m.clear();
  }
  EXPECT_EQ(m.memory_manager().live(), 3u);
}

TEST(LutEngine, EverySourceTypeIndexesItsTableAndTakesItsType) {
  VEK_TestManager m;
  VEK_LutData s16(&m), u32(&m), f64(&m), unknown(&m);
  describe<int16_t>(s16, 256);
  describe<uint32_t>(u32, 65536);
  describe<double>(f64, 65536);
  describe<int32_t>(unknown, 256, 1, VEK_DataType::unknown);  // served by the float member
  // Signed sources: -128 reads entry 0, 0 entry 128.
  EXPECT_EQ(mapped<int16_t>(std::vector<int8_t>{-128, 0, 127}, through(&s16)), (std::vector<int16_t>{1, 385, 766}));
  EXPECT_EQ(mapped<uint32_t>(std::vector<int16_t>{-32768, 32767}, through(&u32)), (std::vector<uint32_t>{1, 196606}));
  EXPECT_EQ(mapped<double>(std::vector<uint16_t>{0, 65535}, through(&f64)), (std::vector<double>{1, 196606}));
  TestRun<int32_t> r = run_samples<int32_t>(m, std::vector<uint8_t>{2}, through(&unknown));
  EXPECT_EQ(r.out, (std::vector<int32_t>{7}));
  EXPECT_EQ(r.type, VEK_DataType::unknown);
}

TEST(LutEngine, ChannelsShareOneTableOrUseTheirOwnAndTheLabelMustFit) {
  VEK_TestManager m;
  const std::vector<uint8_t> in = {0, 1, 2, 10, 11, 12};  // two pixels of three channels
  VEK_Header h(&m);
  set_image(h, 8, VEK_DataType::u_integer, 3, 2, 1);
  h.color_type(VEK_ColorType_s_rgb::instance());
  VEK_LutData shared(&m), own(&m), two(&m);
  describe<uint16_t>(shared, 256);
  describe<uint16_t>(own, 256, 3);
  describe<uint16_t>(two, 256, 2);
  EXPECT_EQ(run_samples<uint16_t>(m, in, through(&shared), &h).out, (std::vector<uint16_t>{1, 4, 7, 31, 34, 37}));
  TestRun<uint16_t> r = run_samples<uint16_t>(m, in, through(&own, VEK_ColorType_ycbcr::instance()), &h);
  EXPECT_EQ(r.out, (std::vector<uint16_t>{1, 1004, 2007, 31, 1034, 2037}));
  EXPECT_EQ(r.color, VEK_ColorType_ycbcr::instance());
  EXPECT_EQ(run_samples<uint16_t>(m, in, through(&two), &h).line, 111u);
  EXPECT_EQ(run_samples<uint16_t>(m, in, through(&own, VEK_ColorType_gray::instance()), &h).line, 121u);
  // One table over three channels still gives three channels: a grey label would lie.
  EXPECT_EQ(run_samples<uint16_t>(m, in, through(&shared, VEK_ColorType_gray::instance()), &h).line, 121u);
}

TEST(LutEngine, RefusesSourcesAndTablesThatDoNotFitAndLeaksNothing) {
  VEK_TestManager lm;
  VEK_LutData t8(&lm), t4096(&lm), widened(&lm), three(&lm);
  describe<uint8_t>(t8, 256);
  describe<uint8_t>(t4096, 4096);
  describe<uint8_t>(widened, 256);
  widened.bits(16);  // after value(): the engine would copy past the bytes held
  const VEK_DataType* u = VEK_DataType::u_integer;
  auto unsigned_family = [&](VEK_Manager* m, VEK_Engine* e) { return VEK_LutU8xNbits(m).engine(e, &t8, nullptr); };
  auto signed_family = [&](VEK_Manager* m, VEK_Engine* e) { return VEK_LutS8xNbits(m).engine(e, &t8, nullptr); };
  EXPECT_EQ(refused(16, u, false, through(&t4096)).line, 111u);
  EXPECT_EQ(refused(8, u, false, through(&widened)).line, 111u);
  EXPECT_EQ(refused(12, VEK_DataType::unknown, false, through(&t8)).line, 94u);
  EXPECT_EQ(refused(8, u, true, through(&t8)).line, 94u);
  EXPECT_EQ(refused(8, VEK_DataType::s_integer, false, unsigned_family).line, 59u);
  EXPECT_EQ(refused(8, u, false, signed_family).line, 65u);
  EXPECT_EQ(refused(8, u, false, through(nullptr)).code, 0x80800000u);
  VEK_TestManager m;
  EXPECT_EQ(VEK_Lut(&m).engine(nullptr, &t8, nullptr), nullptr);
  EXPECT_STREQ(m.status().file(), "vek_lut.cpp");
  EXPECT_EQ(m.status().line(), 48u);

  describe<int16_t>(three, 256, 3);
  VEK_Header h(&lm);
  set_image(h, 8, VEK_DataType::s_integer, 3, 2, 2);
  const std::vector<int8_t> in = {-128, 0, 1, 2, 3, 127, 5, 6, 7, 8, 9, 10};
  std::vector<int16_t> want;
  for (size_t k = 0; k < in.size(); ++k) want.push_back(int16_t((in[k] + 128) * 3 + 1 + (k % 3) * 1000));
  expect_no_leak_when_memory_runs_out(in, through(&three), want, &h);
}
