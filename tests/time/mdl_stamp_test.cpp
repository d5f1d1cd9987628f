// Private protocol timestamps: 2002 epoch, millisecond fraction, GetMDLSM.
#include "common/time/mdl_stamp.h"

#include <gtest/gtest.h>

#include "tests/time/utc_at.h"

namespace mdl {
namespace {

using testing::UtcAt;
using Bytes = std::array<uint8_t, 8>;

TEST(MdlStampTest, EncodesSecondsSince2002AndMillisecondFraction) {
  struct Case {
    UtcTime t;
    Bytes bytes;
    uint32_t millis;
  };
  const Case cases[] = {
      {UtcAt(2002, 1, 1, 0, 0, 0, 500000000), {0, 0, 0, 0, 0x80, 0, 0, 0}, 500},
      // The fraction comes from whole milliseconds: .5009 s encodes as .500.
      {UtcAt(2002, 1, 1, 0, 0, 0, 500900000), {0, 0, 0, 0, 0x80, 0, 0, 0}, 500},
      {UtcAt(2002, 1, 1), {0, 0, 0, 0, 0, 0, 0, 0}, 0},
      {UtcAt(2002, 1, 2, 0, 0, 0, 999999999), {0, 0x01, 0x51, 0x80, 0xFF, 0xBE, 0x76, 0xC8}, 999},
      {UtcAt(2038, 1, 19, 3, 14, 8), {0x43, 0xCF, 0x04, 0x00, 0, 0, 0, 0}, 0},
  };
  for (const Case& c : cases) {
    uint32_t millis = 12345;
    EXPECT_EQ(MdlStampFromUtc(c.t, &millis), c.bytes) << "at ns " << NsSinceUnixEpoch(c.t);
    EXPECT_EQ(millis, c.millis) << "millisecond reported for ns " << NsSinceUnixEpoch(c.t);
    EXPECT_EQ(MdlStampFromUtc(c.t), c.bytes) << "result must not depend on millis_out";
  }
}

TEST(MdlStampTest, GetMdlsmReadsUnsignedMilliseconds) {
  const Bytes half = {0, 0, 0, 1, 0x80, 0, 0, 0};
  EXPECT_DOUBLE_EQ(MdlStampToMillis(half.data()), 1500.0);
  const Bytes top = {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0};
  EXPECT_DOUBLE_EQ(MdlStampToMillis(top.data()), 4294967295000.0)
      << "seconds must be read unsigned and multiplied without 32-bit overflow";
  // A stamp made at millisecond m reads back as m, to well under 1 ms.
  for (const uint32_t ms : {0u, 1u, 10u, 500u, 990u, 999u}) {
    const Bytes b = MdlStampFromUtc(UtcAt(2026, 12, 7, 0, 0, 1, int64_t{ms} * 1000000));
    const double expected = (UtcAt(2026, 12, 7, 0, 0, 1) - UtcAt(2002, 1, 1)) / std::chrono::milliseconds(1) +
                            static_cast<double>(ms);
    EXPECT_NEAR(MdlStampToMillis(b.data()), expected, 1e-3) << "ms=" << ms;
  }
}

TEST(MdlStampTest, UtcFromMdlStampHandlesStampsBeforeTheEpoch) {
  const UtcTime pivot = UtcAt(2026, 12, 7);
  const UtcTime cases[] = {UtcAt(2026, 12, 7, 14, 3, 9, 250000000),
                           UtcAt(1999, 12, 31, 23, 59, 59, 750000000),  // reset CMOS clock
                           UtcAt(1970, 1, 1)};
  for (const UtcTime t : cases) {
    const Bytes b = MdlStampFromUtc(t);
    EXPECT_EQ(UtcFromMdlStamp(b.data(), pivot), t) << "at ns " << NsSinceUnixEpoch(t);
  }
}

}  // namespace
}  // namespace mdl
