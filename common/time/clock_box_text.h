// The text of the server window's clock box: local time, UTC and the product
// line.
#pragma once

#include <string>

#include "common/time/utc_time.h"

namespace mdl {

// Three lines joined by "\r\n", for example
//   "   MON DECEMBER 7 2026 02:03:09 PM"
//   "   UTC DECEMBER 7 2026 01:03:09 PM"
//   "   Meridel Server 5110"
std::string ClockBoxText(UtcTime t, const ZoneFacts& zone);

}  // namespace mdl
