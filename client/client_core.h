// Pure core of the client's exchange: builds the 24-byte request and turns a
// reply into the new clock value, the report text and the tray tip.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/time/utc_time.h"

namespace mdl {

inline constexpr std::size_t kMdlMessageSize = 24;
inline constexpr uint16_t kMdlPort = 3777;
// First character of the client's major version number.
inline constexpr char kClientVersionDigit = '5';
// The tray tip field holds 64 characters including its terminating NUL.
inline constexpr std::size_t kTrayTipSize = 64;
inline constexpr std::string_view kClientName = "MDL Server Client";

using MdlMessage = std::array<uint8_t, kMdlMessageSize>;

struct ClientRequest {
  MdlMessage bytes{};
  uint32_t send_millis = 0;  // millisecond of the send time, for the report
};

// "MDLC", version digit, "UTC", the send time of `now`, eight zero bytes.
ClientRequest BuildClientRequest(UtcTime now);

// `GetMDLSM`: milliseconds since the 2002 epoch (UTC) of the timestamp at
// `offset` of `reply`; nullopt when it would read outside the reply.
std::optional<double> GetMDLSM(std::span<const uint8_t> reply, std::size_t offset);

struct ReplyResult {
  double t1_ms = 0;     // client send time, echoed (ms since 2002)
  double t3_ms = 0;     // server send time (ms since 2002)
  double drift_ms = 0;  // t3 - t1
  int64_t rtt_ms = 0;
  double adjustment_ms = 0;  // 0 when drift is 0, else drift + rtt / 2
  UtcTime new_clock{};       // t3 + rtt / 2, to the millisecond
  std::string report;        // the five report lines joined by "\r\n"
  std::string tray_tip;      // at most kTrayTipSize - 1 characters
};

// Handles a reply that arrived `rtt_ms` after the request was sent.
// The reply must be exactly 24 bytes (its identification is not checked);
// anything else gives nullopt. `zone` gives the local time of the client's
// send time in the report.
std::optional<ReplyResult> ProcessReply(std::span<const uint8_t> reply, int64_t rtt_ms, uint32_t send_millis,
                                        const ZoneFacts& zone);

// What a reply must meet before the clock is set from it.
struct ReplyLimits {
  int64_t max_rtt_ms = 2000;  // 0: no bound
  int plausible_years = 10;   // the server time within this many years of ours; 0: no window
};

enum class ReplyVerdict : uint8_t {
  kAccept,
  kNotAServerReply,   // bytes 0 to 3 are not "MDLS"
  kWrongEcho,         // bytes 8 to 15 are not the request's send time
  kRoundTripTooLong,  // above ReplyLimits::max_rtt_ms
  kImplausibleTime,   // outside ReplyLimits::plausible_years of the local clock
};

// Judges a 24-byte `reply` to `request`: the identification and the echo
// first, then the round trip, then the server time `new_clock` against the
// local clock's `local_now`.
ReplyVerdict CheckReply(std::span<const uint8_t> reply, const MdlMessage& request, int64_t rtt_ms,
                        UtcTime new_clock, UtcTime local_now, const ReplyLimits& limits);

// The report line of a refused reply, "Refused: ...".
std::string RefusalLine(ReplyVerdict verdict, int64_t rtt_ms, UtcTime new_clock, UtcTime local_now,
                        const ReplyLimits& limits);

// "###,###,##0": the value rounded half-to-even to a whole number, thousands
// separated by ",", a minus sign kept ("-1,234").
std::string FormatThousands(double value);

// General decimal form: up to 15 significant digits, no trailing zeros, no
// exponent for the magnitudes a clock difference can take ("20", "-0.5").
std::string FormatGeneral(double value);

// Short date of the report: "YYYY-MM-DD" (this platform's short date format),
// followed by " h:m:s" without leading zeros.
std::string ReportDateTime(UtcTime t);

// The tray tip after an exchange: "correct" when less than 1 ms was adjusted.
std::string ClientTrayTip(double adjustment_ms, double drift_ms, int64_t rtt_ms);

}  // namespace mdl
