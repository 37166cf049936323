// The range pass over a frame: every sample type, every body set, both ends or one, runs that end
// inside and past the wide loop, the type's own bounds planted where each part of the loop reads them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "vek_samplerange.h"

namespace {

std::vector<VEK_KernelSet> available_sets() {
  std::vector<VEK_KernelSet> sets{VEK_KERNELS_PLAIN};
  if (vek_kernel_set_available(VEK_KERNELS_AVX2)) sets.push_back(VEK_KERNELS_AVX2);
  return sets;
}

// Random samples of T with the type's lowest and highest planted at `low` and `high`; the range
// found from sample `from` on, against std::minmax_element on the same samples.
template <class T>
void check_kind(VEK_RangeSample kind) {
  uint64_t x = 0x9E3779B97F4A7C15u;
  const auto next = [&x] {
    x = x * 6364136223846793005u + 1442695040888963407u;
    return x >> 24;
  };
  // Runs shorter than one round of the wide loop, exactly one, and with tails of every size.
  for (size_t n : {size_t(1), size_t(2), size_t(33), size_t(256), size_t(257), size_t(1031), size_t(4096 + 77)}) {
    for (size_t from : {size_t(0), size_t(1)}) {
      const size_t positions[] = {from, n / 2 + from, n + from - 1};
      for (size_t low : positions) {
        for (size_t high : positions) {
          if (low == high && n > 1) continue;
          std::vector<T> samples(n + from);
          for (T& s : samples) s = T(double(next() % 1000) - (std::is_signed_v<T> ? 500 : 0));
          samples[low] = std::numeric_limits<T>::lowest();
          samples[high] = std::numeric_limits<T>::max();
          const auto [least, most] = std::minmax_element(samples.begin() + from, samples.end());
          for (VEK_KernelSet set : available_sets()) {
            // Each end alone leaves the other where it was.
            for (VEK_RangeEnds ends : {VEK_RangeEnds::both, VEK_RangeEnds::lowest, VEK_RangeEnds::highest}) {
              double lo = std::numeric_limits<double>::max(), hi = std::numeric_limits<double>::lowest();
              vek_sample_range(set, kind, samples.data() + from, n, lo, hi, ends);
              const bool low_end = ends != VEK_RangeEnds::highest, high_end = ends != VEK_RangeEnds::lowest;
              ASSERT_EQ(lo, low_end ? double(*least) : std::numeric_limits<double>::max())
                  << "set " << int(set) << " ends " << int(ends) << " n " << n << " low at " << low;
              ASSERT_EQ(hi, high_end ? double(*most) : std::numeric_limits<double>::lowest())
                  << "set " << int(set) << " ends " << int(ends) << " n " << n << " high at " << high;
            }
          }
        }
      }
    }
  }
}

}  // namespace

TEST(SampleRange, EveryKindAndSetFindsTheTypesOwnBoundsWhereverTheyLie) {
  check_kind<uint8_t>(VEK_RangeSample::u8);
  check_kind<int8_t>(VEK_RangeSample::s8);
  check_kind<uint16_t>(VEK_RangeSample::u16);
  check_kind<int16_t>(VEK_RangeSample::s16);
  check_kind<uint32_t>(VEK_RangeSample::u32);
  check_kind<int32_t>(VEK_RangeSample::s32);
  check_kind<float>(VEK_RangeSample::f32);
}

TEST(SampleRange, WidensTheRangeGivenAndPassesOverNaNsAfterTheFirstSample) {
  for (VEK_KernelSet set : available_sets()) {
    std::vector<int16_t> samples(300, 7);
    samples[299] = -3;
    double lo = -10, hi = 5;
    vek_sample_range(set, VEK_RangeSample::s16, samples.data(), samples.size(), lo, hi);
    EXPECT_EQ(lo, -10);
    EXPECT_EQ(hi, 7);
    vek_sample_range(set, VEK_RangeSample::s16, samples.data(), 0, lo, hi);
    EXPECT_EQ(lo, -10);
    EXPECT_EQ(hi, 7);

    std::vector<float> values(300, 1.5f);
    values[100] = std::nanf("");
    values[200] = -2.25f;
    lo = 0, hi = 0;
    vek_sample_range(set, VEK_RangeSample::f32, values.data(), values.size(), lo, hi);
    EXPECT_EQ(lo, -2.25);
    EXPECT_EQ(hi, 1.5);
  }
}
