// Civil time, names and renderings.
#include "common/time/calendar.h"

#include <array>
#include <chrono>
#include <cstdio>

namespace mdl {
namespace {

// MJD of 1970-01-01.
constexpr int64_t kMjdOfUnixEpoch = 40587;

constexpr std::array<std::string_view, 7> kWeekdays = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                                       "Thursday", "Friday", "Saturday"};
constexpr std::array<std::string_view, 12> kMonths = {"January",   "February", "March",    "April",
                                                      "May",       "June",     "July",     "August",
                                                      "September", "October",  "November", "December"};

// Splits a count of nanoseconds since 1970-01-01 of some clock into its parts.
CivilTime CivilFromSinceEpoch(Nanoseconds since_epoch) {
  using namespace std::chrono;
  const sys_time<Nanoseconds> t(since_epoch);
  const sys_days day = floor<days>(t);
  const year_month_day ymd(day);
  const hh_mm_ss<Nanoseconds> tod(t - day);
  CivilTime c;
  c.year = static_cast<int>(ymd.year());
  c.month = static_cast<unsigned>(ymd.month());
  c.day = static_cast<unsigned>(ymd.day());
  c.hour = static_cast<unsigned>(tod.hours().count());
  c.minute = static_cast<unsigned>(tod.minutes().count());
  c.second = static_cast<unsigned>(tod.seconds().count());
  c.nanos = static_cast<uint32_t>(tod.subseconds().count());
  c.weekday = weekday(day).c_encoding();
  return c;
}

}  // namespace

CivilTime CivilFromUtc(UtcTime t) { return CivilFromSinceEpoch(t.time_since_epoch()); }
CivilTime CivilFromLocal(LocalTime t) { return CivilFromSinceEpoch(t.time_since_epoch()); }

std::string_view WeekdayName(unsigned weekday) {
  return weekday < kWeekdays.size() ? kWeekdays[weekday] : std::string_view();
}

std::string_view MonthName(unsigned month) {
  return month >= 1 && month <= kMonths.size() ? kMonths[month - 1] : std::string_view();
}

std::string ToUpperAscii(std::string_view text) {
  std::string out(text);
  for (char& ch : out) {
    if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
  }
  return out;
}

std::string IsoDateText(const CivilTime& c) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02u", c.year, c.month, c.day);
  return buf;
}

std::string Time24Text(const CivilTime& c) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02u:%02u:%02u", c.hour, c.minute, c.second);
  return buf;
}

std::string Time12Text(const CivilTime& c) {
  const unsigned hour12 = c.hour % 12 == 0 ? 12 : c.hour % 12;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02u:%02u:%02u %s", hour12, c.minute, c.second, c.hour < 12 ? "AM" : "PM");
  return buf;
}

std::string DefaultDateTimeText(const CivilTime& c) { return IsoDateText(c) + " " + Time24Text(c); }

std::string DefaultDateTimeText(UtcTime t, const ZoneFacts& zone) {
  return DefaultDateTimeText(CivilFromLocal(LocalFromUtc(t, zone)));
}

int64_t ModifiedJulianDay(UtcTime t) {
  return std::chrono::floor<std::chrono::days>(t).time_since_epoch().count() + kMjdOfUnixEpoch;
}

}  // namespace mdl
