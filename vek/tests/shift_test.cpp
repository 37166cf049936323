#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "vek_shiftdata.h"
#include "vek_test_image.h"
#include "vek_test_support.h"

namespace {

auto shift(const VEK_DataType* type, uint16_t bits, int16_t count, bool with_limit) {
  return [=](VEK_Manager* m, VEK_Engine* source) {
    return VEK_ShiftData(m).engine(source, type, bits, count, with_limit);
  };
}

template <class D, class S>
std::vector<D> shifted(const std::vector<S>& in, int16_t count, bool with_limit) {
  VEK_TestManager m;
  TestRun<D> r = run_samples<D>(m, in, uint32_t(in.size()), 1,
                                shift(test_data_type<D>(), uint16_t(sizeof(D) * 8), count, with_limit));
  EXPECT_TRUE(r.passed) << std::hex << r.code << std::dec << " line " << r.line;
  EXPECT_EQ(r.type, test_data_type<D>());
  EXPECT_EQ(m.memory_manager().live(), 3u);
  return r.out;
}

struct Refusal {
  uint32_t code = 0;
  uint32_t line = 0;
  std::string method;
};

// What the manager holds after asking for a shift of a 2 x 2 image.
Refusal refused(uint16_t source_bits, const VEK_DataType* source_type, bool palette, const VEK_DataType* type,
                uint16_t bits, int16_t count, bool with_limit) {
  VEK_TestManager m;
  Refusal out;
  {
    VEK_Header h(&m);
    h.width(2);
    h.height(2);
    h.channels(1);
    h.bits(source_bits);
    h.data_type(source_type);
    if (palette) {
      h.palette().bits(8);
      h.palette().channels(1);
      h.palette().entries(1);
      const uint8_t entry = 0;
      EXPECT_TRUE(h.palette().value(&entry, 1));
    }
    TestImageFamily family(&m);
    const std::vector<uint64_t> in(4, 0);
    VEK_Engine* source = family.samples(h, in.data());
    EXPECT_NE(source, nullptr);
    EXPECT_EQ(VEK_ShiftData(&m).engine(source, type, bits, count, with_limit), nullptr);
    out = {m.status().full_code(), m.status().line(), m.status().method()};
    m.clear();
  }
  EXPECT_EQ(m.memory_manager().live(), 3u);
  return out;
}

}  // namespace

TEST(ShiftUnlimited, RoundsRightShiftsHalfAwayAndCutsOverflow) {
  EXPECT_EQ(shifted<uint8_t>(std::vector<uint8_t>{0, 1, 2, 3, 6, 7, 127, 255}, -2, false),
            (std::vector<uint8_t>{0, 0, 1, 1, 2, 2, 32, 64}));
  EXPECT_EQ(shifted<int8_t>(std::vector<int8_t>{-1, -2, -3, 3, 127, -128}, -1, false),
            (std::vector<int8_t>{-1, -1, -2, 2, 64, -64}));
  EXPECT_EQ(shifted<int16_t>(std::vector<int16_t>{5, -5, -1, -2}, -1, false), (std::vector<int16_t>{3, -3, -1, -1}));
  EXPECT_EQ(shifted<int16_t>(std::vector<int16_t>{-3, -5, -6, 6}, -2, false), (std::vector<int16_t>{-1, -1, -2, 2}));
  EXPECT_EQ(shifted<int32_t>(std::vector<int32_t>{INT32_MIN, INT32_MAX, 1073741823, 1073741824}, -31, false),
            (std::vector<int32_t>{-1, 1, 0, 1}));
  EXPECT_EQ(shifted<uint32_t>(std::vector<uint32_t>{0xFFFFFFFFu, 3u}, -1, false),
            (std::vector<uint32_t>{2147483648u, 2u}));
  // Unlimited: the low bits of what does not fit.
  EXPECT_EQ(shifted<uint8_t>(std::vector<uint8_t>{200}, 1, false), (std::vector<uint8_t>{144}));
  EXPECT_EQ(shifted<uint8_t>(std::vector<uint16_t>{65535}, -8, false), (std::vector<uint8_t>{0}));
  EXPECT_EQ(shifted<uint16_t>(std::vector<int8_t>{-1, 5}, 0, false), (std::vector<uint16_t>{65535, 5}));
  EXPECT_EQ(shifted<int32_t>(std::vector<int8_t>{-1, -128}, 0, false), (std::vector<int32_t>{-1, -128}));
  EXPECT_EQ(shifted<int32_t>(std::vector<int16_t>{-32768, 32767}, 16, false),
            (std::vector<int32_t>{INT32_MIN, 32767 << 16}));
  EXPECT_EQ(shifted<uint32_t>(std::vector<uint8_t>{1, 3}, 31, false),
            (std::vector<uint32_t>{0x80000000u, 0x80000000u}));
}

TEST(ShiftUnlimited, SameTypeWithoutShiftIsTheSourceItself) {
  VEK_TestManager m;
  TestRun<int16_t> r =
      run_samples<int16_t>(m, std::vector<int16_t>{1, -2}, 2, 1, [](VEK_Manager* mm, VEK_Engine* source) {
        VEK_Engine* e = VEK_ShiftDataNL(mm).engine(source, VEK_DataType::s_integer, 16, 0);
        EXPECT_EQ(e, source);
        EXPECT_EQ(VEK_ShiftDataWL(mm).engine(source, VEK_DataType::s_integer, 16, 0), source);
        return e;
      });
  EXPECT_TRUE(r.passed);
  EXPECT_EQ(r.out, (std::vector<int16_t>{1, -2}));
  EXPECT_EQ(m.memory_manager().live(), 3u);
}

TEST(ShiftLimited, ClampsEveryModeIntoTheOutputRange) {
  EXPECT_EQ(shifted<uint8_t>(std::vector<uint8_t>{100, 128, 255, 0}, 1, true),
            (std::vector<uint8_t>{200, 255, 255, 0}));
  EXPECT_EQ(shifted<uint8_t>(std::vector<uint16_t>{65535, 32767, 127, 128}, -8, true),
            (std::vector<uint8_t>{255, 128, 0, 1}));
  EXPECT_EQ(shifted<uint8_t>(std::vector<int16_t>{-5, 0, 7, 8, 4095}, -4, true),
            (std::vector<uint8_t>{0, 0, 0, 1, 255}));
  EXPECT_EQ(shifted<int8_t>(std::vector<int16_t>{32767, -32768, -129, -128, -127, 128}, -8, true),
            (std::vector<int8_t>{127, -128, -1, -1, 0, 1}));
  EXPECT_EQ(shifted<int8_t>(std::vector<int8_t>{63, 64, -64, -65}, 1, true),
            (std::vector<int8_t>{126, 127, -128, -128}));
  EXPECT_EQ(shifted<uint16_t>(std::vector<int16_t>{-1, 32767, 0}, 0, true), (std::vector<uint16_t>{0, 32767, 0}));
  EXPECT_EQ(shifted<int8_t>(std::vector<int16_t>{300, -300, -5, 0}, 0, true), (std::vector<int8_t>{127, -128, -5, 0}));
  EXPECT_EQ(shifted<int16_t>(std::vector<uint16_t>{40000, 5}, 0, true), (std::vector<int16_t>{32767, 5}));
  EXPECT_EQ(shifted<int32_t>(std::vector<int32_t>{1 << 30, -(1 << 30) - 1, -(1 << 30)}, 1, true),
            (std::vector<int32_t>{INT32_MAX, INT32_MIN, INT32_MIN}));
  EXPECT_EQ(shifted<uint16_t>(std::vector<int8_t>{-1, 3, 127}, 9, true), (std::vector<uint16_t>{0, 1536, 65024}));
  EXPECT_EQ(shifted<uint32_t>(std::vector<int32_t>{INT32_MAX, -7, 4}, -31, true), (std::vector<uint32_t>{1, 0, 0}));
  EXPECT_EQ(shifted<int32_t>(std::vector<uint32_t>{0xFFFFFFFFu, 0x7FFFFFFFu, 2}, 0, true),
            (std::vector<int32_t>{INT32_MAX, INT32_MAX, 2}));
  EXPECT_EQ(shifted<int32_t>(std::vector<uint8_t>{1, 0}, 31, true), (std::vector<int32_t>{INT32_MAX, 0}));
  EXPECT_EQ(shifted<int32_t>(std::vector<int8_t>{-1, -2, 1}, 31, true),
            (std::vector<int32_t>{INT32_MIN, INT32_MIN, INT32_MAX}));
}

TEST(ShiftLimited, NeedsLimitOnlyBeyondTheHeadroom) {
  struct Case {
    uint16_t source_bits;
    const VEK_DataType* source_type;
    uint16_t bits;
    const VEK_DataType* type;
    int16_t headroom;
    uint8_t mode;
  };
  const VEK_DataType* u = VEK_DataType::u_integer;
  const VEK_DataType* s = VEK_DataType::s_integer;
  const Case cases[] = {{8, u, 16, u, 8, 0},   {8, u, 16, s, 7, 0},   {8, s, 16, s, 8, 2},  {16, u, 32, u, 16, 0},
                        {16, u, 16, u, -1, 0}, {16, u, 16, s, -2, 0}, {16, u, 8, u, -9, 0}, {16, s, 8, s, -9, 2},
                        {32, u, 32, s, -2, 0}, {16, s, 32, s, 16, 2}};
  VEK_TestManager m;
  for (const Case& c : cases) {
    VEK_Header h(&m);
    h.bits(c.source_bits);
    h.data_type(c.source_type);
    uint8_t mode = 9;
    EXPECT_FALSE(needs_limit(&h, c.type, c.bits, c.headroom, mode)) << c.source_bits << "->" << c.bits;
    EXPECT_EQ(mode, c.mode);
    EXPECT_TRUE(needs_limit(&h, c.type, c.bits, int16_t(c.headroom + 1), mode)) << c.source_bits << "->" << c.bits;
  }
  VEK_Header h(&m);
  h.bits(8);
  h.data_type(s);
  uint8_t mode = 9;
  EXPECT_TRUE(needs_limit(&h, u, 32, -31, mode));  // negative samples must become 0
  EXPECT_EQ(mode, 1);
}

TEST(Shift, RefusalsNameTheFamilyThatWasChosen) {
  const VEK_DataType* u = VEK_DataType::u_integer;
  const VEK_DataType* s = VEK_DataType::s_integer;
  const VEK_DataType* f = VEK_DataType::floating;
  const std::string nl = "VEK_ShiftDataNLEngine::initiate()";
  const std::string wl = "VEK_ShiftDataWLEngine::initiate()";
  struct Case {
    uint16_t source_bits;
    const VEK_DataType* source_type;
    bool palette;
    const VEK_DataType* type;
    uint16_t bits;
    int16_t count;
    bool with_limit;
    uint32_t code, line;
    std::string method;
  };
  const Case cases[] = {
      {8, u, false, u, 16, 32, false, 0x80800000u, 206, nl}, {8, u, false, u, 16, -32, false, 0x80800000u, 206, nl},
      {8, u, false, u, 12, 1, false, 0x81000000u, 192, nl},  {8, u, false, f, 32, 1, false, 0x81000000u, 199, nl},
      {8, u, true, u, 8, 1, false, 0x81000000u, 184, nl},    {32, f, false, u, 8, 1, false, 0x81000000u, 184, nl},
      {8, u, false, u, 16, 32, true, 0x80800000u, 411, wl},  {8, u, false, u, 24, 20, true, 0x81000000u, 397, wl},
      {8, u, false, f, 32, 30, true, 0x81000000u, 404, wl},  {8, u, true, s, 8, 1, true, 0x81000000u, 389, wl},
      {8, u, false, u, 24, 1, true, 0x81000000u, 192, nl},   {8, u, false, u, 24, 16, true, 0x81000000u, 192, nl},
      {8, u, false, u, 24, 17, true, 0x81000000u, 397, wl},
  };
  for (const Case& c : cases) {
    const Refusal r = refused(c.source_bits, c.source_type, c.palette, c.type, c.bits, c.count, c.with_limit);
    EXPECT_EQ(r.code, c.code) << c.line;
    EXPECT_EQ(r.line, c.line);
    EXPECT_EQ(r.method, c.method) << c.line;
  }
  VEK_TestManager m;
  EXPECT_EQ(VEK_ShiftData(&m).engine(nullptr, u, 8, 1, false), nullptr);
  EXPECT_STREQ(m.status().file(), "vek_shiftdatanl.cpp");
  EXPECT_EQ(m.status().line(), 53u);
  m.clear();
  EXPECT_EQ(VEK_ShiftData(&m).engine(nullptr, u, 8, 1, true), nullptr);
  EXPECT_STREQ(m.status().method(), "VEK_ShiftDataWL::engine()");
  EXPECT_EQ(m.status().line(), 54u);
  m.clear();
}

TEST(Shift, EveryRefusedAllocationLeavesNoLeak) {
  const std::vector<int16_t> in = {-300, -1, 0, 1, 127, 128, 300, 32767};
  for (bool with_limit : {false, true}) {
    for (uint64_t n = 1;; ++n) {
      VEK_TestManager m;
      TestRun<int8_t> r = run_samples<int8_t>(m, in, 4, 1, [&](VEK_Manager* mm, VEK_Engine* source) {
        m.memory_manager().fail_nth(n);
        return VEK_ShiftData(mm).engine(source, VEK_DataType::s_integer, 8, -1, with_limit);
      });
      EXPECT_EQ(m.memory_manager().live(), 3u) << n;
      if (r.passed) {
        if (with_limit) {
          EXPECT_EQ(r.out, (std::vector<int8_t>{-128, -1, 0, 1, 64, 64, 127, 127}));
        }
        break;
      }
      EXPECT_EQ(r.code, 0x80010000u) << n;
      ASSERT_LT(n, 100u);
    }
  }
}
