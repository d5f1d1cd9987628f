// The zone bias (seconds to add to local time to get UTC) and local time from
// UTC.
#pragma once

#include <chrono>
#include <cstdint>

#include "common/time/utc_time.h"

namespace mdl {

// A local wall-clock instant (no zone attached).
using LocalTime = std::chrono::local_time<Nanoseconds>;

// `GrabBias`: (bias + daylight bias) * 60 while daylight time is in effect,
// else bias * 60. The standard bias is never added.
int32_t GrabBias(const ZoneFacts& zone);

// local = utc - bias.
LocalTime LocalFromUtc(UtcTime t, int32_t bias_seconds);
LocalTime LocalFromUtc(UtcTime t, const ZoneFacts& zone);

// The zone name shown in texts: the daylight name while daylight time is in
// effect, else the standard name.
const std::string& ZoneName(const ZoneFacts& zone);

}  // namespace mdl
