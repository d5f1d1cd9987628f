// NTP timestamps and epoch second counts: exact fractions, byte order, eras.
#include "common/time/ntp_timestamp.h"

#include <gtest/gtest.h>

#include "common/time/byte_order.h"
#include "tests/time/utc_at.h"

namespace mdl {
namespace {

using testing::UtcAt;

TEST(NtpTimestampTest, BytesAreBigEndianAndRoundTrip) {
  const NtpTimestamp ts{0x01020304u, 0xA1B2C3D4u};
  const std::array<uint8_t, 8> expected = {0x01, 0x02, 0x03, 0x04, 0xA1, 0xB2, 0xC3, 0xD4};
  EXPECT_EQ(ts.ToBytes(), expected) << "seconds then fraction, most significant byte first";
  EXPECT_EQ(NtpTimestamp::FromBytes(expected.data()), ts);
}

TEST(NtpTimestampTest, FractionEncodesTheTrueSubsecond) {
  struct Case {
    int64_t ns;
    uint32_t fraction;
  };
  const Case cases[] = {
      {0, 0u},                   // zero stays zero, no substitute value
      {1, 4u},                   // floor(2^32 / 1e9)
      {500000000, 0x80000000u},  // exactly half: 80 00 00 00
      {250000000, 0x40000000u},
      {999999999, 4294967291u},  // largest ns stays below 2^32
  };
  for (const Case& c : cases) {
    const NtpTimestamp ts = NtpFromUtc(UtcAt(2026, 12, 7, 14, 3, 9, c.ns));
    EXPECT_EQ(ts.fraction, c.fraction) << "ns=" << c.ns;
  }
  const auto half = NtpFromUtc(UtcAt(2026, 12, 7, 0, 0, 0, 500000000)).ToBytes();
  EXPECT_EQ(half[4], 0x80);
  EXPECT_EQ(half[5] | half[6] | half[7], 0) << "lower fraction bytes of .5 s must be zero";
}

TEST(NtpTimestampTest, FractionIsStrictlyIncreasingAtBothEndsOfTheSecond) {
  // Any carry, rounding or overflow fault shows as a repeat or a drop.
  for (const int64_t start : {int64_t{0}, int64_t{999000000}}) {
    uint32_t previous = NtpFromUtc(UtcFromNs(start)).fraction;
    for (int64_t ns = start + 1; ns < start + 1000000; ++ns) {
      const uint32_t f = NtpFromUtc(UtcFromNs(ns)).fraction;
      ASSERT_GT(f, previous) << "fraction not increasing at ns=" << ns;
      previous = f;
    }
  }
}

TEST(NtpTimestampTest, SecondsSinceBasesMatchKnownVectors) {
  const UtcTime y2000 = UtcAt(2000, 1, 1);
  EXPECT_EQ(Be32Bytes(SecondsSince1900(y2000)), (std::array<uint8_t, 4>{0xBC, 0x17, 0xC2, 0x00}));
  EXPECT_EQ(Be32Bytes(SecondsSince1970Low32(y2000)), (std::array<uint8_t, 4>{0x38, 0x6D, 0x43, 0x80}));
  EXPECT_EQ(SecondsSince1900(y2000), 0xBC17C200u);
  EXPECT_EQ(SecondsSince1970Low32(y2000), 0x386D4380u);
  EXPECT_EQ(NtpFromUtc(y2000).seconds, 0xBC17C200u);

  // Era 1 starts 2036-02-07 06:28:16; the count wraps to 0.
  EXPECT_EQ(SecondsSince1900(UtcAt(2036, 2, 7, 6, 28, 15)), 0xFFFFFFFFu);
  EXPECT_EQ(SecondsSince1900(UtcAt(2036, 2, 7, 6, 28, 16)), 0u);
  // Past 2038-01-19 03:14:07 the 1970 count goes on as unsigned.
  EXPECT_EQ(SecondsSince1970Low32(UtcAt(2038, 1, 19, 3, 14, 7)), 0x7FFFFFFFu);
  EXPECT_EQ(SecondsSince1970Low32(UtcAt(2038, 1, 19, 3, 14, 8)), 0x80000000u);
  // Whole seconds round towards the past, also before 1970.
  EXPECT_EQ(SecondsSince1970Low32(UtcFromNs(-500000000)), 0xFFFFFFFFu);
  EXPECT_EQ(SecondsSince1900(UtcAt(2000, 1, 1, 0, 0, 0, 999999999)), 0xBC17C200u);
}

TEST(NtpTimestampTest, NegativeUnixTimeKeepsFractionInsideTheSecond) {
  const NtpTimestamp ts = NtpFromUtc(UtcFromNs(-500000000));  // 1969-12-31 23:59:59.5
  EXPECT_EQ(ts.seconds, 2208988799u);
  EXPECT_EQ(ts.fraction, 0x80000000u);
}

TEST(NtpTimestampTest, UtcFromNtpRoundTripsAndPicksTheEraNearThePivot) {
  const UtcTime instants[] = {
      UtcAt(1968, 1, 20, 3, 14, 7, 1),
      UtcAt(2000, 1, 1),
      UtcAt(2026, 12, 7, 14, 3, 9, 999999999),
      UtcAt(2036, 2, 7, 6, 28, 15, 999999999),
      UtcAt(2036, 2, 7, 6, 28, 16),
      UtcAt(2100, 6, 30, 12, 0, 0, 123456789),
  };
  for (const UtcTime t : instants) {
    EXPECT_EQ(UtcFromNtp(NtpFromUtc(t), t), t) << "round trip lost the instant " << NsSinceUnixEpoch(t);
    // A pivot decades away on either side still lands in the same era.
    EXPECT_EQ(UtcFromNtp(NtpFromUtc(t), t + std::chrono::years(60)), t);
    EXPECT_EQ(UtcFromNtp(NtpFromUtc(t), t - std::chrono::years(60)), t);
  }
  const NtpTimestamp zero{0, 0};
  EXPECT_EQ(UtcFromNtp(zero, UtcAt(2036, 3, 1)), UtcAt(2036, 2, 7, 6, 28, 16))
      << "seconds 0 near 2036 is the start of era 1";
  EXPECT_EQ(UtcFromNtp(zero, UtcAt(1990, 1, 1)), UtcAt(2036, 2, 7, 6, 28, 16))
      << "from 1990, 2036 (46 years) is nearer than 1900 (90 years)";
  EXPECT_EQ(UtcFromNtp(zero, UtcAt(1950, 1, 1)), UtcAt(1900, 1, 1))
      << "seconds 0 near 1950 is the era 0 epoch";
  EXPECT_EQ(UtcFromNtp(NtpTimestamp{0xFFFFFFFFu, 0}, UtcAt(2036, 3, 1)), UtcAt(2036, 2, 7, 6, 28, 15));
}

TEST(NtpTimestampTest, UtcFromNtpSaturatesAtTheEdgeOfTheRange) {
  // Stamps nearly 68 years ahead of / behind a pivot at the end of the range.
  const UtcTime late = UtcTime::max() - std::chrono::hours(24);
  const NtpTimestamp ahead{SecondsSince1900(late) + 0x7FFFFFFFu, 0};
  EXPECT_GE(UtcFromNtp(ahead, late), late) << "must saturate forward, not wrap into the past";
  const UtcTime early = UtcTime::min() + std::chrono::hours(24);
  const NtpTimestamp behind{SecondsSince1900(early) - 0x7FFFFFFFu, 0};
  EXPECT_LE(UtcFromNtp(behind, early), early) << "must saturate backward, not wrap";
}

TEST(NtpTimestampTest, ToMillisKeepsFullRangeAndFraction) {
  EXPECT_DOUBLE_EQ(NtpToMillis(NtpTimestamp{1, 0x80000000u}), 1500.0);
  EXPECT_DOUBLE_EQ(NtpToMillis(NtpTimestamp{0xFFFFFFFFu, 0}), 4294967295000.0)
      << "seconds * 1000 must not be computed in 32 bits";
  EXPECT_NEAR(NtpToMillis(NtpTimestamp{0, 0xFFFFFFFFu}), 1000.0, 1e-6);
}

TEST(NtpTimestampTest, GrabTimeReportsTheMillisecondOfTheInstant) {
  const struct {
    int64_t ns;
    uint32_t millis;
  } cases[] = {{0, 0}, {999999, 0}, {1000000, 1}, {500000000, 500}, {999999999, 999}};
  for (const auto& c : cases) {
    const UtcTime t = UtcAt(2026, 12, 7, 14, 3, 9, c.ns);
    const GrabbedTime g = GrabTime(t);
    EXPECT_EQ(g.last_millis, c.millis) << "ns=" << c.ns;
    EXPECT_EQ(g.stamp, NtpFromUtc(t)) << "GrabTime must carry the exact timestamp";
  }
}

}  // namespace
}  // namespace mdl
