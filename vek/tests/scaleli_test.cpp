#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <functional>
#include <random>
#include <string>
#include <typeinfo>
#include <vector>

#ifdef VEK_TEST_HAVE_OPENCV
#include <opencv2/imgproc.hpp>
#endif

#include "vek_qkrle.h"
#include "vek_scaleli.h"
#include "vek_scaleround.h"
#include "vek_test_scale.h"

namespace {

using Q12 = VEK_FixedRealImpl<int, 12>;

Make li(uint32_t w, uint32_t h) {
  return [=](VEK_Manager* m, VEK_Engine* s) { return VEK_ScaleLIFastBy<Q12>(m).engine(s, w, h); };
}
Make shrink(uint32_t w, uint32_t h) {
  return [=](VEK_Manager* m, VEK_Engine* s) { return VEK_ScaleShrinkLIBy<Q12>(m).engine(s, w, h); };
}
Make widen(uint32_t w) {
  return [=](VEK_Manager* m, VEK_Engine* s) { return VEK_ScaleWidthLIBy<Q12>(m).engine(s, w); };
}
Make heighten(uint32_t h) {
  return [=](VEK_Manager* m, VEK_Engine* s) { return VEK_ScaleHeightLIBy<Q12>(m).engine(s, h); };
}

// Runs samples of type T through make; the output widened to int64_t.
template <class T>
Scaled<int64_t> scale(uint32_t W, uint32_t H, uint16_t c, const std::vector<T>& in, const Make& make) {
  VEK_TestManager m;
  const Scaled<T> s = ::scale(header(m, W, H, uint16_t(sizeof(T) * 8), c, test_data_type<T>()), in, make);
  Scaled<int64_t> r;
  r.run.passed = s.run.passed;
  r.run.code = s.run.code;
  r.run.method = s.run.method;
  r.run.out.assign(s.run.out.begin(), s.run.out.end());
  r.engine = s.engine;
  r.made = s.made;
  r.source = s.source;
  return r;
}

template <class T>
std::vector<int64_t> scaled(uint32_t W, uint32_t H, uint16_t c, const std::vector<T>& in, const Make& make,
                            const char* engine = nullptr) {
  const Scaled<int64_t> r = scale(W, H, c, in, make);
  EXPECT_TRUE(r.run.passed) << std::hex << r.run.code << std::dec << " " << r.run.method;
  if (engine != nullptr) {
    EXPECT_NE(r.engine.find(engine), std::string::npos) << r.engine;
  }
  return r.run.out;
}

// ---- The oracle: one output sample at a time, straight from the formulas ----

int64_t round_sum(int64_t v, bool is_signed) {
  if (!is_signed || v >= 0) return (v + 2048) >> 12;
  return -((2048 - v) >> 12);
}

struct Plane {
  uint32_t W, H, c;
  bool is_signed;
  std::vector<int64_t> s;
  int64_t at(int64_t x, int64_t y, uint32_t k) const {
    x = std::clamp<int64_t>(x, 0, W - 1);
    y = std::clamp<int64_t>(y, 0, H - 1);
    return s[(size_t(y) * W + size_t(x)) * c + k];
  }
};

// One direction at a time: 1-based running position, edge pixels repeated.
Plane pass(const Plane& in, uint32_t size, bool across) {
  Plane out = in;
  const uint32_t from = across ? in.W : in.H;
  (across ? out.W : out.H) = size;
  out.s.assign(size_t(out.W) * out.H * in.c, 0);
  const double step = double(from) / size;
  double p = (step + 1) * 0.5;
  for (uint32_t t = 0; t < size; ++t, p += step) {
    const int64_t i = int64_t(std::trunc(p));
    const int64_t w = int64_t(round_to_fixed(p).raw()) - 4096 * i;
    for (uint32_t o = 0; o < (across ? out.H : out.W); ++o)
      for (uint32_t k = 0; k < in.c; ++k) {
        const int64_t a = across ? in.at(i - 1, o, k) : in.at(o, i - 1, k);
        const int64_t b = across ? in.at(i, o, k) : in.at(o, i, k);
        const size_t at = across ? (size_t(o) * out.W + t) * in.c + k : (size_t(t) * out.W + o) * in.c + k;
        out.s[at] = round_sum(a * (4096 - w) + b * w, in.is_signed);
      }
  }
  return out;
}

int64_t q12mul(int64_t a, int64_t b) {
  const int64_t p = a * b;
  return p >= 0 ? p / 4096 : -((-p + 4095) / 4096);
}

// The one-pass bilinear shrink, or 2 x 2 means at even whole ratios.
Plane shrink_formula(const Plane& in, uint32_t w, uint32_t h) {
  Plane out = in;
  out.W = w;
  out.H = h;
  out.s.assign(size_t(w) * h * in.c, 0);
  const double sx = double(in.W) / w, sy = double(in.H) / h;
  const double sx4096 = double(int64_t(sx * 4096)) / 4096;
  const bool blocks = sx4096 == std::round(sx4096) && sy == std::round(sy) && int64_t(sx4096) % 2 == 0 &&
                      int64_t(sy) % 2 == 0 && sx4096 >= 2 && sy >= 2;
  double y = sy * 0.5 - 0.5;
  for (uint32_t j = 0; j < h; ++j, y += sy) {
    const int64_t ty = int64_t(std::trunc(y));
    const int64_t wy = int64_t(round_to_fixed(y).raw()) - 4096 * ty;
    double x = sx * 0.5 - 0.5;
    for (uint32_t i = 0; i < w; ++i, x += sx) {
      const int64_t tx = int64_t(std::trunc(x));
      const int64_t wx = int64_t(round_to_fixed(x).raw()) - 4096 * tx;
      const int64_t m = q12mul(wx, wy);
      for (uint32_t k = 0; k < in.c; ++k) {
        int64_t v;
        if (blocks) {
          const int64_t kx = int64_t(sx4096), ky = int64_t(sy);
          const int64_t bx = i * kx + kx / 2 - 1, by = j * ky + ky / 2 - 1;
          const int64_t sum = in.at(bx, by, k) + in.at(bx + 1, by, k) + in.at(bx, by + 1, k) + in.at(bx + 1, by + 1, k);
          v = (!in.is_signed || sum > 0) ? (sum + 2) >> 2 : (sum + 1) >> 2;
        } else {
          const int64_t a = in.at(tx, ty, k), b = in.at(tx + 1, ty, k), c = in.at(tx, ty + 1, k),
                        d = in.at(tx + 1, ty + 1, k);
          if (in.c == 1) {
            const int64_t t = ((d - c) - (b - a)) * wx + (c - a) * 4096;
            v = round_sum(4096 * a + (b - a) * wx + q12mul(t, wy), in.is_signed);
          } else {
            v = round_sum(a * (4096 - wx - wy + m) + b * (wx - m) + c * (wy - m) + d * m, in.is_signed);
          }
        }
        out.s[(size_t(j) * w + i) * in.c + k] = v;
      }
    }
  }
  return out;
}

// The whole road: subsampling, the shrink, or two passes in the documented order.
Plane li_formula(const Plane& in, uint32_t w, uint32_t h) {
  if (w < in.W && h < in.H) {
    const double rx = double(in.W) / w, ry = double(in.H) / h;
    if (rx == std::round(rx) && ry == std::round(ry) && int64_t(rx) % 2 == 1 && int64_t(ry) % 2 == 1) {
      Plane out = in;
      out.W = w;
      out.H = h;
      out.s.clear();
      for (uint32_t j = 0; j < h; ++j)
        for (uint32_t i = 0; i < w; ++i)
          for (uint32_t k = 0; k < in.c; ++k)
            out.s.push_back(in.at(i * int64_t(rx) + int64_t(rx) / 2, j * int64_t(ry) + int64_t(ry) / 2, k));
      return out;
    }
    return shrink_formula(in, w, h);
  }
  Plane p = in;
  if (h < in.H) {
    if (h != p.H) p = pass(p, h, false);
    if (w != p.W) p = pass(p, w, true);
  } else {
    if (w != p.W) p = pass(p, w, true);
    if (h != p.H) p = pass(p, h, false);
  }
  return p;
}

template <class T>
Plane plane(uint32_t W, uint32_t H, uint32_t c, const std::vector<T>& in) {
  return Plane{W, H, c, std::is_signed_v<T>, std::vector<int64_t>(in.begin(), in.end())};
}

// Output of the library against the oracle for one sample type.
template <class T>
void expect_oracle(uint32_t W, uint32_t H, uint16_t c, uint32_t w, uint32_t h, const Make& make, bool shrink_only,
                   uint32_t seed) {
  const std::vector<T> in = random_samples<T>(size_t(W) * H * c, seed);
  const Plane p = plane(W, H, c, in);
  const Plane want = shrink_only ? shrink_formula(p, w, h) : li_formula(p, w, h);
  ASSERT_EQ(scaled(W, H, c, in, make), want.s)
      << W << "x" << H << " -> " << w << "x" << h << " c " << c << " " << typeid(T).name();
}

template <class T>
void expect_oracle_all() {
  uint32_t seed = 1;
  for (uint16_t c : {1, 3, 4, 5})
    for (auto [W, H, w, h] : std::vector<std::array<uint32_t, 4>>{{7, 5, 16, 13},  // enlarging
                                                                  {9, 6, 23, 6},   // width only
                                                                  {6, 4, 6, 11},   // height only
                                                                  {20, 9, 7, 9},   // width shrinks only
                                                                  {8, 20, 19, 7},  // height shrinks, width grows
                                                                  {12, 8, 6, 4},   // even ratio
                                                                  {15, 9, 5, 3},   // odd ratio
                                                                  {17, 13, 6, 5},  // fractional
                                                                  {16, 12, 8, 5},  // even across only
                                                                  {3, 3, 10, 2},
                                                                  {45, 3, 131, 7},  // lines wide enough
                                                                  {64, 2, 128, 3},  // for the vector
                                                                  {100, 3, 90, 4},  // bodies
                                                                  {100, 9, 37, 4}}) {
      expect_oracle<T>(W, H, c, w, h, li(w, h), false, seed++);
      if (w < W && h < H) expect_oracle<T>(W, H, c, w, h, shrink(w, h), true, seed++);
    }
  expect_oracle<T>(9, 1, 3, 4, 1, shrink(4, 1), true, seed++);  // one line kept
}

TEST(ScaleLI, MatchesTheFormulasForEverySampleTypeAndChannelCount) {
  expect_oracle_all<uint8_t>();
  expect_oracle_all<uint16_t>();
  expect_oracle_all<int8_t>();
  expect_oracle_all<int16_t>();
}

TEST(ScaleLI, WidthAndHeightExamples) {
  EXPECT_EQ(scaled<uint8_t>(2, 1, 1, {0, 100}, widen(4)), (std::vector<int64_t>{0, 25, 75, 100}));
  // Positions 0.75, 1.25, 1.75, 2.25: left neighbours 0, 1, 1, 2 of the widened line.
  EXPECT_EQ(scaled<uint16_t>(2, 1, 1, {4000, 8000}, widen(4)), (std::vector<int64_t>{4000, 5000, 7000, 8000}));
  EXPECT_EQ(scaled<uint8_t>(3, 1, 1, {0, 100, 200}, widen(7)), (std::vector<int64_t>{0, 14, 57, 100, 143, 186, 200}));
  EXPECT_EQ(scaled<int8_t>(2, 1, 1, {-3, 0}, widen(4)), (std::vector<int64_t>{-3, -2, -1, 0}));
  const std::vector<uint8_t> lines = {10, 20, 90, 200, 7, 255};
  const std::vector<int64_t> out = scaled(2, 3, 1, lines, heighten(7));
  ASSERT_EQ(out.size(), 14u);
  EXPECT_EQ(out[12], 7);
  EXPECT_EQ(out[13], 255);
}

TEST(ScaleShrinkLI, BlockMeansAtEvenRatios) {
  std::vector<uint8_t> in(16);
  for (size_t i = 0; i < in.size(); ++i) in[i] = uint8_t(i * 13 + 1);
  const std::vector<int64_t> out = scaled(4, 4, 1, in, shrink(2, 2), "VEK_ScaleShrinkLIEngine");
  EXPECT_EQ(out[0], (in[0] + in[1] + in[4] + in[5] + 2) >> 2);
  // Signed blocks with sums -2, -1, 2 and 6: halves away from zero.
  const std::vector<int8_t> s = {-1, -1, 0, -1, 0, 0, 0, 0, 1, 1, 3, 3, 0, 0, 0, 0};
  EXPECT_EQ(scaled(4, 4, 1, s, shrink(2, 2)), (std::vector<int64_t>{-1, 0, 1, 2}));
}

TEST(ScaleShrinkLI, PositionsAndWeights) {
  // 10 -> 4 pixels: positions 0.75, 3.25, 5.75, 8.25 seen through samples 1000 x column.
  std::vector<uint16_t> ramp;
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 10; ++x) ramp.push_back(uint16_t(1000 * x));
  EXPECT_EQ(scaled(10, 2, 1, ramp, shrink(4, 1)), (std::vector<int64_t>{750, 3250, 5750, 8250}));
  // 3 x 2 -> 2 x 1: lines 0 and 1 half each, positions 0.25 and 1.75.
  EXPECT_EQ(scaled<uint16_t>(3, 2, 1, {0, 1000, 2000, 4000, 5000, 6000}, shrink(2, 1)),
            (std::vector<int64_t>{2000 + 250, 2000 + 1750}));
  // 9 x 9 -> 3 x 3 straight through the shrink: source samples (1, 1), (4, 1) ... exactly.
  const std::vector<uint8_t> in = random_samples<uint8_t>(81, 5);
  const std::vector<int64_t> out = scaled(9, 9, 1, in, shrink(3, 3), "VEK_ScaleShrinkLIEngine");
  for (uint32_t j = 0; j < 3; ++j)
    for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(out[j * 3 + i], in[(3 * j + 1) * 9 + 3 * i + 1]);
}

TEST(ScaleShrinkLI, OneAndManyChannelFormsDiffer) {
  // 1411 x 274 -> 1000 x 100: the first pixel has wx = 842 and wy = 3564.
  for (uint16_t c : {1, 3}) {
    std::vector<uint8_t> in(size_t(1411) * 274 * c, 0);
    for (uint16_t k = 0; k < c; ++k) {
      in[k] = 230;
      in[c + k] = 85;
      in[size_t(1411) * c + k] = 123;
      in[size_t(1411) * c + c + k] = 81;
    }
    const std::vector<int64_t> out = scaled(1411, 274, c, in, shrink(1000, 100));
    for (uint16_t k = 0; k < c; ++k) EXPECT_EQ(out[k], c == 1 ? 126 : 125);
  }
}

TEST(ScaleShrinkLI, NearlyEvenRatiosTakeTheBlockRoad) {
  std::vector<uint16_t> in(size_t(16385) * 200);
  for (size_t i = 0; i < in.size(); ++i) in[i] = uint16_t(i % 16385);
  const std::vector<int64_t> out = scaled(16385, 200, 1, in, shrink(8192, 100));
  ASSERT_EQ(out.size(), size_t(8192) * 100);
  for (uint32_t i = 0; i < 8192; ++i) ASSERT_EQ(out[i], 2 * i + 1) << i;  // mean of columns 2i and 2i + 1
}

TEST(ScaleShrinkLI, HugeRatiosStayInsideTheLine) {
  // sx = 2^20: a step cut to 32 bits would read before the line.
  std::vector<uint8_t> in(size_t(1) << 21, 0);
  for (size_t y = 0; y < 2; ++y) {
    in[y * (1u << 20) + 524287] = 100;
    in[y * (1u << 20) + 524288] = 100;
  }
  EXPECT_EQ(scaled(1u << 20, 2, 1, in, shrink(1, 1)), (std::vector<int64_t>{100}));
}

TEST(ScaleShrinkLI, RefusesSizesThatDoNotShrink) {
  const std::vector<uint8_t> in(64, 1);
  for (auto [w, h] : std::vector<std::array<uint32_t, 2>>{{8, 4}, {4, 8}, {9, 2}, {2, 9}, {0, 2}, {2, 0}}) {
    const Scaled<int64_t> r = scale(8, 8, 1, in, shrink(w, h));
    EXPECT_FALSE(r.run.passed);
    EXPECT_EQ(r.run.code, 0x80800000u) << w << "x" << h;
    EXPECT_EQ(r.run.method, "VEK_ScaleShrinkLIEngine::initiate()");
  }
  EXPECT_TRUE(scale(8, 8, 1, in, shrink(8, 8)).same());
}

TEST(ScaleLI, Routing) {
  const std::vector<uint8_t> big(600 * 600, 3);
  EXPECT_EQ(scaled(600, 600, 1, big, li(200, 200), "VEK_ScaleSSEngine"), std::vector<int64_t>(200 * 200, 3));
  scaled(600, 600, 1, big, li(300, 300), "VEK_ScaleShrinkLIEngine");
  scaled(600, 600, 1, big, li(250, 200), "VEK_ScaleShrinkLIEngine");
  const std::vector<uint8_t> small(20 * 10, 9);
  // The last engine tells the order of the passes.
  scaled(20, 10, 1, small, li(7, 30), "VEK_ScaleHeightLIEngine");   // width shrinks: width first
  scaled(20, 10, 1, small, li(40, 30), "VEK_ScaleHeightLIEngine");  // both grow: width first
  scaled(20, 10, 1, small, li(40, 4), "VEK_ScaleWidthLIEngine");    // height shrinks: height first
  const std::vector<uint8_t> line = {1, 2, 3};
  EXPECT_EQ(scaled(3, 1, 1, line, heighten(5), "VEK_ScaleHeightIRE"),
            (std::vector<int64_t>{1, 2, 3, 1, 2, 3, 1, 2, 3, 1, 2, 3, 1, 2, 3}));
  const std::vector<uint8_t> column = {4, 5};
  EXPECT_EQ(scaled(1, 2, 1, column, widen(5), "VEK_ScaleWidthIRE"),
            (std::vector<int64_t>{4, 4, 4, 4, 4, 5, 5, 5, 5, 5}));
  EXPECT_TRUE(scale(20, 10, 1, small, li(20, 10)).same());
  EXPECT_TRUE(scale(20, 10, 1, small, widen(20)).same());
  EXPECT_TRUE(scale(20, 10, 1, small, heighten(10)).same());
}

TEST(ScaleLI, Refusals) {
  VEK_TestManager m;
  struct Kind {
    uint16_t bits;
    const VEK_DataType* type;
    bool rle;
  };
  for (Kind k : {Kind{32, VEK_DataType::u_integer, false}, Kind{32, VEK_DataType::floating, false},
                 Kind{1, VEK_DataType::u_integer, false}, Kind{1, VEK_DataType::u_integer, true},
                 Kind{8, VEK_DataType::u_integer, true}}) {
    Head h = header(m, 4, 4, k.bits, 1, k.type);
    if (k.rle) h.rle();
    expect_refusal(h, li(9, 9), 0x81000000u, "VEK_ScaleWidthLIBy::engine()");
    expect_refusal(h, li(9, 2), 0x81000000u, "VEK_ScaleHeightLIBy::engine()");
    expect_refusal(h, shrink(3, 2), 0x81000000u, "VEK_ScaleShrinkLIBy::engine()");
  }
  Head palette = header(m, 4, 4, 8);
  palette.palette();
  expect_refusal(palette, widen(9), 0x81000000u, "VEK_ScaleWidthLIEngine::initiate()");
  expect_refusal(palette, heighten(9), 0x81000000u, "VEK_ScaleHeightLIEngine::initiate()");
  expect_refusal(palette, shrink(3, 3), 0x81000000u, "VEK_ScaleShrinkLIEngine::initiate()");
  const Head h = header(m, 4, 4, 8);
  expect_refusal(h, li(0, 9), 0x80800000u, "VEK_ScaleWidthEngine::initiate()");
  expect_refusal(h, li(9, 0), 0x80800000u, "VEK_ScaleHeightEngine::initiate()");
  expect_refusal(h, li(0, 2), 0x80800000u, "VEK_ScaleShrinkLIEngine::initiate()");
  expect_refusal(
      h, [](VEK_Manager* mm, VEK_Engine*) { return VEK_ScaleLIFastBy<Q12>(mm).engine(nullptr, 2, 2); }, 0x80800000u,
      "VEK_ScaleLIFastBy::engine()");
}

// The framework's input side may be the one that refuses; either way before any division.
TEST(ScaleLI, ZeroAndOversizedSourcesAreRefused) {
  for (auto [W, H] : std::vector<std::array<uint32_t, 2>>{{0, 4}, {4, 0}}) {
    expect_size_refused(W, H, widen(8));
    expect_size_refused(W, H, heighten(8));
    expect_size_refused(W, H, shrink(1, 1));
  }
  expect_size_refused(0, 0, li(2, 2));
  // Lines past 32-bit sizes, in the source or in the output.
  expect_size_refused(0x80000000u, 4, shrink(100, 2), false, 16, 3);
  expect_size_refused(3, 1, widen(0xFFFFFFF1u), false, 16);
  expect_size_refused(0x7FFFFFFFu, 2, widen(0x7FFFFFF0u), false, 16);
}

TEST(ScaleLI, EveryRefusedAllocationLeavesNoLeak) {
  const std::vector<uint8_t> in = random_samples<uint8_t>(9 * 6 * 3, 17);
  VEK_TestManager m;
  Head img = header(m, 9, 6, 8, 3);
  for (auto [w, h] : std::vector<std::array<uint32_t, 2>>{{20, 13}, {4, 3}, {3, 2}, {4, 11}, {20, 2}}) {
    const Plane want = li_formula(plane(9, 6, 3, in), w, h);
    expect_no_leak_when_memory_runs_out(in, li(w, h), std::vector<uint8_t>(want.s.begin(), want.s.end()), &img.h);
  }
}

TEST(ScaleLI, ASourceThatStopsEndsTheJobCleanly) {
  expect_stopping_sources_end_cleanly({{3, 9, 7}, {9, 3, 4}, {9, 9, 4}, {6, 2, 3}}, li);
}

TEST(ScaleLI, LinesPastThePackedTableLimitScaleAlike) {
  // 3 x (W + 1) >= 2^19 samples: a packed offset and weight would wrap.
  const uint32_t W = 174763, w = 174770;
  const std::vector<uint8_t> in = random_samples<uint8_t>(size_t(W) * 3, 23);
  EXPECT_EQ(scaled(W, 1, 3, in, widen(w)), pass(plane(W, 1, 3, in), w, true).s);
}

// ---- Enlargement straight to 8 bits ----

// The oracle's passes over the offset form, then out = round half up of clamp(v x slope +
// intercept, 0, 255), complemented when asked.
std::vector<uint8_t> li_map_formula(Plane in, uint32_t w, uint32_t h, double slope, double intercept, bool complement) {
  if (in.is_signed) {
    for (int64_t& v : in.s) v += 32768;
    in.is_signed = false;
  }
  std::vector<uint8_t> out;
  for (const int64_t v : li_formula(in, w, h).s) {
    const double y = double(v) * slope + intercept;
    const double t = y == y ? std::floor(std::clamp(y, 0.0, 255.0) + 0.5) : 0.0;
    out.push_back(uint8_t(complement ? 255 - t : t));
  }
  return out;
}

struct MapCase {
  double slope, intercept;
};

template <class T>
void expect_map_oracle(uint32_t W, uint32_t H, uint32_t w, uint32_t h, const std::vector<T>& in, MapCase map,
                       bool complement) {
  VEK_TestManager m;
  const Head given = header(m, W, H, 16, 1, test_data_type<T>());
  TestRun<uint8_t> run = run_samples<uint8_t>(
      m, in,
      [&](VEK_Manager* mm, VEK_Engine* source) {
        return VEK_ScaleLIMapBy<Q12>(mm).engine(source, w, h, map.slope, map.intercept, complement,
                                                VEK_ColorType_gray::instance());
      },
      &given.h);
  ASSERT_TRUE(run.passed) << std::hex << run.code << std::dec << " " << run.method;
  EXPECT_EQ(run.bits, 8);
  EXPECT_EQ(run.type, VEK_DataType::u_integer);
  EXPECT_EQ(run.color, VEK_ColorType_gray::instance());
  EXPECT_EQ(run.out, li_map_formula(plane(W, H, 1, in), w, h, map.slope, map.intercept, complement))
      << W << "x" << H << " -> " << w << "x" << h << " " << typeid(T).name() << " slope " << map.slope << " intercept "
      << map.intercept << " complement " << complement;
  EXPECT_EQ(m.memory_manager().live(), kManagerParts);
}

// Windows as the viewer makes them for the offset form (centre c, width d: slope 256 / d,
// intercept (d / 2 - c) x slope - 32768 x slope), ties of a slope of one half, a falling map,
// flat ones, maps steeper than the linear form takes and no number at all.
TEST(ScaleLIMap, MatchesTheFormulasForWindowsAndEdges) {
  const auto window = [](double c, double d) {
    const double slope = 256.0 / d;
    return MapCase{slope, -(c - d / 2) * slope - 32768 * slope};
  };
  const std::vector<MapCase> maps = {window(40, 400),  window(-600, 1500), window(0, 256),   window(300, 4095.5),
                                     window(0, 70000), window(40000, 400), {0.5, -16383.75}, {-0.02, 700},
                                     {0.0, 77.4},      {0.0, -3},          {300, -9830350},  {5000, -163840000},
                                     {double(NAN), 1}};
  uint32_t seed = 91;
  for (auto [W, H, w, h] : std::vector<std::array<uint32_t, 4>>{
           {7, 5, 16, 13}, {16, 8, 64, 32}, {5, 3, 5, 3}, {33, 4, 100, 4}, {9, 2, 9, 7}, {40, 3, 83, 5}}) {
    std::vector<int16_t> in = random_samples<int16_t>(size_t(W) * H, seed++);
    // Values at both ends of the type, and a range a CT window cuts through.
    in[0] = -32768;
    in[1] = 32767;
    for (size_t i = 2; i < in.size(); i += 3) in[i] = int16_t(in[i] % 1200);
    const std::vector<uint16_t> unsigned_in(in.begin(), in.end());
    for (const MapCase& map : maps)
      for (const bool complement : {false, true}) {
        expect_map_oracle<int16_t>(W, H, w, h, in, map, complement);
        expect_map_oracle<uint16_t>(W, H, w, h, unsigned_in, map, complement);
      }
  }
}

TEST(ScaleLIMap, RefusesWhatItDoesNotTake) {
  VEK_TestManager m;
  const auto map = [](uint32_t w, uint32_t h) -> Make {
    return [=](VEK_Manager* mm, VEK_Engine* s) {
      return VEK_ScaleLIMapBy<Q12>(mm).engine(s, w, h, 1.0, 0.0, false, nullptr);
    };
  };
  expect_refusal(header(m, 4, 4, 8), map(8, 8), 0x81000000u, "VEK_ScaleLIMapBy::engine()");
  expect_refusal(header(m, 4, 4, 16, 3), map(8, 8), 0x81000000u, "VEK_ScaleLIMapBy::engine()");
  expect_refusal(header(m, 4, 4, 16), map(3, 8), 0x81000000u, "VEK_ScaleLIMapBy::engine()");
  expect_refusal(header(m, 4, 4, 16), map(8, 3), 0x81000000u, "VEK_ScaleLIMapBy::engine()");
  Head palette = header(m, 4, 4, 16);
  palette.palette();
  expect_refusal(palette, map(8, 8), 0x81000000u, "VEK_ScaleLIMapBy::engine()");
  EXPECT_TRUE(VEK_ScaleLIMapBy<Q12>::accepts(header(m, 4, 4, 16, 1, VEK_DataType::s_integer), 4, 4));
}

#ifdef VEK_TEST_HAVE_OPENCV
// OpenCV's INTER_LINEAR centres pixels alike and repeats edges; its weights have fewer bits.
template <class T>
void expect_near_opencv(int cv_type) {
  cv::setNumThreads(1);
  for (int c : {1, 3, 4})
    for (auto [W, H, w, h] : std::vector<std::array<uint32_t, 4>>{{32, 24, 64, 48},
                                                                  {31, 17, 100, 50},
                                                                  {64, 48, 37, 29},
                                                                  {60, 40, 30, 20},
                                                                  {45, 45, 15, 15},
                                                                  {50, 20, 80, 9}}) {
      const std::vector<T> in = random_samples<T>(size_t(W) * H * c, W * 7 + c);
      const std::vector<int64_t> got = scaled(W, H, uint16_t(c), in, li(w, h));
      cv::Mat src(int(H), int(W), CV_MAKETYPE(cv_type, c), const_cast<T*>(in.data())), dst;
      cv::resize(src, dst, cv::Size(int(w), int(h)), 0, 0, cv::INTER_LINEAR);
      ASSERT_EQ(got.size(), dst.total() * c);
      // Each Q12 weight is within 1/8192: up to 8 per direction at 16 bits. The shrink's corner
      // weights of several channels share the floored product wx wy / 4096, off by up to one
      // 4096th on a + d - b - c: 32 more.
      const bool exact = sizeof(T) == 1 || (w == 2 * W && h == 2 * H);
      const bool corners = c > 1 && w < W && h < H;
      const int64_t tolerance = exact ? 1 : corners ? 49 : 17;
      const T* want = dst.ptr<T>();
      for (size_t i = 0; i < got.size(); ++i)
        ASSERT_LE(std::abs(got[i] - int64_t(want[i])), tolerance)
            << W << "x" << H << " -> " << w << "x" << h << " at " << i;
    }
}

TEST(ScaleLI, NearOpenCVLinear) {
  expect_near_opencv<uint8_t>(CV_8U);
  expect_near_opencv<uint16_t>(CV_16U);
}
#endif

}  // namespace
