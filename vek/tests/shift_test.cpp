#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "vek_shiftdata.h"
#include "vek_test_image.h"

namespace {

auto shift(const VEK_DataType* type, uint16_t bits, int16_t count, bool with_limit) {
  return [=](VEK_Manager* m, VEK_Engine* source) {
    return VEK_ShiftData(m).engine(source, type, bits, count, with_limit);
  };
}

template <class D, class S>
std::vector<D> shifted(const std::vector<S>& in, int16_t count, bool with_limit) {
  return mapped<D>(in, shift(test_data_type<D>(), sizeof(D) * 8, count, with_limit));
}

}  // namespace

TEST(ShiftUnlimited, RoundsRightShiftsHalfAwayAndCutsWhatDoesNotFit) {
  EXPECT_EQ(shifted<int8_t>(std::vector<int8_t>{-1, -2, -3, 3, 127, -128}, -1, false),
            (std::vector<int8_t>{-1, -1, -2, 2, 64, -64}));
  EXPECT_EQ(shifted<int32_t>(std::vector<int32_t>{INT32_MIN, INT32_MAX, 1073741823, 1073741824}, -31, false),
            (std::vector<int32_t>{-1, 1, 0, 1}));
  EXPECT_EQ(shifted<uint32_t>(std::vector<uint32_t>{0xFFFFFFFFu, 3u}, -1, false),
            (std::vector<uint32_t>{2147483648u, 2u}));
  EXPECT_EQ(shifted<uint8_t>(std::vector<uint8_t>{200}, 1, false), (std::vector<uint8_t>{144}));
  EXPECT_EQ(shifted<uint8_t>(std::vector<uint16_t>{65535}, -8, false), (std::vector<uint8_t>{0}));
  EXPECT_EQ(shifted<uint16_t>(std::vector<int8_t>{-1, 5}, 0, false), (std::vector<uint16_t>{65535, 5}));
  EXPECT_EQ(shifted<int32_t>(std::vector<int16_t>{-32768, 32767}, 16, false),
            (std::vector<int32_t>{INT32_MIN, 32767 << 16}));
  VEK_TestManager m;
  auto same = [](VEK_Manager* mm, VEK_Engine* source) {
    VEK_Engine* e = VEK_ShiftDataNL(mm).engine(source, VEK_DataType::s_integer, 16, 0);
    return e == source && VEK_ShiftDataWL(mm).engine(source, VEK_DataType::s_integer, 16, 0) == source ? e : nullptr;
  };
  EXPECT_EQ(run_samples<int16_t>(m, std::vector<int16_t>{1, -2}, same).out, (std::vector<int16_t>{1, -2}));
}

TEST(ShiftLimited, ClampsEveryModeIntoTheOutputRange) {
  EXPECT_EQ(shifted<uint8_t>(std::vector<uint16_t>{65535, 32767, 127, 128}, -8, true),
            (std::vector<uint8_t>{255, 128, 0, 1}));
  EXPECT_EQ(shifted<uint8_t>(std::vector<int16_t>{-5, 0, 7, 8, 4095}, -4, true),
            (std::vector<uint8_t>{0, 0, 0, 1, 255}));
  EXPECT_EQ(shifted<int8_t>(std::vector<int16_t>{32767, -32768, -129, -128, -127, 128}, -8, true),
            (std::vector<int8_t>{127, -128, -1, -1, 0, 1}));
  EXPECT_EQ(shifted<int8_t>(std::vector<int8_t>{63, 64, -64, -65}, 1, true),
            (std::vector<int8_t>{126, 127, -128, -128}));
  EXPECT_EQ(shifted<int32_t>(std::vector<int32_t>{1 << 30, -(1 << 30) - 1}, 1, true),
            (std::vector<int32_t>{INT32_MAX, INT32_MIN}));
  EXPECT_EQ(shifted<uint32_t>(std::vector<int32_t>{INT32_MAX, -7}, -31, true), (std::vector<uint32_t>{1, 0}));
  EXPECT_EQ(shifted<int32_t>(std::vector<uint32_t>{0xFFFFFFFFu, 2}, 0, true), (std::vector<int32_t>{INT32_MAX, 2}));
  EXPECT_EQ(shifted<int32_t>(std::vector<int8_t>{-1, -2, 1, 0}, 31, true),
            (std::vector<int32_t>{INT32_MIN, INT32_MIN, INT32_MAX, 0}));
}

TEST(Shift, RefusalsNameTheFamilyThatWasChosen) {
  const VEK_DataType* u = VEK_DataType::u_integer;
  const VEK_DataType* f = VEK_DataType::floating;
  const std::string nl = "VEK_ShiftDataNLEngine::initiate()";
  const std::string wl = "VEK_ShiftDataWLEngine::initiate()";
  struct Case {
    TestRun<uint8_t> run;
    uint32_t code, line;
    std::string method;
  };
  const Case cases[] = {
      {refused(8, u, false, shift(u, 16, 32, false)), 0x80800000u, 206, nl},
      {refused(8, u, false, shift(u, 12, 1, false)), 0x81000000u, 192, nl},
      {refused(8, u, false, shift(f, 32, 1, false)), 0x81000000u, 199, nl},
      {refused(8, u, true, shift(u, 8, 1, false)), 0x81000000u, 184, nl},
      {refused(32, f, false, shift(u, 8, 1, false)), 0x81000000u, 184, nl},
      {refused(8, u, false, shift(u, 16, 32, true)), 0x80800000u, 411, wl},
      {refused(8, u, false, shift(f, 32, 30, true)), 0x81000000u, 404, wl},
      // 8 to 24 bits has 16 bits of headroom: up to there the unlimited family is chosen.
      {refused(8, u, false, shift(u, 24, 16, true)), 0x81000000u, 192, nl},
      {refused(8, u, false, shift(u, 24, 17, true)), 0x81000000u, 397, wl},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.run.code, c.code) << c.line;
    EXPECT_EQ(c.run.line, c.line);
    EXPECT_EQ(c.run.method, c.method) << c.line;
  }
  VEK_TestManager m;
  EXPECT_EQ(VEK_ShiftData(&m).engine(nullptr, u, 8, 1, false), nullptr);
  EXPECT_STREQ(m.status().file(), "vek_shiftdatanl.cpp");
  EXPECT_EQ(m.status().line(), 53u);
  m.clear();
  EXPECT_EQ(VEK_ShiftData(&m).engine(nullptr, u, 8, 1, true), nullptr);
  EXPECT_STREQ(m.status().method(), "VEK_ShiftDataWL::engine()");
  EXPECT_EQ(m.status().line(), 54u);
}

TEST(Shift, EveryRefusedAllocationLeavesNoLeak) {
  const std::vector<int16_t> in = {-300, -1, 0, 1, 127, 128, 300, 32767};
  expect_no_leak_when_memory_runs_out(in, shift(VEK_DataType::s_integer, 8, -1, true),
                                      std::vector<int8_t>{-128, -1, 0, 1, 64, 64, 127, 127});
  expect_no_leak_when_memory_runs_out(in, shift(VEK_DataType::s_integer, 16, 1, false),
                                      std::vector<int16_t>{-600, -2, 0, 2, 254, 256, 600, -2});
}
