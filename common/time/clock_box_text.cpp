// Clock box text.
#include "common/time/clock_box_text.h"

#include "common/time/calendar.h"
#include "common/time/zone_bias.h"

namespace mdl {
namespace {

// "MONTH D YYYY HH:MM:SS AM".
std::string DateAndTime(const CivilTime& c) {
  return ToUpperAscii(MonthName(c.month)) + " " + std::to_string(c.day) + " " + std::to_string(c.year) + " " +
         Time12Text(c);
}

}  // namespace

std::string ClockBoxText(UtcTime t, const ZoneFacts& zone) {
  const CivilTime local = CivilFromLocal(LocalFromUtc(t, zone));
  const CivilTime utc = CivilFromUtc(t);
  return "   " + ToUpperAscii(WeekdayName(local.weekday).substr(0, 3)) + " " + DateAndTime(local) + "\r\n" +
         "   UTC " + DateAndTime(utc) + "\r\n" + "   Meridel Server 5110";
}

}  // namespace mdl
