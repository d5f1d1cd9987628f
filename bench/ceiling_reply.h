// Pure reply builders of the reference minimal servers (mdl_ceiling).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "bench/load_stats.h"

namespace mdl::bench {

// The reply to an NTP client request: the request itself with mode 4,
// stratum 2, originate = the request's transmit, and the given receive and
// transmit stamps. Anything but a 48-byte client-mode (3) request gives
// nullopt.
std::optional<NtpPacket> BuildCeilingNtpReply(std::span<const uint8_t> request, uint64_t receive,
                                              uint64_t transmit);

// The 4-byte big-endian time of the Time protocol: seconds since 1900, modulo
// 2^32, for nanoseconds since 1970.
std::array<uint8_t, 4> TimeProtocolAnswer(int64_t unix_ns);

}  // namespace mdl::bench
