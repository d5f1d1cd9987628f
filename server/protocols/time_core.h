// Time (port 37) and UnixTime (port 519) replies: 32-bit big-endian counts.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace mdl {

// Request-log texts of the two services.
inline constexpr std::string_view kTimeLogText = "Time 4 Bytes";
inline constexpr std::string_view kUnixTimeLogText = "UnixTime REQ";

inline constexpr std::array<uint8_t, 4> BigEndian32(uint32_t value) {
  return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
          static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

// Seconds since 1900-01-01 UTC, most significant byte first.
inline constexpr std::array<uint8_t, 4> TimeReply(uint32_t seconds_since_1900) {
  return BigEndian32(seconds_since_1900);
}

// Low 32 bits of the seconds since 1970-01-01 UTC, in network byte order.
inline constexpr std::array<uint8_t, 4> UnixTimeReply(uint32_t low32) { return BigEndian32(low32); }

}  // namespace mdl
