// Every 8- and 16-bit source value through the linear, look-up-table and shift engines,
// against a reference written without the library's helpers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "vek_clampround.h"
#include "vek_convertdatatype8xnbits.h"
#include "vek_lut.h"
#include "vek_shiftdata.h"
#include "vek_test_image.h"

namespace {

// Clamps to the output range, then rounds by the output's rule: unsigned trunc(v + 0.5), signed
// half away from zero (trunc(v + 0.5) or trunc(v - 0.5)), floating types not at all. Not
// std::round: it differs where v + 0.5 rounds up in double arithmetic (0.49999999999999994).
template <class D>
D reference(double v) {
  using L = std::numeric_limits<D>;
  if (std::isnan(v)) return std::is_floating_point_v<D> ? L::quiet_NaN() : D(0);
  if constexpr (std::is_floating_point_v<D>) {
    if (v > double(L::max())) return L::max();
    if (v < -double(L::max())) return -L::max();
    return D(v);
  } else {
    if (v < double(L::lowest())) return L::lowest();
    if (v > double(L::max())) return L::max();
    if constexpr (std::is_unsigned_v<D>) return D(std::trunc(v + 0.5));
    return D(v < 0 ? std::trunc(v - 0.5) : std::trunc(v + 0.5));
  }
}

template <class S>
std::vector<S> every_value() {
  std::vector<S> v;
  for (int64_t x = std::numeric_limits<S>::lowest(); x <= std::numeric_limits<S>::max(); ++x) v.push_back(S(x));
  return v;
}

struct Mapping {
  const char* name;
  double slope;
  double intercept;
};

// Window and level as the viewer sets them: slope 256 / width, intercept -(centre - width / 2) x slope.
Mapping window(const char* name, double centre, double width) {
  const double slope = 256.0 / width;
  return {name, slope, -(centre - width / 2) * slope};
}

const std::vector<Mapping>& mappings() {
  static const std::vector<Mapping> all = {
      window("CT 40/400", 40, 400),
      window("MR 350/500", 350, 500),
      window("width 0", 40, 0),
      {"shift only", 1.0, 100.4},
      {"scale only", 0.5, 0.0},
      {"rescale", 2.5, -1024.0},
      {"inverted", -1.5, 1000.25},
      {"huge", 3.7e9, -1e12},
      // 1 and -1 give +-0.49999999999999994, whose sum with 0.5 is 1 in double arithmetic.
      {"just below a half", 0.49999999999999994, 0.0},
  };
  return all;
}

template <class S, class D>
void check(const std::vector<S>& in, const std::vector<D>& out, const char* what, const Mapping& m) {
  ASSERT_EQ(out.size(), in.size()) << what << " " << m.name;
  size_t wrong = 0;
  for (size_t i = 0; i < in.size(); ++i) {
    const D want = reference<D>(double(in[i]) * m.slope + m.intercept);
    if (!same_sample(out[i], want) && ++wrong <= 3)
      ADD_FAILURE() << what << " " << m.name << ": " << +in[i] << " gave " << +out[i] << ", want " << +want;
  }
  EXPECT_EQ(wrong, 0u) << what << " " << m.name;
}

// Every value of S as a square-ish image of 16 or 256 lines.
template <class S>
void every_value_image(VEK_Header& h, const std::vector<S>& in) {
  const uint32_t width = sizeof(S) == 1 ? 16 : 256;
  set_image(h, uint16_t(sizeof(S) * 8), test_data_type<S>(), 1, width, uint32_t(in.size() / width));
}

template <class S, class D>
void linear_and_lut() {
  const std::vector<S> in = every_value<S>();
  const uint16_t bits = uint16_t(sizeof(D) * 8);
  for (const Mapping& map : mappings()) {
    VEK_TestManager m;
    VEK_Header h(&m);
    every_value_image(h, in);
    TestRun<D> r = run_samples<D>(
        m, in,
        [&](VEK_Manager* mm, VEK_Engine* source) {
          return VEK_ConvertDataType8xNbits(mm).engine(source, test_data_type<D>(), bits, map.slope, map.intercept);
        },
        &h);
    EXPECT_TRUE(r.passed);
    check(in, r.out, "linear", map);

    std::vector<D> table(in.size());
    fill_linear_lut<D>(table.data(), int32_t(std::numeric_limits<S>::lowest()), uint32_t(table.size()), map.slope,
                       map.intercept);
    {
      VEK_LutData lut(&m);
      lut.bits(bits);
      lut.channels(1);
      lut.entries(uint32_t(table.size()));
      lut.data_type(test_data_type<D>());
      ASSERT_TRUE(lut.value(table.data(), uint32_t(table.size() * sizeof(D))));
      r = run_samples<D>(
          m, in, [&](VEK_Manager* mm, VEK_Engine* source) { return VEK_Lut(mm).engine(source, &lut, nullptr); }, &h);
      EXPECT_TRUE(r.passed);
      check(in, r.out, "table", map);
    }
    EXPECT_EQ(m.memory_manager().live(), 3u);
  }
}

// Limited shifts always give the rounded, clamped product; unlimited ones must too whenever
// needs_limit finds no room for overflow.
template <class S, class D>
void shifts() {
  const std::vector<S> in = every_value<S>();
  const uint16_t bits = uint16_t(sizeof(D) * 8);
  VEK_TestManager m;
  VEK_Header h(&m);
  every_value_image(h, in);
  for (int16_t count : {-17, -16, -9, -8, -7, -2, -1, 0, 1, 2, 7, 8, 9, 15, 16, 17, 23, 24, 25}) {
    const Mapping map = {"shift", std::ldexp(1.0, count), 0.0};
    uint8_t mode = 0;
    const bool limited = needs_limit(&h, test_data_type<D>(), bits, count, mode);
    for (bool with_limit : {true, false}) {
      if (!with_limit && limited) continue;
      TestRun<D> r = run_samples<D>(
          m, in,
          [&](VEK_Manager* mm, VEK_Engine* source) {
            return VEK_ShiftData(mm).engine(source, test_data_type<D>(), bits, count, with_limit);
          },
          &h);
      EXPECT_TRUE(r.passed);
      const std::string what = std::string(with_limit ? "limited" : "unlimited") + " shift " + std::to_string(count);
      check(in, r.out, what.c_str(), map);
    }
  }
}

template <class S>
void from_source() {
  linear_and_lut<S, uint8_t>();
  linear_and_lut<S, int8_t>();
  linear_and_lut<S, uint16_t>();
  linear_and_lut<S, int16_t>();
  linear_and_lut<S, uint32_t>();
  linear_and_lut<S, int32_t>();
  linear_and_lut<S, float>();
  linear_and_lut<S, double>();
  shifts<S, uint8_t>();
  shifts<S, int8_t>();
  shifts<S, uint16_t>();
  shifts<S, int16_t>();
  shifts<S, uint32_t>();
  shifts<S, int32_t>();
}

}  // namespace

TEST(EveryValue, Unsigned8) { from_source<uint8_t>(); }
TEST(EveryValue, Signed8) { from_source<int8_t>(); }
TEST(EveryValue, Unsigned16) { from_source<uint16_t>(); }
TEST(EveryValue, Signed16) { from_source<int16_t>(); }
