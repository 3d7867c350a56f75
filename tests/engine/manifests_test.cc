#include "engine/manifests.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace ks {
namespace {

TEST(VersionAtoi, AsTheWindowsRuntime) {
  EXPECT_EQ(VersionAtoi("0000000000"), 0);
  EXPECT_EQ(VersionAtoi("0000000010"), 10);
  EXPECT_EQ(VersionAtoi("  \t\n+42abc"), 42);
  EXPECT_EQ(VersionAtoi("-17"), -17);
  EXPECT_EQ(VersionAtoi("v5"), 0);
  EXPECT_EQ(VersionAtoi(""), 0);
  EXPECT_EQ(VersionAtoi("- 5"), 0);
  EXPECT_EQ(VersionAtoi("2147483647"), 2147483647);
  EXPECT_EQ(VersionAtoi("-2147483648"), INT32_MIN);
  // Saturates instead of wrapping.
  EXPECT_EQ(VersionAtoi("2147483648"), INT32_MAX);
  EXPECT_EQ(VersionAtoi("99999999999"), INT32_MAX);
  EXPECT_EQ(VersionAtoi("-99999999999"), INT32_MIN);
  EXPECT_EQ(VersionAtoi(std::string(5000, '9').c_str()), INT32_MAX);
}

}  // namespace
}  // namespace ks
