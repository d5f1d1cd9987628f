// The texts of a synchronisation: `SyncMessage`, the `Servers` tooltip and
// the tray tooltips while checking and after adjusting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/time/utc_time.h"

namespace mdl {

// Tooltip texts are stored in a 64-byte field with its terminating NUL.
inline constexpr std::size_t kTooltipMaxLength = 63;

inline constexpr std::string_view kServiceSyncMessage = "MDL Server is now Synchronized to Atomic Time.";

// General decimal form with at most 15 significant digits: no grouping,
// trailing zeros and a trailing point dropped, "-" when negative. Fixed
// notation from 1e-15 up to 1e21; exponent form ("1.5E+25") beyond.
std::string FormatReplyDifference(double ms);

// Desktop `SyncMessage` after the clock was set:
// "Adjusted by: <ms> ms.  MDL Server is Synchronized.".
std::string AdjustedMessage(double reply_difference_ms);

// `SyncMessage` when setting the clock failed (it is never reported as
// synchronised then).
std::string SyncFailedMessage(std::string_view reason);
// The time is served from the process because the machine's clock refused it.
std::string HeldTimeMessage(std::string_view reason);
// The last good synchronisation is more than `limit_seconds` old: NTP
// replies say unsynchronised (leap 3, stratum 16).
std::string UnsyncedMessage(int64_t limit_seconds);

// `text` cut to kTooltipMaxLength bytes, never inside a UTF-8 character.
std::string CutTooltip(std::string text);

// " Checking Time Server: <display text> ", cut to fit the tooltip.
std::string CheckingTooltip(std::string_view display_text);

// The tray tooltip after an attempt: " <SyncMessage> ", cut to fit.
std::string SyncedTooltip(std::string_view sync_message);

// The `Servers` tooltip: " YYYY-MM-DD h:m:s.M | <SyncMessage>" with D the
// upstream's whole second (UTC) and M its milliseconds; h, m, s and M
// without leading zeros.
std::string ServersTooltip(UtcTime upstream_whole_second, uint32_t display_ms, std::string_view sync_message);

}  // namespace mdl
