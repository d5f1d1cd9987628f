// The private protocol's timestamp: NTP layout with the epoch 2002-01-01 UTC
// and a fraction made from whole milliseconds.
#pragma once

#include <array>
#include <cstdint>

#include "common/time/utc_time.h"

namespace mdl {

// Seconds from 1970-01-01 to 2002-01-01 (UTC).
inline constexpr int64_t kMdlEpochUnixSeconds = 1009843200;

// `GrabMDLST`: bytes 0..3 whole seconds since 2002-01-01 UTC (low 32 bits),
// bytes 4..7 floor(ms * 2^32 / 1000), both big-endian, where ms is the
// millisecond of `t` (peers expect this millisecond-grained fraction).
// Stores ms in `*millis_out` when given.
std::array<uint8_t, 8> MdlStampFromUtc(UtcTime t, uint32_t* millis_out = nullptr);

// `GetMDLSM`: milliseconds since the 2002 epoch of the 8-byte timestamp at
// `p`, seconds * 1000 + fraction * 1000 / 2^32, both read unsigned.
double MdlStampToMillis(const uint8_t* p);

// The instant of the timestamp at `p`, in the 2^32-second era that puts it
// within +-68 years of `pivot`. Unlike MdlStampToMillis this also reads a
// stamp taken before 2002 (a workstation with a reset clock) correctly.
UtcTime UtcFromMdlStamp(const uint8_t* p, UtcTime pivot);

}  // namespace mdl
