// Tests of the bounded reader of registry numbers.
#include "common/registry/registry_number.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace mdl {
namespace {

constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();

TEST(RegistryNumber, ReadsDigitsUpToTheBound) {
  EXPECT_EQ(ReadRegistryNumber("0", 10), 0u);
  EXPECT_EQ(ReadRegistryNumber("10", 10), 10u);
  EXPECT_EQ(ReadRegistryNumber("0007", 10), 7u) << "leading zeros are digits";
  EXPECT_EQ(ReadRegistryNumber("11", 10), std::nullopt);
  EXPECT_EQ(ReadRegistryNumber("86400", 86400), 86400u);
  EXPECT_EQ(ReadRegistryNumber("86401", 86400), std::nullopt);
  EXPECT_EQ(ReadRegistryNumber("5", 0), std::nullopt);
  EXPECT_EQ(ReadRegistryNumber("0", 0), 0u);
}

TEST(RegistryNumber, OverflowIsRejectedNotWrapped) {
  EXPECT_EQ(ReadRegistryNumber("18446744073709551615", kU64Max), kU64Max);
  EXPECT_EQ(ReadRegistryNumber("18446744073709551616", kU64Max), std::nullopt);
  EXPECT_EQ(ReadRegistryNumber("99999999999999999999999", kU64Max), std::nullopt);
  // 2^64 + 5 would wrap to 5 in unchecked arithmetic.
  EXPECT_EQ(ReadRegistryNumber("18446744073709551621", 100), std::nullopt);
  EXPECT_EQ(ReadRegistryNumber("4294967296", 4294967295u), std::nullopt);
}

TEST(RegistryNumber, SignsBlanksAndJunkAreNotNumbers) {
  for (const char* text :
       {"", "-1", "-0", "+5", " 5", "5 ", "\t5", "5\n", "5x", "x5", "0x10", "1e3", "2.0", "1,000", "YES"}) {
    EXPECT_EQ(ReadRegistryNumber(text, kU64Max), std::nullopt) << '"' << text << '"';
  }
  const std::string_view with_nul(
      "12\0"
      "3",
      4);
  EXPECT_EQ(ReadRegistryNumber(with_nul, kU64Max), std::nullopt) << "an embedded NUL ends no number";
}

}  // namespace
}  // namespace mdl
