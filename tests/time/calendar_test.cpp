// Civil time, names, renderings and the Modified Julian Date.
#include "common/time/calendar.h"

#include <gtest/gtest.h>

#include "tests/time/utc_at.h"

namespace mdl {
namespace {

using testing::UtcAt;

TEST(CalendarTest, CivilFieldsIncludingBeforeTheUnixEpoch) {
  const CivilTime c = CivilFromUtc(UtcAt(2026, 12, 7, 14, 3, 9, 999999999));
  EXPECT_EQ(c, (CivilTime{2026, 12, 7, 14, 3, 9, 999999999, 1})) << "Monday 2026-12-07";
  const CivilTime before = CivilFromUtc(UtcFromNs(-750000000));
  EXPECT_EQ(before, (CivilTime{1969, 12, 31, 23, 59, 59, 250000000, 3}))
      << "negative instants must floor, not truncate towards 1970";
  const CivilTime leap = CivilFromUtc(UtcAt(2024, 2, 29, 23, 59, 59));
  EXPECT_EQ(leap.month, 2u);
  EXPECT_EQ(leap.day, 29u);
  EXPECT_EQ(leap.weekday, 4u);
}

TEST(CalendarTest, EnglishNamesAndOutOfRange) {
  EXPECT_EQ(WeekdayName(0), "Sunday");
  EXPECT_EQ(WeekdayName(6), "Saturday");
  EXPECT_EQ(WeekdayName(7), "");
  EXPECT_EQ(MonthName(1), "January");
  EXPECT_EQ(MonthName(12), "December");
  EXPECT_EQ(MonthName(0), "");
  EXPECT_EQ(MonthName(13), "");
  EXPECT_EQ(ToUpperAscii("December 7, mon"), "DECEMBER 7, MON");
}

TEST(CalendarTest, TwelveHourClockAroundMidnightAndNoon) {
  struct Case {
    unsigned hour;
    const char* text;
  };
  const Case cases[] = {{0, "12:05:09 AM"},  {1, "01:05:09 AM"},  {11, "11:05:09 AM"},
                        {12, "12:05:09 PM"}, {13, "01:05:09 PM"}, {23, "11:05:09 PM"}};
  for (const Case& c : cases) {
    EXPECT_EQ(Time12Text(CivilFromUtc(UtcAt(2026, 1, 1, c.hour, 5, 9))), c.text) << "hour " << c.hour;
  }
}

TEST(CalendarTest, DefaultDateTimeTextIsLocalIsoOrder) {
  ZoneFacts cet;
  cet.bias_minutes = -60;
  EXPECT_EQ(DefaultDateTimeText(UtcAt(2026, 12, 31, 23, 30, 5, 900000000), cet), "2027-01-01 00:30:05");
  EXPECT_EQ(DefaultDateTimeText(CivilTime{987, 3, 4, 5, 6, 7, 0, 0}), "0987-03-04 05:06:07");
}

TEST(CalendarTest, ModifiedJulianDayChangesAtMidnightUtc) {
  struct Case {
    UtcTime t;
    int64_t mjd;
  };
  const Case cases[] = {
      {UtcAt(2026, 12, 7), 61381}, {UtcAt(2026, 12, 7, 23, 59, 59, 999999999), 61381},
      {UtcAt(2026, 12, 8), 61382}, {UtcAt(1970, 1, 1), 40587},
      {UtcAt(1858, 11, 17), 0},    {UtcAt(1858, 11, 16, 23, 59, 59), -1},
      {UtcAt(2132, 9, 1), 100000},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ModifiedJulianDay(c.t), c.mjd) << DefaultDateTimeText(CivilFromUtc(c.t));
  }
}

}  // namespace
}  // namespace mdl
