#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <type_traits>
#include <typeinfo>
#include <vector>

#ifdef VEK_TEST_HAVE_OPENCV
#include <opencv2/imgproc.hpp>
#endif

#include "vek_scale.h"
#include "vek_scaleiar.h"
#include "vek_scaleppby.h"
#include "vek_scaleppengine.h"
#include "vek_scaleppfastrengine.h"
#include "vek_test_scale.h"

namespace {

using Q12 = VEK_FixedRealImpl<int, 12>;
template <class S>
Head head(VEK_Manager& m, uint32_t w, uint32_t h, uint16_t channels = 1) {
  return Head(m, w, h, uint16_t(sizeof(S) * 8), channels, VEK_DataType::u_integer);
}

Make fast(uint32_t w, uint32_t h) {
  return [=](VEK_Manager* m, VEK_Engine* s) { return VEK_ScalePPFastBy<Q12>(m).engine(s, w, h); };
}
template <class T>
Make general(uint32_t w, uint32_t h) {
  return [=](VEK_Manager* m, VEK_Engine* s) { return VEK_ScalePPBy<T>(m).engine(s, w, h); };
}

// Makes any engine of these families directly, as no creator would.
class Direct : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  template <class E>
  VEK_Engine* make(VEK_Engine* source, uint32_t n) {
    return create_engine<E>(source, n);
  }
};
template <class E>
Make direct(uint32_t n) {
  return [=](VEK_Manager* m, VEK_Engine* s) { return Direct(m).make<E>(s, n); };
}

// ---- The oracle: the footprint formulas written out plainly ----

template <class S>
constexpr int64_t kF = std::numeric_limits<S>::max();

struct Foot {
  uint32_t a, b;  // first and last source pixel
  double first, last;
};

// Running double positions from 0; the last footprint ends on the last pixel, whole.
std::vector<Foot> footprints(uint32_t s, uint32_t n) {
  const double r = double(s) / n;
  std::vector<Foot> v;
  double x = 0;
  for (uint32_t i = 0; i < n; ++i) {
    Foot f;
    f.a = uint32_t(x);
    f.first = f.a + 1.0 - x;
    x += r;
    f.last = x - std::trunc(x);
    f.b = std::min(uint32_t(x), s - 1);
    v.push_back(f);
  }
  v.back().b = s - 1;
  v.back().last = 1;
  return v;
}

template <class S>
bool q12_fits(int64_t cover, double r) {
  const int64_t n = round_to_fixed(1.0 / r).raw();
  if (cover * kF < S >> INT32_MAX) return false;
  const int64_t p = int64_t(std::floor(double(cover * kF<S>) * double(n) / 4096));
  return kF<S> * 4096 - 2048 < p && p < kF<S> * 4096 + 2048;
}

// One direction over a line of samples (stride apart). Width engines decide the Q12 road once
// for all footprints, height engines per line.
template <class S, class T>
struct Oracle {
  uint32_t s, n;
  bool per_line;
  std::vector<Foot> feet;
  std::vector<int64_t> cover;
  bool all_fit = true;
  double r;

  Oracle(uint32_t s_, uint32_t n_, bool height) : s(s_), n(n_), per_line(height), feet(footprints(s_, n_)) {
    r = double(s) / n;
    for (const Foot& f : feet) {
      const int64_t c = int64_t(f.b - f.a) * 4096 + round_to_fixed(f.first).raw() + round_to_fixed(f.last).raw() - 4096;
      cover.push_back(c);
      all_fit = all_fit && q12_fits<S>(c, r);
    }
  }
  bool fixed_road(size_t i) const {
    if (!per_line) return all_fit;
    const bool wide = (std::ceil(r * 4096) + 4) * double(kF<S>) > double(INT32_MAX);
    return !wide && q12_fits<S>(cover[i], r);
  }
  S value(size_t i, const std::function<int64_t(uint32_t)>& px) const {
    const Foot& f = feet[i];
    if constexpr (std::is_same_v<T, double>) {
      double sum = px(f.a) * f.first;
      for (uint32_t m = f.a + 1; m < f.b; ++m) sum += px(m);
      sum += px(f.b) * f.last;
      return S(int64_t(std::trunc(sum * (1.0 / r) + 0.5)));
    } else {
      int64_t sum = px(f.a) * round_to_fixed(f.first).raw();
      for (uint32_t m = f.a + 1; m < f.b; ++m) sum += px(m) * 4096;
      sum += px(f.b) * round_to_fixed(f.last).raw();
      if (fixed_road(i)) return S((((sum * round_to_fixed(1.0 / r).raw()) >> 12) + 2048) >> 12);
      const double v = std::trunc(double(sum) * (1.0 / r) * (1.0 / 4096) + 0.5);
      return S(std::min<double>(v, double(kF<S>)));
    }
  }
};

template <class S, class T>
std::vector<S> oracle_width(const std::vector<S>& in, uint32_t W, uint32_t H, uint32_t c, uint32_t w) {
  Oracle<S, T> o(W, w, false);
  std::vector<S> out;
  for (uint32_t y = 0; y < H; ++y)
    for (uint32_t i = 0; i < w; ++i)
      for (uint32_t k = 0; k < c; ++k)
        out.push_back(o.value(i, [&](uint32_t x) { return int64_t(in[(size_t(y) * W + x) * c + k]); }));
  return out;
}

template <class S, class T>
std::vector<S> oracle_height(const std::vector<S>& in, uint32_t W, uint32_t H, uint32_t c, uint32_t h) {
  Oracle<S, T> o(H, h, true);
  std::vector<S> out;
  for (uint32_t j = 0; j < h; ++j)
    for (size_t x = 0; x < size_t(W) * c; ++x)
      out.push_back(o.value(j, [&](uint32_t y) { return int64_t(in[size_t(y) * W * c + x]); }));
  return out;
}

// ---- Routing ----

TEST(ScalePPFastBy, RoutesEachPassByItsSizeRelation) {
  VEK_ScalePPFastBy<Q12>::assume_sse2_for_testing(1);
  VEK_TestManager m;
  const std::vector<uint8_t> big(1000 * 800, 7);
  Scaled<uint8_t> same = scale(head<uint8_t>(m, 1000, 800), big, fast(1000, 800));
  EXPECT_TRUE(same.same());
  // Height first: the last engine is the width one.
  scaled_ok(head<uint8_t>(m, 1000, 800), big, fast(333, 266), typeid(VEK_ScaleWidthPPFastREngine<unsigned char, Q12>));
  scaled_ok(head<uint8_t>(m, 1000, 800), big, by<VEK_ScaleHeightPPFastBy<Q12>>(266),
            typeid(VEK_ScaleHeightPPFastREngine<unsigned char, Q12>));
  const std::vector<uint8_t> tall(10 * 800, 9), low(10 * 300, 9), dot(3, 9);
  Scaled<uint8_t> iar = scale(head<uint8_t>(m, 10, 800), tall, general<Q12>(10, 400));
  EXPECT_NE(iar.engine.find("VEK_ScaleHeightIAREngineIh"), std::string::npos) << iar.engine;
  scaled_ok(head<uint8_t>(m, 10, 800), tall, general<Q12>(10, 300),
            typeid(VEK_ScaleHeightPPREngine<unsigned char, Q12>));
  // Width first when the height grows: the last engine is the height one.
  scaled_ok(head<uint8_t>(m, 10, 300), low, general<Q12>(7, 800), typeid(VEK_ScaleHeightPPEEngine<unsigned char, Q12>));
  Scaled<uint8_t> nn = scale(head<uint8_t>(m, 1, 3), dot, general<double>(5, 3));
  EXPECT_EQ(nn.engine.find("PP"), std::string::npos) << nn.engine;
  EXPECT_EQ(nn.run.out, std::vector<uint8_t>(15, 9));
  // The fast creator sends whole factors and enlargements to the general one.
  iar = scale(head<uint8_t>(m, 10, 800), tall, fast(10, 400));
  EXPECT_NE(iar.engine.find("VEK_ScaleHeightIAREngineIh"), std::string::npos) << iar.engine;
  const std::vector<uint16_t> wide(100 * 30, 9);
  scaled_ok(head<uint16_t>(m, 100, 30), wide, fast(33, 30),
            typeid(VEK_ScaleWidthPPFastREngine<unsigned short, double>));
  scaled_ok(head<uint16_t>(m, 100, 30), wide, fast(100, 7),
            typeid(VEK_ScaleHeightPPFastREngine<unsigned short, double>));
  VEK_ScalePPFastBy<Q12>::assume_sse2_for_testing(-1);
}

TEST(ScalePPFastBy, RefusesWhatTheFastEnginesCannotTake) {
  VEK_ScalePPFastBy<Q12>::assume_sse2_for_testing(1);
  VEK_TestManager m;
  expect_refusal(Head(m, 10, 10, 12, 1, VEK_DataType::u_integer), fast(10, 7), 0x81000000u,
                 "VEK_ScaleHeightPPFastRBy::engine()");
  expect_refusal(Head(m, 10, 10, 16, 1, VEK_DataType::s_integer), fast(10, 7), 0x81000000u,
                 "VEK_ScaleHeightPPFastREngine::initiate()");
  Head palette = head<uint8_t>(m, 10, 10);
  palette.palette();
  expect_refusal(palette, fast(7, 10), 0x81000000u, "VEK_ScaleWidthPPFastREngine::initiate()");
  expect_refusal(palette, general<Q12>(7, 10), 0x81000000u, "VEK_ScaleWidthPPEngine::initiate()");
  expect_refusal(palette, general<Q12>(17, 10), 0x81000000u, "VEK_ScaleWidthPPEngine::initiate()");
  expect_refusal(palette, general<double>(10, 7), 0x81000000u, "VEK_ScaleHeightPPEngine::initiate()");
  // The height pass is made and run first; the width creator then refuses the zero width.
  expect_refusal(head<uint8_t>(m, 10, 10), fast(0, 7), 0x80800000u, "VEK_ScaleWidthPPFastBy::engine()");
  expect_refusal(head<uint8_t>(m, 10, 10), general<double>(7, 0), 0x80800000u, "VEK_ScaleHeightPPBy::engine()");
  expect_refusal(Head(m, 10, 10, 12, 1, VEK_DataType::u_integer), by<VEK_ScaleWidthPPEBy<double>>(20), 0x81000000u,
                 "VEK_ScaleWidthPPEBy::engine()");
  VEK_ScalePPFastBy<Q12>::assume_sse2_for_testing(-1);
}

TEST(ScalePPFastBy, WithoutSSE2EveryCallTakesTheGeneralCreatorWithTheSamePixels) {
  VEK_TestManager m;
  const std::vector<uint8_t> in8 = random_samples<uint8_t>(61 * 47 * 3, 5);
  const std::vector<uint16_t> in16 = random_samples<uint16_t>(61 * 47, 6);
  for (auto [w, h] : std::vector<std::pair<uint32_t, uint32_t>>{{20, 13}, {30, 47}, {61, 20}, {100, 30}}) {
    VEK_ScalePPFastBy<Q12>::assume_sse2_for_testing(1);
    const std::vector<uint8_t> with8 = scaled_ok(head<uint8_t>(m, 61, 47, 3), in8, fast(w, h));
    const std::vector<uint16_t> with16 = scaled_ok(head<uint16_t>(m, 61, 47), in16, fast(w, h));
    VEK_ScalePPFastBy<Q12>::assume_sse2_for_testing(0);
    Scaled<uint8_t> s = scale(head<uint8_t>(m, 61, 47, 3), in8, fast(w, h));
    EXPECT_EQ(s.engine.find("FastR"), std::string::npos) << s.engine;
    EXPECT_EQ(s.run.out, with8) << w << " x " << h;
    EXPECT_EQ(scaled_ok(head<uint16_t>(m, 61, 47), in16, fast(w, h)), with16) << w << " x " << h;
  }
  VEK_ScalePPFastBy<Q12>::assume_sse2_for_testing(-1);
}

// ---- Values ----

TEST(ScalePP, ReducingFootprintsTakeTheirCutEndsByCoverage) {
  VEK_TestManager m;
  const std::vector<uint8_t> line{10, 20, 30, 40, 50};
  EXPECT_EQ(scaled_ok(head<uint8_t>(m, 5, 1), line, by<VEK_ScaleWidthPPRBy<double>>(2)),
            (std::vector<uint8_t>{18, 42}));
  EXPECT_EQ(scaled_ok(head<uint8_t>(m, 5, 1), line, by<VEK_ScaleWidthPPFastRBy<double>>(2)),
            (std::vector<uint8_t>{18, 42}));
  // The same lines as a column: line 2 is read once and counts half in both outputs.
  for (const Make& make : {by<VEK_ScaleHeightPPRBy<double>>(2), by<VEK_ScaleHeightPPFastRBy<Q12>>(2),
                           by<VEK_ScaleHeightPPRBy<Q12>>(2), by<VEK_ScaleHeightPPFastRBy<double>>(2)})
    EXPECT_EQ(scaled_ok(head<uint8_t>(m, 1, 5), line, make), (std::vector<uint8_t>{18, 42}));
  // 6 -> 4: output 1 = (0.5 line 1 + line 2) / 1.5; line 3 starts output 2.
  const std::vector<uint8_t> six{0, 30, 90, 120, 150, 180};
  EXPECT_EQ(scaled_ok(head<uint8_t>(m, 1, 6), six, by<VEK_ScaleHeightPPRBy<double>>(4)),
            (std::vector<uint8_t>{10, 70, 130, 170}));
}

TEST(ScalePP, EnlargingMixesTwoNeighboursAndEndsOnTheLastPixel) {
  VEK_TestManager m;
  for (const Make& make : {by<VEK_ScaleWidthPPEBy<double>>(4), by<VEK_ScaleWidthPPEBy<Q12>>(4)})
    EXPECT_EQ(scaled_ok(head<uint8_t>(m, 2, 1), std::vector<uint8_t>{0, 255}, make),
              (std::vector<uint8_t>{0, 0, 255, 255}));
  for (const Make& make : {by<VEK_ScaleWidthPPEBy<double>>(3), by<VEK_ScaleWidthPPEBy<Q12>>(3)})
    EXPECT_EQ(scaled_ok(head<uint8_t>(m, 2, 1), std::vector<uint8_t>{0, 200}, make),
              (std::vector<uint8_t>{0, 100, 200}));
  for (const Make& make : {by<VEK_ScaleHeightPPEBy<double>>(3), by<VEK_ScaleHeightPPEBy<Q12>>(3)})
    EXPECT_EQ(scaled_ok(head<uint16_t>(m, 1, 2), std::vector<uint16_t>{0, 200}, make),
              (std::vector<uint16_t>{0, 100, 200}));
  EXPECT_EQ(scaled_ok(head<uint8_t>(m, 2, 2), std::vector<uint8_t>{1, 2, 3, 4}, by<VEK_ScaleHeightPPEBy<Q12>>(4)),
            (std::vector<uint8_t>{1, 2, 1, 2, 3, 4, 3, 4}));
  // RGB widened: offsets stay multiples of 3 within the line.
  const std::vector<uint8_t> rgb{0, 10, 20, 30, 40, 50, 60, 70, 80};
  const std::vector<uint8_t> got = scaled_ok(head<uint8_t>(m, 3, 1, 3), rgb, by<VEK_ScaleWidthPPEBy<double>>(7));
  ASSERT_EQ(got.size(), 21u);
  EXPECT_EQ(std::vector<uint8_t>(got.end() - 3, got.end()), (std::vector<uint8_t>{60, 70, 80}));
}

// ---- Every member against the oracle ----

template <class S, class T>
void expect_members_match_the_oracle() {
  VEK_TestManager m;
  struct Case {
    uint32_t s, n;
  };
  // Among them: 56 -> 3 whose least coverage misses full scale, 100 -> 7 past 16-bit 32-bit sums.
  const std::vector<Case> cases{{5, 2}, {10, 4}, {7, 3}, {56, 3}, {100, 7}, {33, 32}, {301, 13}, {1000, 333}};
  int fixed = 0, floating = 0;
  for (uint16_t c : {1, 3, 4, 5})
    for (const Case& k : cases) {
      const uint32_t other = 3;
      std::vector<S> in = random_samples<S>(size_t(k.s) * other * c, k.s * 7 + c);
      // One row and one column of full scale, one of zero.
      for (uint32_t i = 0; i < k.s * c; ++i) in[i] = S(kF<S>);
      for (uint32_t i = 0; i < k.s * c; ++i) in[size_t(k.s) * c + i] = 0;
      Oracle<S, T> o(k.s, k.n, false);
      (o.all_fit ? fixed : floating)++;
      const std::vector<S> want_w = oracle_width<S, T>(in, k.s, other, c, k.n);
      EXPECT_EQ(scaled_ok(head<S>(m, k.s, other, c), in, by<VEK_ScaleWidthPPRBy<T>>(k.n)), want_w) << k.s << " " << c;
      EXPECT_EQ(scaled_ok(head<S>(m, k.s, other, c), in, by<VEK_ScaleWidthPPFastRBy<T>>(k.n)), want_w) << k.s;
      // The same samples as other columns of s lines.
      std::vector<S> col(in.size());
      for (uint32_t y = 0; y < k.s; ++y)
        for (uint32_t x = 0; x < other; ++x)
          for (uint32_t ch = 0; ch < c; ++ch)
            col[(size_t(y) * other + x) * c + ch] = in[(size_t(x) * k.s + y) * c + ch];
      const std::vector<S> want_h = oracle_height<S, T>(col, other, k.s, c, k.n);
      EXPECT_EQ(scaled_ok(head<S>(m, other, k.s, c), col, by<VEK_ScaleHeightPPRBy<T>>(k.n)), want_h) << k.s;
      EXPECT_EQ(scaled_ok(head<S>(m, other, k.s, c), col, by<VEK_ScaleHeightPPFastRBy<T>>(k.n)), want_h) << k.s;
    }
  // 16-bit Q12 reciprocals are too coarse to map full scale back within a half.
  if constexpr (!std::is_same_v<T, double> && sizeof(S) == 1) {
    EXPECT_GT(fixed, 0);
    EXPECT_GT(floating, 0);
  }
}

TEST(ScalePP, EveryReducingMemberMatchesTheFootprintFormula) {
  expect_members_match_the_oracle<uint8_t, Q12>();
  expect_members_match_the_oracle<uint8_t, double>();
  expect_members_match_the_oracle<uint16_t, Q12>();
  expect_members_match_the_oracle<uint16_t, double>();
}

// ---- Faults once found, kept from coming back ----

TEST(ScalePP, LongFootprintsOfQ12SumsDoNotWrap) {
  VEK_ScalePPFastBy<Q12>::assume_sse2_for_testing(1);
  VEK_TestManager m;
  // An 8-bit image 4,201 wide shown 2 wide: 32-bit sums of white wrapped to 13.
  EXPECT_EQ(scaled_ok(head<uint8_t>(m, 4201, 2), std::vector<uint8_t>(4201 * 2, 255), fast(2, 2)),
            std::vector<uint8_t>(4, 255));
  EXPECT_EQ(scaled_ok(head<uint8_t>(m, 2, 4201), std::vector<uint8_t>(4201 * 2, 255), fast(2, 2)),
            std::vector<uint8_t>(4, 255));
  // 16-bit Q12 from r = 8 on: white stays near white (the coarse weights lose a little).
  const std::vector<uint16_t> white(100, 65535);
  for (uint32_t n : {2u, 7u, 13u}) {
    const std::vector<uint16_t> want = oracle_width<uint16_t, Q12>(white, 100, 1, 1, n);
    for (uint16_t v : want) EXPECT_GE(v, 65530);
    EXPECT_EQ(scaled_ok(head<uint16_t>(m, 100, 1), white, by<VEK_ScaleWidthPPFastRBy<Q12>>(n)), want);
    EXPECT_EQ(scaled_ok(head<uint16_t>(m, 100, 1), white, by<VEK_ScaleWidthPPRBy<Q12>>(n)), want);
    const std::vector<uint16_t> want_h = oracle_height<uint16_t, Q12>(white, 1, 100, 1, n);
    for (uint16_t v : want_h) EXPECT_GE(v, 65530);
    EXPECT_EQ(scaled_ok(head<uint16_t>(m, 1, 100), white, by<VEK_ScaleHeightPPFastRBy<Q12>>(n)), want_h);
    EXPECT_EQ(scaled_ok(head<uint16_t>(m, 1, 100), white, by<VEK_ScaleHeightPPRBy<Q12>>(n)), want_h);
  }
  VEK_ScalePPFastBy<Q12>::assume_sse2_for_testing(-1);
}

TEST(ScalePP, DoubleNormalisationOfQ12SumsStopsAtFullScale) {
  VEK_TestManager m;
  // 4 -> 3 at 16 bits: the middle footprint's rounded weights sum past r and white came out as
  // 65543, stored as 7; the ends' sum falls short of r (weights 1 + 1365/4096).
  const std::vector<uint16_t> want{65531, 65535, 65531};
  for (const Make& make : {by<VEK_ScaleWidthPPFastRBy<Q12>>(3), by<VEK_ScaleWidthPPRBy<Q12>>(3)})
    EXPECT_EQ(scaled_ok(head<uint16_t>(m, 4, 1), std::vector<uint16_t>(4, 65535), make), want);
  for (const Make& make : {by<VEK_ScaleHeightPPFastRBy<Q12>>(3), by<VEK_ScaleHeightPPRBy<Q12>>(3)})
    EXPECT_EQ(scaled_ok(head<uint16_t>(m, 1, 4), std::vector<uint16_t>(4, 65535), make), want);
}

TEST(ScalePP, ConstantWhiteStaysWhiteWhereTheLeastCoverageMisses) {
  VEK_TestManager m;
  for (const Make& make : {by<VEK_ScaleWidthPPFastRBy<Q12>>(3), by<VEK_ScaleWidthPPRBy<Q12>>(3)})
    EXPECT_EQ(scaled_ok(head<uint8_t>(m, 56, 1), std::vector<uint8_t>(56, 255), make), std::vector<uint8_t>(3, 255));
}

TEST(ScalePP, EnginesRefuseTheDirectionTheyAreNotFor) {
  VEK_TestManager m;
  expect_refusal(head<uint8_t>(m, 4, 4), direct<VEK_ScaleWidthPPREngine<unsigned char, Q12>>(4), 0x80800000u,
                 "VEK_ScaleWidthPPREngine::initiate()");
  expect_refusal(head<uint8_t>(m, 4, 4), direct<VEK_ScaleHeightPPREngine<unsigned char, double>>(6), 0x80800000u,
                 "VEK_ScaleHeightPPREngine::initiate()");
  expect_refusal(head<uint8_t>(m, 4, 4), direct<VEK_ScaleWidthPPFastREngine<unsigned char, Q12>>(5), 0x80800000u,
                 "VEK_ScaleWidthPPFastREngine::initiate()");
  expect_refusal(head<uint8_t>(m, 4, 4), direct<VEK_ScaleHeightPPFastREngine<unsigned char, Q12>>(4), 0x80800000u,
                 "VEK_ScaleHeightPPFastREngine::initiate()");
  expect_refusal(head<uint8_t>(m, 4, 4), direct<VEK_ScaleWidthPPEEngine<unsigned char, Q12>>(3), 0x80800000u,
                 "VEK_ScaleWidthPPEEngine::initiate()");
  expect_refusal(head<uint8_t>(m, 4, 4), direct<VEK_ScaleHeightPPEEngine<unsigned char, double>>(2), 0x80800000u,
                 "VEK_ScaleHeightPPEEngine::initiate()");
}

TEST(ScalePP, EmptySourcesAreRefusedBeforeAnyRatio) {
  const std::vector<Make> creators = {fast(3, 3),
                                      fast(8, 8),
                                      general<Q12>(3, 3),
                                      general<double>(8, 8),
                                      direct<VEK_ScaleWidthPPFastREngine<unsigned char, Q12>>(3),
                                      direct<VEK_ScaleHeightPPFastREngine<unsigned char, double>>(3),
                                      direct<VEK_ScaleWidthPPREngine<unsigned char, Q12>>(3),
                                      direct<VEK_ScaleHeightPPREngine<unsigned char, double>>(3),
                                      direct<VEK_ScaleWidthPPEEngine<unsigned char, Q12>>(8),
                                      direct<VEK_ScaleHeightPPEEngine<unsigned char, double>>(8)};
  for (int sse2 : {0, 1})
    for (auto [w, h] : {std::pair<uint32_t, uint32_t>{0, 4}, {4, 0}, {0, 0}})
      for (size_t i = 0; i < creators.size(); ++i) {
        VEK_ScalePPFastBy<Q12>::assume_sse2_for_testing(sse2);
        expect_size_refused(w, h, creators[i]);
      }
  VEK_ScalePPFastBy<Q12>::assume_sse2_for_testing(-1);
}

TEST(ScalePP, ExtremeRatiosStayInsideTheSource) {
  VEK_TestManager m;
  for (auto [s, n] : std::vector<std::pair<uint32_t, uint32_t>>{{100003, 3}, {100003, 99999}, {7, 6}, {3, 2}}) {
    const std::vector<uint8_t> in = random_samples<uint8_t>(s, s);
    EXPECT_EQ(scaled_ok(head<uint8_t>(m, s, 1), in, by<VEK_ScaleWidthPPFastRBy<Q12>>(n)),
              (oracle_width<uint8_t, Q12>(in, s, 1, 1, n)));
    EXPECT_EQ(scaled_ok(head<uint8_t>(m, 1, s), in, by<VEK_ScaleHeightPPFastRBy<double>>(n)),
              (oracle_height<uint8_t, double>(in, 1, s, 1, n)));
  }
}

TEST(ScalePP, EveryRefusedAllocationLeavesNoLeak) {
  VEK_ScalePPFastBy<Q12>::assume_sse2_for_testing(1);
  VEK_TestManager m;
  const std::vector<uint8_t> in = random_samples<uint8_t>(23 * 17 * 3, 3);
  Head h = head<uint8_t>(m, 23, 17, 3);
  for (auto [w, ht] : std::vector<std::pair<uint32_t, uint32_t>>{{7, 5}, {40, 30}, {7, 30}, {40, 5}}) {
    const std::vector<uint8_t> want = scaled_ok(h, in, general<double>(w, ht));
    expect_no_leak_when_memory_runs_out(in, general<double>(w, ht), want, &h.h);
    expect_no_leak_when_memory_runs_out(in, fast(w, ht), scaled_ok(h, in, fast(w, ht)), &h.h);
    expect_no_leak_when_memory_runs_out(in, general<Q12>(w, ht), scaled_ok(h, in, general<Q12>(w, ht)), &h.h);
  }
  VEK_ScalePPFastBy<Q12>::assume_sse2_for_testing(-1);
}

#ifdef VEK_TEST_HAVE_OPENCV
// OpenCV's INTER_AREA uses the same footprints in float where both directions shrink or both
// grow (mixed, it interpolates the shrinking one); two passes that round in between stay within
// one of it. 16-bit samples with Q12 weights are too coarse for that and are left out.
template <class S>
void expect_near_opencv(int cv_type) {
  VEK_TestManager m;
  for (int c : {1, 3})
    for (auto [W, H, w, h] : std::vector<std::array<uint32_t, 4>>{
             {100, 80, 33, 26}, {2048, 50, 600, 37}, {61, 47, 150, 100}, {37, 29, 80, 70}, {64, 48, 20, 30}}) {
      const std::vector<S> in = random_samples<S>(size_t(W) * H * c, W + c);
      cv::Mat src(int(H), int(W), CV_MAKETYPE(cv_type, c), const_cast<S*>(in.data())), dst;
      cv::resize(src, dst, cv::Size(int(w), int(h)), 0, 0, cv::INTER_AREA);
      const S* want = dst.ptr<S>();
      int which = 0;
      for (const Make& make : {fast(w, h), general<double>(w, h), general<Q12>(w, h)}) {
        if (++which == 3 && sizeof(S) == 2) continue;
        const std::vector<S> got = scaled_ok(head<S>(m, W, H, uint16_t(c)), in, make);
        ASSERT_EQ(got.size(), dst.total() * c);
        for (size_t i = 0; i < got.size(); ++i)
          ASSERT_LE(std::abs(int(got[i]) - int(want[i])), 1)
              << W << " x " << H << " -> " << w << " x " << h << " @" << i << " c" << c << " make " << which << " got "
              << int(got[i]) << " want " << int(want[i]);
      }
    }
}

TEST(ScalePP, WithinOneOfOpenCVArea) {
  VEK_ScalePPFastBy<Q12>::assume_sse2_for_testing(1);
  cv::setNumThreads(1);
  expect_near_opencv<uint8_t>(CV_8U);
  expect_near_opencv<uint16_t>(CV_16U);
  VEK_ScalePPFastBy<Q12>::assume_sse2_for_testing(-1);
}
#endif

}  // namespace

namespace {

// Whole factors go to averaging, whose 8-bit sums are 16-bit up to a factor of 256.
TEST(ScalePP, WholeFactorsAverageExactlyAtTheEdgeOfNarrowSums) {
  VEK_TestManager m;
  for (uint32_t n : {255u, 256u, 257u}) {
    const std::vector<uint8_t> in = random_samples<uint8_t>(size_t(n) * 2, n);
    for (const std::vector<uint8_t>& line : {in, std::vector<uint8_t>(size_t(n) * 2, 255)}) {
      uint32_t sum0 = 0, sum1 = 0;
      for (uint32_t i = 0; i < n; ++i) sum0 += line[i], sum1 += line[n + i];
      const std::vector<uint8_t> want{uint8_t((sum0 + n / 2) / n), uint8_t((sum1 + n / 2) / n)};
      EXPECT_EQ(scaled_ok(head<uint8_t>(m, n * 2, 1), line, general<Q12>(2, 1)), want) << n;
      EXPECT_EQ(scaled_ok(head<uint8_t>(m, 1, n * 2), line, general<Q12>(1, 2)), want) << n;
    }
  }
}

}  // namespace
