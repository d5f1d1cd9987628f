// Civil (calendar) dates and times, English day and month names, the common
// date-time renderings and the Modified Julian Date.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/time/utc_time.h"
#include "common/time/zone_bias.h"

namespace mdl {

struct CivilTime {
  int year = 1970;
  unsigned month = 1;    // 1..12
  unsigned day = 1;      // 1..31
  unsigned hour = 0;     // 0..23
  unsigned minute = 0;   // 0..59
  unsigned second = 0;   // 0..59
  uint32_t nanos = 0;    // 0..999999999
  unsigned weekday = 4;  // 0 = Sunday .. 6 = Saturday

  bool operator==(const CivilTime&) const = default;
};

CivilTime CivilFromUtc(UtcTime t);
CivilTime CivilFromLocal(LocalTime t);

// "Sunday".."Saturday" for 0..6, "January".."December" for 1..12; empty out
// of range.
std::string_view WeekdayName(unsigned weekday);
std::string_view MonthName(unsigned month);
std::string ToUpperAscii(std::string_view text);

// "YYYY-MM-DD".
std::string IsoDateText(const CivilTime& c);
// "HH:MM:SS", 24-hour.
std::string Time24Text(const CivilTime& c);
// "HH:MM:SS AM" / "HH:MM:SS PM", 12-hour (midnight is 12 AM, noon 12 PM).
std::string Time12Text(const CivilTime& c);

// The default date-time rendering of this system, used in tooltips and log
// headers: "YYYY-MM-DD HH:MM:SS" (ISO 8601 order, 24-hour, local time).
std::string DefaultDateTimeText(const CivilTime& c);
std::string DefaultDateTimeText(UtcTime t, const ZoneFacts& zone);

// Days since 1858-11-17 00:00 UTC (MJD 0), rounded towards the past.
int64_t ModifiedJulianDay(UtcTime t);

}  // namespace mdl
