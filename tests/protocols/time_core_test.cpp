// Time and UnixTime replies: the 32-bit counts in network byte order.
#include "server/protocols/time_core.h"

#include <gtest/gtest.h>

namespace mdl {
namespace {

TEST(TimeReply, IsSecondsSince1900BigEndian) {
  // 2000-01-01 00:00:00 UTC.
  const std::array<uint8_t, 4> expected = {0xBC, 0x17, 0xC2, 0x00};
  EXPECT_EQ(TimeReply(3155673600u), expected);
  const std::array<uint8_t, 4> last = {0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(TimeReply(0xFFFFFFFFu), last) << "2036-02-07 06:28:15 UTC";
}

TEST(UnixTimeReply, IsSecondsSince1970BigEndian) {
  const std::array<uint8_t, 4> expected = {0x38, 0x6D, 0x43, 0x80};
  EXPECT_EQ(UnixTimeReply(946684800u), expected) << "2000-01-01 00:00:00 UTC";
  const std::array<uint8_t, 4> one = {0, 0, 0, 1};
  EXPECT_EQ(UnixTimeReply(1u), one) << "least significant byte must come last";
}

}  // namespace
}  // namespace mdl
