// The server window's clock box text.
#include "common/time/clock_box_text.h"

#include <gtest/gtest.h>

#include "tests/time/utc_at.h"

namespace mdl {
namespace {

using testing::UtcAt;

TEST(ClockBoxTextTest, LocalLineUtcLineAndProductLine) {
  ZoneFacts cet;
  cet.bias_minutes = -60;
  cet.standard_name = "CET";
  EXPECT_EQ(ClockBoxText(UtcAt(2026, 12, 7, 13, 3, 9, 999000000), cet),
            "   MON DECEMBER 7 2026 02:03:09 PM\r\n"
            "   UTC DECEMBER 7 2026 01:03:09 PM\r\n"
            "   Meridel Server 5110");
}

TEST(ClockBoxTextTest, LocalAndUtcLinesFollowTheirOwnDates) {
  ZoneFacts mountain;
  mountain.bias_minutes = 420;
  mountain.daylight_bias_minutes = -60;
  mountain.daylight = false;
  EXPECT_EQ(ClockBoxText(UtcAt(2027, 1, 1, 5, 30), mountain),
            "   THU DECEMBER 31 2026 10:30:00 PM\r\n"
            "   UTC JANUARY 1 2027 05:30:00 AM\r\n"
            "   Meridel Server 5110");
  mountain.daylight = true;  // daylight bias counts: local is one hour later
  EXPECT_EQ(ClockBoxText(UtcAt(2026, 7, 4, 6), mountain),
            "   SAT JULY 4 2026 12:00:00 AM\r\n"
            "   UTC JULY 4 2026 06:00:00 AM\r\n"
            "   Meridel Server 5110");
}

}  // namespace
}  // namespace mdl
