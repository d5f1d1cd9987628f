// Pure core of the client's exchange: request, reply arithmetic and texts.
#include "client/client_core.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "common/time/mdl_stamp.h"
#include "common/time/zone_bias.h"

namespace mdl {
namespace {

using std::chrono::duration_cast;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr std::chrono::sys_seconds kMdlEpoch{seconds(kMdlEpochUnixSeconds)};
// One 32-bit era of the timestamp's seconds, in milliseconds.
constexpr double kEraMillis = 4294967296.0 * 1000.0;

UtcTime FromMdlMillis(int64_t ms) { return UtcTime(kMdlEpoch) + milliseconds(ms); }

// A byte as a report character; control and non-ASCII bytes from the wire
// never reach a terminal or log as raw bytes.
char Printable(uint8_t b) { return (b >= 0x20 && b < 0x7F) ? static_cast<char>(b) : '?'; }

std::string Chars(std::span<const uint8_t> bytes) {
  std::string text;
  for (uint8_t b : bytes) text += Printable(b);
  return text;
}

}  // namespace

ClientRequest BuildClientRequest(UtcTime now) {
  ClientRequest request;
  MdlMessage& m = request.bytes;
  m = {'M', 'D', 'L', 'C', static_cast<uint8_t>(kClientVersionDigit), 'U', 'T', 'C'};
  const auto stamp = MdlStampFromUtc(now, &request.send_millis);
  std::copy(stamp.begin(), stamp.end(), m.begin() + 8);
  return request;
}

std::optional<double> GetMDLSM(std::span<const uint8_t> reply, std::size_t offset) {
  if (offset > reply.size() || reply.size() - offset < 8) return std::nullopt;
  return MdlStampToMillis(reply.data() + offset);
}

ReplyVerdict CheckReply(std::span<const uint8_t> reply, const MdlMessage& request, int64_t rtt_ms,
                        UtcTime new_clock, UtcTime local_now, const ReplyLimits& limits) {
  static constexpr uint8_t kServerId[4] = {'M', 'D', 'L', 'S'};
  if (reply.size() != kMdlMessageSize || !std::equal(kServerId, kServerId + 4, reply.begin()))
    return ReplyVerdict::kNotAServerReply;
  if (!std::equal(request.begin() + 8, request.begin() + 16, reply.begin() + 8))
    return ReplyVerdict::kWrongEcho;
  if (limits.max_rtt_ms > 0 && rtt_ms > limits.max_rtt_ms) return ReplyVerdict::kRoundTripTooLong;
  if (limits.plausible_years > 0) {
    // Years of 365.2425 days, in seconds.
    const auto window = std::chrono::seconds(static_cast<int64_t>(limits.plausible_years) * 31556952);
    const auto off = new_clock - local_now;
    if (off > window || off < -window) return ReplyVerdict::kImplausibleTime;
  }
  return ReplyVerdict::kAccept;
}

std::string RefusalLine(ReplyVerdict verdict, int64_t rtt_ms, UtcTime new_clock, UtcTime local_now,
                        const ReplyLimits& limits) {
  switch (verdict) {
    case ReplyVerdict::kAccept:
      return {};
    case ReplyVerdict::kNotAServerReply:
      return "Refused: the reply is not a MDL Server reply.";
    case ReplyVerdict::kWrongEcho:
      return "Refused: the reply does not echo this client's send time.";
    case ReplyVerdict::kRoundTripTooLong:
      return "Refused: round trip " + std::to_string(rtt_ms) + "ms is above the limit of " +
             std::to_string(limits.max_rtt_ms) + "ms.";
    case ReplyVerdict::kImplausibleTime: {
      const double days = std::chrono::duration<double>(new_clock - local_now).count() / 86400.0;
      char buf[96];
      std::snprintf(buf, sizeof buf, "%+.0f days", days);
      return "Refused: the server's time is " + std::string(buf) + " from this clock, more than " +
             std::to_string(limits.plausible_years) + " years.";
    }
  }
  return {};
}

std::optional<ReplyResult> ProcessReply(std::span<const uint8_t> reply, int64_t rtt_ms, uint32_t send_millis,
                                        const ZoneFacts& zone) {
  if (reply.size() != kMdlMessageSize) return std::nullopt;
  ReplyResult r;
  r.rtt_ms = rtt_ms;
  r.t3_ms = *GetMDLSM(reply, 16);
  r.t1_ms = *GetMDLSM(reply, 8);
  // A client clock before 2002 (reset to 1970, say) wraps into a later era;
  // read the echo in the era nearest the server's time.
  if (r.t1_ms - r.t3_ms > kEraMillis / 2) r.t1_ms -= kEraMillis;
  if (r.t3_ms - r.t1_ms > kEraMillis / 2) r.t1_ms += kEraMillis;
  r.drift_ms = r.t3_ms - r.t1_ms;
  const double half_rtt = static_cast<double>(rtt_ms) / 2.0;
  r.adjustment_ms = r.drift_ms == 0 ? 0.0 : r.drift_ms + half_rtt;
  r.new_clock = FromMdlMillis(std::llround(r.t3_ms + half_rtt));

  // Server time to the whole millisecond, so that second and millisecond agree.
  const int64_t server_ms = std::llround(r.t3_ms);
  const UtcTime server_time = FromMdlMillis(server_ms);
  const int64_t m = server_ms % 1000;
  // The client's send time in local time, to the whole second.
  const auto client_local = UtcTime(kMdlEpoch) + seconds(static_cast<int64_t>(std::floor(r.t1_ms / 1000.0))) -
                            seconds(GrabBias(zone));

  r.report = "MDL Server: " + Chars(reply.subspan(0, 4)) + " v" + Printable(reply[4]) +
             " - Zone: " + Chars(reply.subspan(5, 3));
  r.report += "\r\nServer Date: " + ReportDateTime(server_time) + "." + std::to_string(m);
  r.report += "\r\nMDL Client: " + ReportDateTime(client_local) + "." + std::to_string(send_millis);
  r.report += "\r\nDrift: " + FormatThousands(r.drift_ms) + " milliseconds." +
              " Latency rTT: " + std::to_string(rtt_ms) + "ms";
  r.report += "\r\nAdjusted by: " + FormatGeneral(r.adjustment_ms) + "ms";
  r.tray_tip = ClientTrayTip(r.adjustment_ms, r.drift_ms, rtt_ms);
  return r;
}

std::string FormatThousands(double value) {
  const double whole = std::nearbyint(value);  // default rounding: half to even
  if (!std::isfinite(whole) || std::fabs(whole) > 9e18) return "0";
  const long long n = static_cast<long long>(whole);
  std::string digits =
      std::to_string(n < 0 ? -static_cast<unsigned long long>(n) : static_cast<unsigned long long>(n));
  std::string out;
  const std::size_t len = digits.size();
  for (std::size_t i = 0; i < len; ++i) {
    if (i > 0 && (len - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return n < 0 ? "-" + out : out;
}

std::string FormatGeneral(double value) {
  if (!std::isfinite(value)) return "0";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15g", value);
  std::string text = buf;
  if (text.find('e') == std::string::npos) return text;
  // Very small or large magnitudes: fixed notation with trailing zeros cut.
  std::snprintf(buf, sizeof buf, "%.20f", value);
  text = buf;
  if (text.find('.') != std::string::npos) {
    text.erase(text.find_last_not_of('0') + 1);
    if (text.back() == '.') text.pop_back();
  }
  return text == "-0" ? "0" : text;
}

std::string ReportDateTime(UtcTime t) {
  const auto day = std::chrono::floor<std::chrono::days>(t);
  const std::chrono::year_month_day ymd(day);
  const std::chrono::hh_mm_ss hms(duration_cast<seconds>(t - day));
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02u %lld:%lld:%lld", static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                static_cast<long long>(hms.hours().count()), static_cast<long long>(hms.minutes().count()),
                static_cast<long long>(hms.seconds().count()));
  return buf;
}

std::string ClientTrayTip(double adjustment_ms, double drift_ms, int64_t rtt_ms) {
  std::string tip = " " + std::string(kClientName);
  if (std::fabs(adjustment_ms) < 1.0) {
    tip += ": Date/Time is correct. ";
  } else {
    tip += ": Time adjusted by " + FormatThousands(drift_ms + static_cast<double>(rtt_ms)) + "ms ";
  }
  if (tip.size() > kTrayTipSize - 1) tip.resize(kTrayTipSize - 1);
  return tip;
}

}  // namespace mdl
