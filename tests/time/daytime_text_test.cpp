// Daytime texts: plain local text, Julian layout, US daylight indicator TT.
#include "common/time/daytime_text.h"

#include <gtest/gtest.h>

#include "tests/time/utc_at.h"

namespace mdl {
namespace {

using testing::UtcAt;

ZoneFacts Zone(int32_t bias, bool daylight, const char* standard, const char* summer) {
  ZoneFacts z;
  z.bias_minutes = bias;
  z.daylight_bias_minutes = -60;
  z.standard_bias_minutes = 30;  // must never count
  z.daylight = daylight;
  z.standard_name = standard;
  z.daylight_name = summer;
  return z;
}

TEST(DaytimePlainTextTest, LocalTimeWithZoneName) {
  struct Case {
    UtcTime t;
    ZoneFacts zone;
    const char* text;
  };
  const Case cases[] = {
      {UtcAt(2026, 12, 7, 13, 3, 9, 999000000), Zone(-60, false, "CET", "CEST"),
       "Monday, December 07, 2026 14:03:09-CET"},
      {UtcAt(2026, 7, 4, 10, 0, 0), Zone(-60, true, "CET", "CEST"), "Saturday, July 04, 2026 12:00:00-CEST"},
      {UtcAt(2026, 12, 7, 3, 0, 0), Zone(420, false, "MST", "MDT"), "Sunday, December 06, 2026 20:00:00-MST"},
  };
  for (const Case& c : cases) EXPECT_EQ(DaytimePlainText(c.t, c.zone), c.text);
}

TEST(DaylightIndicatorTest, CountsDownInChangeMonthsAndSwitchesAtTwoMountain) {
  struct Case {
    UtcTime t;
    const char* tt;
  };
  const Case cases[] = {
      // 2026: daylight from Sunday 8 March to Sunday 1 November.
      {UtcAt(2026, 1, 15, 12), "00"},
      {UtcAt(2026, 2, 28, 23, 59, 59), "00"},
      {UtcAt(2026, 3, 1), "58"},
      {UtcAt(2026, 3, 7, 23, 59, 59), "52"},
      {UtcAt(2026, 3, 8), "51"},
      {UtcAt(2026, 3, 8, 8, 59, 59, 999999999), "51"},  // 01:59:59 MST
      {UtcAt(2026, 3, 8, 9), "50"},                     // 02:00 MST: daylight
      {UtcAt(2026, 3, 31, 23), "50"},
      {UtcAt(2026, 7, 4), "50"},
      {UtcAt(2026, 10, 31, 23, 59, 59), "50"},
      {UtcAt(2026, 11, 1), "01"},
      {UtcAt(2026, 11, 1, 7, 59, 59, 999999999), "01"},  // 01:59:59 MDT
      {UtcAt(2026, 11, 1, 8), "00"},                     // 02:00 MDT: standard
      {UtcAt(2026, 11, 30), "00"},
      {UtcAt(2026, 12, 25), "00"},
      // 2027: Sunday 14 March and Sunday 7 November.
      {UtcAt(2027, 2, 10), "00"},
      {UtcAt(2027, 3, 1), "64"},
      {UtcAt(2027, 3, 5, 18), "60"},
      {UtcAt(2027, 3, 13, 23, 59, 59), "52"},
      {UtcAt(2027, 3, 14, 8, 59, 59), "51"},
      {UtcAt(2027, 3, 14, 9), "50"},
      {UtcAt(2027, 6, 1), "50"},
      {UtcAt(2027, 11, 1), "07"},
      {UtcAt(2027, 11, 6, 23, 59, 59), "02"},
      {UtcAt(2027, 11, 7), "01"},
      {UtcAt(2027, 11, 7, 7, 59, 59), "01"},
      {UtcAt(2027, 11, 7, 8), "00"},
      {UtcAt(2027, 12, 31, 23, 59, 59), "00"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DaylightIndicatorTT(c.t), c.tt)
        << "wrong TT at " << NsSinceUnixEpoch(c.t) / 1000000000 << " s since 1970";
  }
}

TEST(DaytimeJulianTextTest, NamesTheNextSecondAndTheAdvance) {
  struct Case {
    UtcTime t;
    const char* text;
  };
  const Case cases[] = {
      {UtcAt(2026, 12, 7, 14, 3, 9, 999000000), "\n61381 26-12-07 14:03:10 00 0 0 1.0 UTC(MDLS) *\n"},
      {UtcAt(2026, 12, 7, 14, 3, 9), "\n61381 26-12-07 14:03:10 00 0 0 1000.0 UTC(MDLS) *\n"},
      // Sub-millisecond digits do not change the advance.
      {UtcAt(2026, 12, 7, 14, 3, 9, 500999999), "\n61381 26-12-07 14:03:10 00 0 0 500.0 UTC(MDLS) *\n"},
      // The marker second belongs to the next day: MJD and date move with it.
      {UtcAt(2026, 12, 6, 23, 59, 59, 250000000), "\n61381 26-12-07 00:00:00 00 0 0 750.0 UTC(MDLS) *\n"},
      // ... and so does the TT countdown, which starts on 1 November.
      {UtcAt(2026, 10, 31, 23, 59, 59, 100000000), "\n61345 26-11-01 00:00:00 01 0 0 900.0 UTC(MDLS) *\n"},
      {UtcAt(2026, 7, 4, 6, 7, 8, 42000000), "\n61225 26-07-04 06:07:09 50 0 0 958.0 UTC(MDLS) *\n"},
      // MJD 100000 is written with five digits.
      {UtcAt(2132, 8, 31, 23, 59, 59), "\n00000 32-09-01 00:00:00 50 0 0 1000.0 UTC(MDLS) *\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(DaytimeJulianText(c.t), c.text);
}

}  // namespace
}  // namespace mdl
