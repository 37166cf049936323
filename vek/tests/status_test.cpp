#include <gtest/gtest.h>

#include "vek_status.h"

TEST(InterfaceVersion, AcceptsMajor14WithMinorUpTo0x100) {
  EXPECT_TRUE(check_interface_version(0x01040100u));
  EXPECT_TRUE(check_interface_version(0x01040000u));
  EXPECT_FALSE(check_interface_version(0x01040101u));
  EXPECT_FALSE(check_interface_version(0x01050100u));
  EXPECT_FALSE(check_interface_version(0x00040100u));
}
