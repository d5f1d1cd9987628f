// NTP timestamps (seconds since 1900-01-01 UTC and a 2^-32 s fraction) and the
// whole-second counts since 1900 and 1970 that the standard services send.
#pragma once

#include <array>
#include <cstdint>

#include "common/time/utc_time.h"

namespace mdl {

// Seconds from 1900-01-01 to 1970-01-01 (UTC).
inline constexpr int64_t kNtpToUnixSeconds = 2208988800;

struct NtpTimestamp {
  uint32_t seconds = 0;   // since 1900-01-01 00:00:00 UTC, modulo 2^32 (era)
  uint32_t fraction = 0;  // units of 2^-32 s

  // Network byte order: seconds then fraction, most significant byte first.
  std::array<uint8_t, 8> ToBytes() const;
  // Reads 8 bytes from `p` in network byte order.
  static NtpTimestamp FromBytes(const uint8_t* p);

  bool operator==(const NtpTimestamp&) const = default;
};

// The exact timestamp of `t`: fraction = floor(ns * 2^32 / 1e9), so every
// nanosecond value maps to a distinct fraction and 999999999 ns stays below
// 2^32. Seconds wrap into the next era after 2036-02-07 06:28:15 UTC.
NtpTimestamp NtpFromUtc(UtcTime t);

// The instant of `ts` in the era that puts it within +-68 years of `pivot`
// (normally the local clock). Rounds the fraction up to whole nanoseconds, so
// UtcFromNtp(NtpFromUtc(t), p) == t for every t near p.
UtcTime UtcFromNtp(NtpTimestamp ts, UtcTime pivot);

// `GoMilli`: milliseconds since the start of the timestamp's era,
// seconds * 1000 + fraction * 1000 / 2^32.
double NtpToMillis(NtpTimestamp ts);

// `GrabTime`: the timestamp of an instant and its millisecond (0..999), which
// the server shows as `LastMillis`.
struct GrabbedTime {
  NtpTimestamp stamp;
  uint32_t last_millis = 0;
};
GrabbedTime GrabTime(UtcTime t);

// Whole seconds since 1900-01-01 UTC, low 32 bits (the Time service's value).
uint32_t SecondsSince1900(UtcTime t);
// Whole seconds since 1970-01-01 UTC, low 32 bits read as unsigned: after
// 2038-01-19 03:14:07 the count keeps rising instead of turning negative.
uint32_t SecondsSince1970Low32(UtcTime t);

}  // namespace mdl
