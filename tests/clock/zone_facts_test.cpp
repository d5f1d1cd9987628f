// System zone facts from the zone database and POSIX TZ rules.
#include "common/clock/zone_facts.h"

#include <gtest/gtest.h>

#include "common/time/zone_bias.h"
#include "tests/clock/tz_guard.h"
#include "tests/time/utc_at.h"

namespace mdl {
namespace {

using testing::TzGuard;
using testing::UtcAt;

ZoneFacts Facts(int32_t bias, int32_t daylight_bias, bool daylight, const char* standard,
                const char* summer) {
  ZoneFacts z;
  z.bias_minutes = bias;
  z.daylight_bias_minutes = daylight_bias;
  z.daylight = daylight;
  z.standard_name = standard;
  z.daylight_name = summer;
  return z;
}

TEST(ZoneFactsAtTest, MatchesTheZoneDatabase) {
  struct Case {
    const char* tz;
    UtcTime t;
    ZoneFacts facts;
    int32_t grab_bias;
  };
  const Case cases[] = {
      {"America/Denver", UtcAt(2026, 1, 15, 12), Facts(420, -60, false, "MST", "MDT"), 25200},
      {"America/Denver", UtcAt(2026, 7, 15, 12), Facts(420, -60, true, "MST", "MDT"), 21600},
      {"Europe/Berlin", UtcAt(2026, 12, 7, 13), Facts(-60, -60, false, "CET", "CEST"), -3600},
      {"Europe/Berlin", UtcAt(2026, 7, 4, 10), Facts(-60, -60, true, "CET", "CEST"), -7200},
      // Southern hemisphere: daylight time in January.
      {"Australia/Sydney", UtcAt(2026, 1, 15), Facts(-600, -60, true, "AEST", "AEDT"), -39600},
      {"Asia/Kolkata", UtcAt(2026, 7, 4), Facts(-330, 0, false, "IST", "IST"), -19800},
      {"UTC", UtcAt(2026, 7, 4), Facts(0, 0, false, "UTC", "UTC"), 0},
  };
  for (const Case& c : cases) {
    TzGuard tz(c.tz);
    const ZoneFacts got = ZoneFactsAt(c.t);
    EXPECT_EQ(got, c.facts) << c.tz << ": bias " << got.bias_minutes << " daylight bias "
                            << got.daylight_bias_minutes << " daylight " << got.daylight << " names "
                            << got.standard_name << "/" << got.daylight_name;
    EXPECT_EQ(GrabBias(got), c.grab_bias) << c.tz;
  }
}

TEST(ZoneFactsAtTest, SwitchesExactlyAtTheTransition) {
  // POSIX rule, independent of the database: US Mountain time.
  TzGuard tz("MST7MDT,M3.2.0,M11.1.0");
  EXPECT_FALSE(ZoneFactsAt(UtcAt(2026, 3, 8, 8, 59, 59)).daylight) << "01:59:59 MST";
  EXPECT_TRUE(ZoneFactsAt(UtcAt(2026, 3, 8, 9)).daylight) << "02:00 MST becomes 03:00 MDT";
  EXPECT_TRUE(ZoneFactsAt(UtcAt(2026, 11, 1, 7, 59, 59)).daylight) << "01:59:59 MDT";
  const ZoneFacts after = ZoneFactsAt(UtcAt(2026, 11, 1, 8));
  EXPECT_FALSE(after.daylight) << "02:00 MDT becomes 01:00 MST";
  EXPECT_EQ(after.bias_minutes, 420);
  EXPECT_EQ(after.daylight_bias_minutes, -60);
}

TEST(ZoneFactsAtTest, FollowsAChangedTz) {
  const UtcTime t = UtcAt(2026, 1, 15);
  {
    TzGuard tz("Europe/Berlin");
    EXPECT_EQ(ZoneFactsAt(t).bias_minutes, -60);
  }
  {
    TzGuard tz("America/Denver");
    EXPECT_EQ(ZoneFactsAt(t).bias_minutes, 420) << "tzset must be called on every query";
  }
}

}  // namespace
}  // namespace mdl
