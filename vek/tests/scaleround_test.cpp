#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "vek_scaleround.h"

TEST(ScaleRound, RoundToFixedRoundsHalvesAwayFromZero) {
  EXPECT_EQ(round_to_fixed(0.5).raw(), 2048);
  EXPECT_EQ(round_to_fixed(-0.5).raw(), -2048);
  EXPECT_EQ(round_to_fixed(1.0 / 8192).raw(), 1);
  EXPECT_EQ(round_to_fixed(-1.0 / 8192).raw(), -1);
  EXPECT_EQ(round_to_fixed(0.75 / 4096).raw(), 1);
  EXPECT_EQ(round_to_fixed(-0.75 / 4096).raw(), -1);
  EXPECT_EQ(round_to_fixed(0.0).raw(), 0);
  EXPECT_EQ(round_to_fixed(0.25 / 4096).raw(), 0);
  // Outside 32 bits and NaN: held, never undefined.
  EXPECT_EQ(round_to_fixed(1e12).raw(), INT32_MAX);
  EXPECT_EQ(round_to_fixed(-1e12).raw(), INT32_MIN);
  EXPECT_EQ(round_to_fixed(std::nan("")).raw(), 0);
}

TEST(ScaleRound, CeilAndTruncateKeepTheLow32Bits) {
  EXPECT_EQ(ceil_to_int(2.25), 3);
  EXPECT_EQ(ceil_to_int(2.0), 2);
  EXPECT_EQ(ceil_to_int(-0.25), 0);
  EXPECT_EQ(truncate_to_int(2.75), 2);
  EXPECT_EQ(truncate_to_int(-0.25), 0);
  EXPECT_EQ(truncate_to_int(-2.75), -2);
  // 2^32 + 5 keeps its low word; NaN and infinities are defined.
  EXPECT_EQ(truncate_to_int(4294967301.5), 5);
  EXPECT_EQ(ceil_to_int(std::nan("")), 0);
  EXPECT_EQ(ceil_to_int(std::numeric_limits<double>::infinity()), -1);
  EXPECT_EQ(truncate_to_int(-std::numeric_limits<double>::infinity()), 0);
}
