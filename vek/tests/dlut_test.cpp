#include <gtest/gtest.h>

#include <random>

#include "vek_dlut.h"
#include "vek_test_image.h"
#include "vek_test_oracle.h"

namespace {

struct Table {
  uint16_t bits = 8, out = 3, grid = 5;
  bool slowest_first = true;
  std::vector<uint16_t> entries;  // as many as grid^n x out, in the table's own width
  const VEK_ColorType* color = nullptr;
};

uint64_t entry_count(const Table& t, uint16_t n) {
  uint64_t e = t.out;
  for (uint16_t k = 0; k < n; ++k) e *= t.grid;
  return e;
}

template <class S>
auto op(const Table& t) {
  return [&t](VEK_Manager* m, VEK_Engine* source) {
    std::vector<uint8_t> bytes;
    for (uint16_t e : t.entries) {
      bytes.push_back(uint8_t(e));
    }
    const void* table = t.bits == 16 ? static_cast<const void*>(t.entries.data()) : bytes.data();
    return VEK_DLutTetrahedron(m).engine(source, t.bits, t.out, t.grid, t.slowest_first,
                                         t.entries.empty() ? nullptr : table, t.color);
  };
}

template <class S>
TestRun<S> through(VEK_TestManager& m, const Table& t, uint16_t n, const std::vector<S>& pixels, uint16_t bits = 0) {
  VEK_Header h(&m);
  make(h, uint32_t(pixels.size() / n), 1, bits != 0 ? bits : uint16_t(sizeof(S) * 8), n);
  return run_samples<S>(m, pixels, op<S>(t), &h);
}

template <class S>
void expect_refused_table(const Table& t, uint16_t n, uint32_t code, const char* method, uint16_t bits = 0) {
  VEK_TestManager m;
  const TestRun<S> r = through<S>(m, t, n, std::vector<S>(n, 1), bits);
  EXPECT_FALSE(r.made);
  EXPECT_EQ(r.code, code);
  EXPECT_EQ(r.method, method);
  EXPECT_EQ(m.memory_manager().live(), kManagerParts);
}

}  // namespace

TEST(DLut, AConstantTableGivesItsValueEverywhere) {
  std::mt19937 random(3);
  for (uint16_t n = 1; n <= 4; ++n) {
    Table t;
    t.grid = 3 + n;
    t.out = 2;
    t.entries.assign(entry_count(t, n), 0);
    for (size_t i = 0; i < t.entries.size(); ++i) t.entries[i] = i % 2 ? 77 : 200;
    std::vector<uint8_t> narrow(n * 64);
    std::vector<uint16_t> wide(n * 64);
    for (size_t i = 0; i < narrow.size(); ++i) narrow[i] = uint8_t(random()), wide[i] = uint16_t(random());
    narrow[0] = 255, wide[0] = 65535;
    VEK_TestManager m;
    const TestRun<uint8_t> a = through(m, t, n, narrow);
    ASSERT_TRUE(a.passed) << std::hex << a.code;
    for (size_t i = 0; i < a.out.size(); ++i) ASSERT_EQ(a.out[i], i % 2 ? 77 : 200) << n;
    const TestRun<uint16_t> b = through(m, t, n, wide);
    for (size_t i = 0; i < b.out.size(); ++i) ASSERT_EQ(b.out[i], i % 2 ? 77 * 257 : 200 * 257) << n;
  }
}

TEST(DLut, TheTopValueGivesTheLastGridPointExactly) {
  std::mt19937 random(5);
  for (bool slowest_first : {true, false}) {
    Table t;
    t.grid = 33;
    t.bits = 16;
    t.slowest_first = slowest_first;
    t.entries.resize(entry_count(t, 3));
    for (uint16_t& e : t.entries) e = uint16_t(random());
    const size_t last = t.entries.size() - 3;
    VEK_TestManager m;
    EXPECT_EQ(through(m, t, 3, std::vector<uint16_t>{65535, 65535, 65535}).out,
              (std::vector<uint16_t>{t.entries[last], t.entries[last + 1], t.entries[last + 2]}));
    EXPECT_EQ(through(m, t, 3, std::vector<uint8_t>{255, 255, 255}).out,
              (std::vector<uint8_t>{uint8_t(t.entries[last] / 257), uint8_t(t.entries[last + 1] / 257),
                                    uint8_t(t.entries[last + 2] / 257)}));
    // 0 is the first grid point.
    EXPECT_EQ(through(m, t, 3, std::vector<uint16_t>{0, 0, 0}).out,
              (std::vector<uint16_t>{t.entries[0], t.entries[1], t.entries[2]}));
  }
}

TEST(DLut, TablesOfTheOtherWidthAreScaledBy257) {
  Table t;
  t.bits = 16;
  t.out = 1;
  t.grid = 2;
  VEK_TestManager m;
  for (auto [entry, want] : {std::pair<uint16_t, uint8_t>{65535, 255}, {256, 0}, {257, 1}, {514, 2}}) {
    t.entries.assign(4, entry);
    EXPECT_EQ(through(m, t, 2, std::vector<uint8_t>{3, 250}).out, std::vector<uint8_t>{want});
  }
  t.bits = 8;
  t.entries.assign(4, 255);
  EXPECT_EQ(through(m, t, 2, std::vector<uint16_t>{3, 60000}).out, std::vector<uint16_t>{65535});
}

TEST(DLut, RefusesGridsChannelsAndSourcesItCannotServe) {
  Table t;
  t.out = 1;
  t.grid = 65;
  t.entries.assign(65 * 65, 9);
  {
    VEK_TestManager m;
    EXPECT_EQ(through(m, t, 2, std::vector<uint8_t>{0, 255, 128, 3}).out, (std::vector<uint8_t>{9, 9}));
  }
  for (uint16_t grid : {1, 66}) {
    t.grid = grid;
    expect_refused_table<uint8_t>(t, 2, 0x80800000u, "VEK_DLutEngine::initiate()");
  }
  t.grid = 2;
  t.out = 17;
  t.entries.assign(4 * 17, 1);
  expect_refused_table<uint8_t>(t, 2, 0x80800000u, "VEK_DLutEngine::initiate()");
  t.out = 1;
  t.bits = 12;
  expect_refused_table<uint8_t>(t, 2, 0x80800000u, "VEK_DLutEngine::initiate()");
  t.bits = 8;
  t.entries.clear();  // no table
  expect_refused_table<uint8_t>(t, 2, 0x80800000u, "VEK_DLutEngine::initiate()");
  t.entries.assign(1u << 17, 1);
  expect_refused_table<uint8_t>(t, 17, 0x81000000u, "VEK_DLutEngine::initiate()");
  expect_refused_table<uint16_t>(t, 1, 0x81000000u, "VEK_DLutTetrahedron::engine()", 12);
  {
    VEK_TestManager m;
    EXPECT_EQ(VEK_DLutTetrahedron(&m).engine(nullptr, 8, 1, 2, true, t.entries.data(), nullptr), nullptr);
    expect_refused(m, 0x80800000u, "VEK_DLutTetrahedron::engine()", "vek_dluttetrahedron.cpp");
  }
}

TEST(DLut, TablesBeyondThirtyTwoBitsAreRefusedBeforeAnyAllocation) {
  // 65^6 x 16 entries of two bytes: far beyond a 32-bit size, though each factor is allowed.
  Table t;
  t.grid = 65;
  t.out = 16;
  t.entries.assign(16, 1);  // never read
  VEK_TestManager m;
  VEK_Header h(&m);
  make(h, 1, 1, 16, 6);
  const std::vector<uint16_t> in(6, 1);
  VEK_Engine* source = read_samples(m, h, in);
  const uint64_t before = m.memory_manager().allocations();
  EXPECT_EQ(op<uint16_t>(t)(&m, source), nullptr);
  EXPECT_LT(m.memory_manager().allocations() - before, 6u);  // reader and engine, no table
  expect_refused(m, 0x80800000u, "VEK_DLutEngine::initiate()", "vek_dlutengine.cpp");
  // 16 channels of 65 points overflow even 64 bits when multiplied out naively.
  make(h, 1, 1, 8, 16);
  source = read_samples(m, h, std::vector<uint8_t>(16, 1));
  EXPECT_EQ(op<uint8_t>(t)(&m, source), nullptr);
  expect_refused(m, 0x80800000u, "VEK_DLutEngine::initiate()", "vek_dlutengine.cpp");
}

TEST(DLut, RandomTablesEqualTheTetrahedralRuleInNumpy) {
  if (!oracle_available()) GTEST_SKIP() << "python3 with numpy absent";
  std::mt19937 random(11);
  // Each table's run and its two tie rules, checked once one python has run them all.
  struct Case {
    std::string where;
    std::vector<uint8_t> narrow;
    std::vector<uint16_t> wide;
    size_t low, high;
  };
  std::vector<Case> cases;
  OracleBatch batch;
  for (uint16_t n = 1; n <= 5; ++n)
    for (bool slowest_first : {true, false})
      for (uint16_t bits : {8, 16})
        for (uint16_t table_bits : {8, 16}) {
          Table t;
          t.bits = table_bits;
          t.out = uint16_t(1 + random() % 4);
          t.grid = uint16_t(n <= 3 ? 2 + random() % 16 : 2 + random() % 6);
          t.slowest_first = slowest_first;
          t.entries.resize(entry_count(t, n));
          for (uint16_t& e : t.entries) e = uint16_t(table_bits == 8 ? random() & 0xFF : random());
          // Random pixels, the extremes, and pixels whose channels share a value (tied fractions).
          std::vector<uint16_t> pixels(n * 3000);
          const uint32_t top = (1u << bits) - 1;
          for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = uint16_t(random() & top);
          for (size_t p = 0; p < 1000; ++p)
            for (uint16_t k = 1; k < n; ++k) pixels[p * n + k] = pixels[p * n + (k - 1) * (random() % 2)];
          for (uint16_t k = 0; k < n; ++k) pixels[k] = uint16_t(top), pixels[n + k] = 0;
          const std::string params = "n=" + std::to_string(n) + " m=" + std::to_string(t.out) +
                                     " grid=" + std::to_string(t.grid) + " order=" + (slowest_first ? "1" : "0") +
                                     " bits=" + std::to_string(bits) + " table_bits=" + std::to_string(table_bits);
          const std::string id = std::to_string(cases.size());
          std::string table_path;
          if (table_bits == 8)
            table_path = oracle_write("table" + id, std::vector<uint8_t>(t.entries.begin(), t.entries.end()));
          else
            table_path = oracle_write("table" + id, t.entries);
          VEK_TestManager m;
          Case c{params, {}, {}, 0, 0};
          std::string path;
          if (bits == 8) {
            const std::vector<uint8_t> in(pixels.begin(), pixels.end());
            path = oracle_write("pixels" + id, in);
            const TestRun<uint8_t> r = through(m, t, n, in);
            ASSERT_TRUE(r.passed) << params;
            c.narrow = r.out;
          } else {
            path = oracle_write("pixels" + id, pixels);
            const TestRun<uint16_t> r = through(m, t, n, pixels);
            ASSERT_TRUE(r.passed) << params;
            c.wide = r.out;
          }
          c.low = batch.add("tetrahedral", params + " table=" + table_path + " in=" + path);
          c.high = batch.add("tetrahedral", params + " ties=high table=" + table_path + " in=" + path);
          cases.push_back(std::move(c));
        }
  ASSERT_TRUE(batch.run());
  for (const Case& c : cases)
    for (size_t job : {c.low, c.high}) {
      if (c.wide.empty())
        EXPECT_TRUE(c.narrow == batch.answer<uint8_t>(job)) << c.where;
      else
        EXPECT_TRUE(c.wide == batch.answer<uint16_t>(job)) << c.where;
    }
}

TEST(DLut, AnAffineTableLiesWithinOneOfPillow) {
  if (!oracle_available()) GTEST_SKIP() << "python3 with numpy and Pillow absent";
  // out = an affine map of (r, g, b) sampled on 33 points, red varying fastest as Pillow lays it out.
  Table t;
  t.grid = 33;
  t.slowest_first = false;
  for (int b = 0; b < 33; ++b)
    for (int g = 0; g < 33; ++g)
      for (int r = 0; r < 33; ++r) {
        const double x = r * 255.0 / 32, y = g * 255.0 / 32, z = b * 255.0 / 32;
        for (double v : {0.5 * x + 0.3 * y + 0.2 * z, 255.0 - y, 0.2 * x + 0.8 * z})
          t.entries.push_back(uint16_t(std::lround(v)));
      }
  std::mt19937 random(13);
  std::vector<uint8_t> in(3 * 100000);
  for (uint8_t& s : in) s = uint8_t(random());
  VEK_TestManager m;
  const TestRun<uint8_t> r = through(m, t, 3, in);
  const std::string table = oracle_write("table", std::vector<uint8_t>(t.entries.begin(), t.entries.end()));
  const std::string path = oracle_write("pixels", in);
  const std::vector<uint8_t> pillow = oracle("pillow_lut", "grid=33 table=" + table + " in=" + path);
  ASSERT_EQ(pillow.size(), r.out.size());
  int worst = 0;
  for (size_t i = 0; i < in.size(); ++i) worst = std::max(worst, std::abs(int(pillow[i]) - int(r.out[i])));
  EXPECT_LE(worst, 1);
}

TEST(DLut, RefusingEachAllocationInTurnLeaksNothing) {
  Table t;
  t.grid = 9;
  t.entries.resize(entry_count(t, 3));
  for (size_t i = 0; i < t.entries.size(); ++i) t.entries[i] = uint16_t(i * 7 % 256);
  VEK_TestManager m;
  VEK_Header h(&m);
  make(h, 2, 1, 8, 3);
  const std::vector<uint8_t> in{1, 100, 200, 255, 0, 37};
  expect_no_leak_when_memory_runs_out(in, op<uint8_t>(t), through(m, t, 3, in).out, &h);
  make(h, 2, 1, 16, 3);
  const std::vector<uint16_t> wide{1, 100, 200, 65535, 0, 37};
  expect_no_leak_when_memory_runs_out(wide, op<uint16_t>(t), through(m, t, 3, wide).out, &h);
}
