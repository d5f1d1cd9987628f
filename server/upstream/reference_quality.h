// What NTP replies tell of the server's own time: stratum, root delay, root
// dispersion and whether it still counts as synchronised, from the upstream's
// reply, our exchange with it and the time since (RFC 5905's figures).
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <span>

#include "common/time/utc_time.h"

namespace mdl {

// Frequency tolerance: the dispersion grows by 15 µs each second.
inline constexpr double kDispersionRate = 15e-6;
// The precision our replies give (2^-17 s).
inline constexpr int kOwnPrecisionLog2 = -17;
// A stratum above this is no stratum a server may give.
inline constexpr uint8_t kMaxStratum = 15;

// The quality of the time at the moment of a synchronisation.
struct SyncQuality {
  uint8_t stratum = 2;         // the upstream's + 1, at most 15
  double root_delay = 0;       // seconds: the upstream's + our path delay
  double root_dispersion = 0;  // seconds at the synchronisation
  Nanoseconds synced_at{0};    // monotonic time of the synchronisation
};

// From the upstream's 48-byte reply (stratum, precision, root delay and
// dispersion) and our exchange with it.
SyncQuality QualityOfSync(std::span<const uint8_t, 48> reply, Nanoseconds path_delay, Nanoseconds round_trip,
                          Nanoseconds synced_at);

// The reply fields at monotonic `now`.
struct ReferenceFields {
  uint8_t stratum = 2;
  std::array<uint8_t, 4> root_delay{};
  std::array<uint8_t, 4> root_dispersion{};
  bool unsynchronised = false;  // older than `max_unsynced`
};

// `max_unsynced` zero: never unsynchronised once synchronised.
ReferenceFields ReferenceAt(const SyncQuality& q, Nanoseconds now, std::chrono::seconds max_unsynced);

// Seconds in NTP's 32-bit short format (16.16), rounded up and saturated.
std::array<uint8_t, 4> NtpShort(double seconds);
// The reverse, for a field read from a packet.
double FromNtpShort(std::span<const uint8_t, 4> field);

}  // namespace mdl
