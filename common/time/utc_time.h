// UTC instants with nanosecond resolution and the zone facts that local-time
// texts need. Leap seconds are not counted (POSIX time scale).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace mdl {

using Nanoseconds = std::chrono::nanoseconds;
// A UTC instant: nanoseconds since 1970-01-01 00:00:00 UTC.
using UtcTime = std::chrono::sys_time<Nanoseconds>;

inline UtcTime UtcFromNs(int64_t ns) { return UtcTime(Nanoseconds(ns)); }
inline int64_t NsSinceUnixEpoch(UtcTime t) { return t.time_since_epoch().count(); }

// Whole seconds since 1970-01-01 UTC, rounded towards the past (also before
// 1970).
inline int64_t FloorUnixSeconds(UtcTime t) {
  return std::chrono::floor<std::chrono::seconds>(t).time_since_epoch().count();
}
// Nanoseconds into the current second, 0..999999999 (also before 1970).
inline uint32_t NanosOfSecond(UtcTime t) {
  return static_cast<uint32_t>((t - std::chrono::floor<std::chrono::seconds>(t)).count());
}
// Milliseconds into the current second, 0..999.
inline uint32_t MillisOfSecond(UtcTime t) { return NanosOfSecond(t) / 1000000; }

// Time-zone facts in the shape the operating system reports them on the
// original platform: `bias_minutes` is the standard offset with UTC =
// local + bias (positive west of Greenwich); `daylight_bias_minutes` is added
// while daylight saving time is in effect (usually -60).
struct ZoneFacts {
  int32_t bias_minutes = 0;
  int32_t standard_bias_minutes = 0;
  int32_t daylight_bias_minutes = 0;
  bool daylight = false;  // daylight saving time in effect at the instant asked
  std::string standard_name = "UTC";
  std::string daylight_name = "UTC";

  bool operator==(const ZoneFacts&) const = default;
};

}  // namespace mdl
