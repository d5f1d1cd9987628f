// GrabBias and local time: daylight handling, ignored standard bias, signs.
#include "common/time/zone_bias.h"

#include <gtest/gtest.h>

#include "tests/time/utc_at.h"

namespace mdl {
namespace {

using testing::UtcAt;

ZoneFacts Zone(int32_t bias, int32_t standard_bias, int32_t daylight_bias, bool daylight) {
  ZoneFacts z;
  z.bias_minutes = bias;
  z.standard_bias_minutes = standard_bias;
  z.daylight_bias_minutes = daylight_bias;
  z.daylight = daylight;
  z.standard_name = "STD";
  z.daylight_name = "DST";
  return z;
}

TEST(GrabBiasTest, AddsDaylightBiasOnlyInDaylightTimeAndNeverStandardBias) {
  struct Case {
    const char* what;
    ZoneFacts zone;
    int32_t seconds;
  };
  const Case cases[] = {
      {"US Eastern daylight", Zone(300, 0, -60, true), 14400},
      {"US Eastern standard", Zone(300, 0, -60, false), 18000},
      {"standard bias ignored in standard time", Zone(300, 45, -60, false), 18000},
      {"standard bias ignored in daylight time", Zone(300, 45, -60, true), 14400},
      {"Central Europe summer", Zone(-60, 0, -60, true), -7200},
      {"India, no DST", Zone(-330, 0, 0, false), -19800},
      {"UTC", Zone(0, 0, 0, false), 0},
  };
  for (const Case& c : cases) EXPECT_EQ(GrabBias(c.zone), c.seconds) << c.what;
}

TEST(LocalFromUtcTest, SubtractsBiasAcrossDateLines) {
  const UtcTime t = UtcAt(2026, 12, 7, 3, 0, 0, 123);
  EXPECT_EQ(LocalFromUtc(t, 25200).time_since_epoch(), (UtcAt(2026, 12, 6, 20, 0, 0, 123)).time_since_epoch())
      << "west of Greenwich, local is earlier";
  EXPECT_EQ(LocalFromUtc(t, -36000).time_since_epoch(),
            (UtcAt(2026, 12, 7, 13, 0, 0, 123)).time_since_epoch())
      << "east of Greenwich, local is later";
  EXPECT_EQ(LocalFromUtc(t, Zone(-60, 0, -60, true)).time_since_epoch(),
            (UtcAt(2026, 12, 7, 5, 0, 0, 123)).time_since_epoch());
}

TEST(ZoneNameTest, PicksDaylightNameOnlyWhileDaylight) {
  EXPECT_EQ(ZoneName(Zone(-60, 0, -60, true)), "DST");
  EXPECT_EQ(ZoneName(Zone(-60, 0, -60, false)), "STD");
}

}  // namespace
}  // namespace mdl
