// The conversion lines run one of several bodies; which one must follow the processor and the
// KV_PLAIN_KERNELS switch, and every body must write the same bytes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/platdispatch.h"
#include "vek_convertlines.h"

namespace {

VEK_KernelSet best_set() { return vek_kernel_set_available(VEK_KERNELS_AVX2) ? VEK_KERNELS_AVX2 : VEK_KERNELS_PLAIN; }

// Runs statement in a fresh copy of this test binary whose environment has KV_PLAIN_KERNELS
// set to value, so that the choice is made anew there.
class ScopedSwitch {
 public:
  explicit ScopedSwitch(const char* value) {
    const char* old = std::getenv(PLAT_FORCE_PLAIN_ENV);
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv(PLAT_FORCE_PLAIN_ENV, value, 1);
  }
  ~ScopedSwitch() {
    if (had_)
      setenv(PLAT_FORCE_PLAIN_ENV, old_.c_str(), 1);
    else
      unsetenv(PLAT_FORCE_PLAIN_ENV);
  }

 private:
  bool had_ = false;
  std::string old_;
};

}  // namespace

TEST(KernelSet, ThisProcessRunsTheSetTheSwitchAndProcessorAllow) {
  EXPECT_EQ(vek_kernel_set(), PlatForcePlainKernels() ? VEK_KERNELS_PLAIN : best_set());
  EXPECT_TRUE(vek_kernel_set_available(vek_kernel_set()));
}

// Under ThreadSanitizer this also checks that the choice made at first use is race-free: ctest
// runs each test in a process of its own, so here the first use is this one.
TEST(KernelSet, ThreadsThatRaceToTheFirstUseAllGetTheSameBodies) {
  std::vector<const VEK_ConvertLine*> seen(8);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < seen.size(); ++t) threads.emplace_back([&seen, t] { seen[t] = vek_convert_lines(3, 0); });
  for (auto& t : threads) t.join();
  for (const VEK_ConvertLine* lines : seen) EXPECT_EQ(lines, vek_convert_lines(vek_kernel_set(), 3, 0));
}

TEST(KernelSet, SwitchForcesThePlainBodiesAndOnlyWhenSet) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  {
    ScopedSwitch forced("1");
    EXPECT_EXIT(std::exit(vek_kernel_set() == VEK_KERNELS_PLAIN ? 0 : 1), testing::ExitedWithCode(0), "");
  }
  {
    ScopedSwitch off("0");
    const int best = best_set();
    EXPECT_EXIT(std::exit(vek_kernel_set() == best ? 0 : 1), testing::ExitedWithCode(0), "");
  }
}

TEST(KernelSet, EveryBodyWritesTheSameBytesForEveryPairAndForm) {
  if (!vek_kernel_set_available(VEK_KERNELS_AVX2)) GTEST_SKIP() << "no second body set on this processor";
  struct Mapping {
    double slope, intercept;
  };
  const Mapping mappings[] = {{1.0, 100.4},    {0.5, 0.0},     {0.64, 102.4},     {2.5, -1024.0},
                              {-1.5, 1000.25}, {3.7e9, -1e12}, {1e-300, 0.5},     {NAN, 0.0},
                              {1.0, NAN},      {-0.0, -0.0},   {4294967296.0, 0}, {0.5, -0.5}};
  // Random bytes: every integer, and for float and double also NaNs, infinities and denormals;
  // the odd length leaves a tail after the wide loops. A few exact halves and bounds lead.
  constexpr uint32_t n = 1031;
  std::vector<uint8_t> in(n * 8);
  uint64_t x = 0x9E3779B97F4A7C15u;
  for (auto& b : in) {
    x = x * 6364136223846793005u + 1442695040888963407u;
    b = uint8_t(x >> 56);
  }
  const double lead[] = {
      0.5,  -0.5,     2.5,      -2.5, 254.5, 255.5, -128.5, 65535.5, 4294967295.5, -2147483648.5, 0.49999999999999994,
      -0.0, INFINITY, -INFINITY};
  std::memcpy(in.data() + 8 * 64, lead, sizeof lead);  // only the double source reads them as values
  size_t compared = 0;
  for (uint32_t s = 0; s < 8; ++s) {
    for (uint32_t d = 0; d < 8; ++d) {
      const double high[8] = {
          255, 127, 65535, 32767, 4294967295.0, 2147483647.0, 3.4028234663852886e38, 1.7976931348623157e308};
      const double low[8] = {0, -128, 0, -32768, 0, -2147483648.0, -3.4028234663852886e38, -1.7976931348623157e308};
      const VEK_ConvertLine* plain = vek_convert_lines(VEK_KERNELS_PLAIN, s, d);
      const VEK_ConvertLine* wide = vek_convert_lines(VEK_KERNELS_AVX2, s, d);
      for (int form = 0; form < 3; ++form) {
        for (const Mapping& m : mappings) {
          std::vector<uint8_t> a(n * 8 + 16, 0xA5), b(n * 8 + 16, 0xA5);
          plain[form](in.data(), a.data(), n, m.slope, m.intercept, high[d], low[d]);
          wide[form](in.data(), b.data(), n, m.slope, m.intercept, high[d], low[d]);
          ASSERT_EQ(a, b) << "source " << s << " output " << d << " form " << form << " slope " << m.slope
                          << " intercept " << m.intercept;
          ++compared;
        }
      }
    }
  }
  EXPECT_EQ(compared, 8u * 8u * 3u * std::size(mappings));
}
