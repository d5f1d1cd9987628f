// The Daytime service's texts: plain local time, and the Julian-date layout
// with the US daylight-time indicator and the transmission advance.
#pragma once

#include <string>

#include "common/time/utc_time.h"

namespace mdl {

// "dddd, mmmm dd, yyyy hh:nn:ss-ZONE" in local time, for example
// "Monday, December 07, 2026 14:03:09-CET". No line end.
std::string DaytimePlainText(UtcTime t, const ZoneFacts& zone);
// The same, appended to `out` (a reused buffer keeps its capacity).
void AppendDaytimePlainText(std::string& out, UtcTime t, const ZoneFacts& zone);

// "\nJJJJJ YY-MM-DD HH:MM:SS TT 0 0 ADV.0 UTC(MDLS) *\n". Date, time, MJD and
// TT name the second of the on-time marker "*", which is the whole second
// after `t`; ADV = 1000 - the millisecond of `t` is how far the text runs
// ahead of that second (1000.0 at ms 0, 1.0 at ms 999).
std::string DaytimeJulianText(UtcTime t);
void AppendDaytimeJulianText(std::string& out, UtcTime t);

// Two digits telling US daylight saving time: "00" standard time, "50"
// daylight time. In the month of a change, before the change, a countdown
// that steps at 00:00 UTC: November (first Sunday) counts down to "01" on the
// change day, March (second Sunday) to "51". The change happens at 02:00 US
// Mountain local time (09:00 UTC in March, 08:00 UTC in November).
std::string DaylightIndicatorTT(UtcTime t);

}  // namespace mdl
