// Daytime texts.
#include "common/time/daytime_text.h"

#include <chrono>
#include <cstdio>

#include "common/time/calendar.h"
#include "common/time/zone_bias.h"

namespace mdl {
namespace {

using std::chrono::days;
using std::chrono::hours;
using std::chrono::seconds;

// UTC minus local US Mountain time.
constexpr seconds kMountainStandardOffset{25200};
constexpr seconds kMountainDaylightOffset{21600};
// The changes happen at 02:00 local time.
constexpr hours kChangeLocalHour{2};
// 0.00001 day: added to the whole second before the text is rendered, then
// rounded to the second, which names the next second.
constexpr std::chrono::milliseconds kJulianShift{864};

std::string TwoDigits(int64_t value) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%02lld", static_cast<long long>(value));
  return buf;
}

}  // namespace

void AppendDaytimePlainText(std::string& out, UtcTime t, const ZoneFacts& zone) {
  const CivilTime c = CivilFromLocal(LocalFromUtc(t, zone));
  char date[64];
  std::snprintf(date, sizeof date, " %02u, %04d ", c.day, c.year);
  out += WeekdayName(c.weekday);
  out += ", ";
  out += MonthName(c.month);
  out += date;
  out += Time24Text(c);
  out += '-';
  out += ZoneName(zone);
}

std::string DaytimePlainText(UtcTime t, const ZoneFacts& zone) {
  std::string text;
  AppendDaytimePlainText(text, t, zone);
  return text;
}

std::string DaylightIndicatorTT(UtcTime t) {
  using namespace std::chrono;
  const sys_days today = floor<days>(t);
  const year_month_day ymd(today);
  const unsigned month = static_cast<unsigned>(ymd.month());
  if (month == 3) {
    const sys_days change_day{ymd.year() / March / Sunday[2]};
    const UtcTime change = change_day + kChangeLocalHour + kMountainStandardOffset;
    if (t >= change) return "50";
    return TwoDigits(50 + (change_day - today).count() + 1);
  }
  if (month == 11) {
    const sys_days change_day{ymd.year() / November / Sunday[1]};
    const UtcTime change = change_day + kChangeLocalHour + kMountainDaylightOffset;
    if (t >= change) return "00";
    return TwoDigits((change_day - today).count() + 1);
  }
  return month >= 4 && month <= 10 ? "50" : "00";
}

void AppendDaytimeJulianText(std::string& out, UtcTime t) {
  const uint32_t ms = MillisOfSecond(t);
  const UtcTime marker = std::chrono::round<seconds>(std::chrono::floor<seconds>(t) + kJulianShift);
  const CivilTime c = CivilFromUtc(marker);
  char head[64];
  std::snprintf(head, sizeof head, "\n%05lld %02d-%02u-%02u ",
                static_cast<long long>(ModifiedJulianDay(marker) % 100000), ((c.year % 100) + 100) % 100,
                c.month, c.day);
  char tail[64];
  std::snprintf(tail, sizeof tail, " 0 0 %u.0 UTC(MDLS) *\n", 1000 - ms);
  out += head;
  out += Time24Text(c);
  out += ' ';
  out += DaylightIndicatorTT(marker);
  out += tail;
}

std::string DaytimeJulianText(UtcTime t) {
  std::string text;
  AppendDaytimeJulianText(text, t);
  return text;
}

}  // namespace mdl
