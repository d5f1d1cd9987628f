// Zone facts of the system time zone (TZ or /etc/localtime) at an instant.
#pragma once

#include "common/time/utc_time.h"

namespace mdl {

// Reads the system zone database: bias_minutes = -(standard offset east) / 60,
// daylight = DST in effect at `t`, daylight_bias_minutes = -(DST offset -
// standard offset) / 60 (0 when the zone keeps no DST within a year of `t`),
// names from the zone abbreviations. standard_bias_minutes is always 0.
// Calls tzset(), so a changed TZ takes effect at once.
ZoneFacts ZoneFactsAt(UtcTime t);

}  // namespace mdl
