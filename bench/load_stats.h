// Pure helpers of the load generator: NTP client packets, the client-side
// offset and delay, and percentiles of the collected samples.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace mdl::bench {

inline constexpr size_t kNtpSize = 48;
using NtpPacket = std::array<uint8_t, kNtpSize>;

// Nanoseconds since 1970 (CLOCK_REALTIME scale) <-> 64-bit NTP timestamp.
uint64_t NtpFromUnixNanos(int64_t unix_ns);
int64_t UnixNanosFromNtp(uint64_t ntp);

// A version 4, mode 3 request whose transmit field carries `transmit`; the
// originate field stays zero so that a server echoes `transmit`.
NtpPacket BuildNtpRequest(uint64_t transmit);

struct NtpReply {
  uint64_t originate = 0;
  uint64_t receive = 0;   // T2
  uint64_t transmit = 0;  // T3
  uint8_t stratum = 0;
};

// Accepts only 48-byte server-mode (4) replies with non-zero T2 and T3.
std::optional<NtpReply> ParseNtpReply(std::span<const uint8_t> datagram);

// Client offset ((T2-T1)+(T3-T4))/2 in nanoseconds; T1, T4 in Unix ns.
int64_t ClientOffsetNanos(int64_t t1_unix_ns, const NtpReply& reply, int64_t t4_unix_ns);

// Nearest-rank percentile (p in 0..100) of `samples`; reorders them. Empty
// input gives nullopt.
std::optional<int64_t> Percentile(std::vector<int64_t>& samples, double p);

}  // namespace mdl::bench
