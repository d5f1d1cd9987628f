// The upstream SNTP exchange as pure functions: the request, recognising the
// reply among the datagrams of the NTP socket, the clock correction computed
// from it, the reference identifier, and the back-off of unanswered queries.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "common/time/utc_time.h"

namespace mdl {

inline constexpr std::size_t kSntpPacketSize = 48;
// LI 0, version 3, mode 3 (client).
inline constexpr uint8_t kSntpRequestFirstByte = 0x1B;
// A query with no accepted reply after this long has failed.
inline constexpr std::chrono::seconds kUpstreamReplyTimeout{5};

using NtpStampBytes = std::array<uint8_t, 8>;

// The query's transmit timestamp: the send second in bytes 0..3 and a
// random nonce as the fraction (bytes 4..7), so that a reply can be matched
// by all 8 bytes while bytes 0, 3 and 7 still serve the first recognition.
NtpStampBytes QueryStamp(UtcTime send_time, std::span<const uint8_t, 4> nonce);

// A reply belongs to the query only when its originate timestamp (bytes
// 24..31) repeats all 8 bytes of the query's transmit timestamp.
bool OriginateMatches(std::span<const uint8_t> datagram, const NtpStampBytes& send_stamp);

// No upstream time before this instant (2025-01-01 00:00:00 UTC) is believed:
// a time from a later NTP era that the era rule folds into the past.
inline constexpr int64_t kEarliestUpstreamUnixSeconds = 1735689600;
bool PlausibleUpstreamTime(UtcTime t);

// Bounds the step an upstream reply may make. The first synchronisation
// after start may step by any amount (the clock may be years off after a
// dead battery); later ones by at most `max_step`. A larger step is applied
// only when the next exchange (from another server when one can be asked)
// measures the same step within kConfirmTolerance.
class StepGuard {
 public:
  static constexpr std::chrono::seconds kDefaultMaxStep{1000};
  static constexpr std::chrono::seconds kConfirmTolerance{2};
  enum class Verdict { kAccept, kAcceptConfirmed, kRefuse };

  // nullopt: no bound at all.
  void SetMaxStep(std::optional<std::chrono::seconds> max_step) { max_step_ = max_step; }
  std::optional<std::chrono::seconds> max_step() const { return max_step_; }
  // `server` names who measured `step`; `other_server_possible` says whether
  // a different server could confirm it.
  Verdict Judge(std::chrono::nanoseconds step, const std::string& server, bool other_server_possible);
  // The clock was set from an upstream.
  void Applied() {
    synced_once_ = true;
    pending_.reset();
  }
  // The server whose refused step awaits confirmation, if any.
  const std::string* pending_server() const { return pending_ ? &pending_->server : nullptr; }

 private:
  struct Pending {
    std::chrono::nanoseconds step;
    std::string server;
  };
  std::optional<std::chrono::seconds> max_step_ = kDefaultMaxStep;
  bool synced_once_ = false;
  std::optional<Pending> pending_;
};

// 48 bytes: byte 0 = 0x1B, bytes 40..47 = `SendStamp`, the rest zero.
std::array<uint8_t, kSntpPacketSize> BuildSntpRequest(const NtpStampBytes& send_stamp);

enum class UpstreamArrival {
  kUpstreamReply,  // the awaited reply: apply it, send nothing back
  kClientRequest,  // any other 48-byte datagram: the NTP responder's
  kOneByteRetry,   // one byte while a query is pending: new server, retry
  kOther,          // the responder's error path
};

// The upstream reply is a 48-byte datagram, while a query is pending, whose
// bytes 24, 27 and 31 equal bytes 0, 3 and 7 of `SendStamp`.
UpstreamArrival ClassifyArrival(std::span<const uint8_t> datagram, bool query_pending,
                                const NtpStampBytes& send_stamp);

// Why a recognised reply must not set the clock; kUsable when it may.
enum class ReplyFault {
  kUsable,
  kZeroTransmit,    // transmit timestamp 0: the server has no time to give
  kUnsynchronised,  // leap indicator 3 or stratum 16 and above: the server's clock is not set
  kKissOfDeath,     // stratum 0: a refusal ("kiss-o'-death"), not a time
};
ReplyFault CheckReply(std::span<const uint8_t, kSntpPacketSize> reply);
// A short text for the fault, for the failure message.
const char* ReplyFaultText(ReplyFault fault);

struct Correction {
  UtcTime new_time;                        // the value to set the clock to
  double reply_millis = 0;                 // T: transmit timestamp, ms since 1900 (`ReplyMillis`)
  double send_millis = 0;                  // T1: `SendStamp`, ms since 1900 (`SendMillis`)
  double reply_difference_ms = 0;          // T - T1 (`ReplyDifference`)
  uint32_t display_ms = 0;                 // M: T's fraction in whole ms, 0..999
  UtcTime upstream_whole_second;           // D: T's whole second
  std::chrono::nanoseconds path_delay{0};  // round trip less the upstream's holding time
};

// The clock value from an accepted reply: the upstream's transmit time T at
// full resolution plus half the path delay. The path delay is the round trip
// less the upstream's holding time (transmit minus receive timestamp) when
// the receive timestamp is present and 0 <= holding <= round trip, else the
// whole round trip. `round_trip` is measured on a monotonic clock; a negative
// one counts as 0. `pivot` (the local clock) picks the NTP era.
Correction ComputeCorrection(std::span<const uint8_t, kSntpPacketSize> reply, const NtpStampBytes& send_stamp,
                             std::chrono::nanoseconds round_trip, UtcTime pivot);

// The two durations the correction needs: the query's round trip and the
// time from the reply's arrival to now.
struct ExchangeTiming {
  std::chrono::nanoseconds round_trip{0};
  std::chrono::nanoseconds since_arrival{0};
  bool from_kernel = false;
};

// Prefers the kernel's stamps (the query's transmit stamp and the reply's
// arrival stamp, on the engine's clock like `now`), which leave out the time
// spent in the send call and in the receive queue. Falls back to the
// monotonic readings when a stamp is missing or the kernel figures
// disagree with them by more than `kStampTolerance` (the realtime clock was
// stepped meanwhile).
inline constexpr std::chrono::milliseconds kStampTolerance{1};
ExchangeTiming ChooseExchangeTiming(std::optional<UtcTime> sent, std::optional<UtcTime> arrived, UtcTime now,
                                    std::chrono::nanoseconds steady_round_trip,
                                    std::chrono::nanoseconds steady_since_arrival);

// `RefId` from the address that sent the reply, given as its bytes in network
// order (4 for IPv4, 16 for IPv6): an IPv4 address's four octets; for an
// IPv4-mapped IPv6 address the embedded IPv4 octets; for any other IPv6
// address the first four octets of its MD5 digest. Other lengths give zeros.
std::array<uint8_t, 4> RefIdFromAddress(std::span<const uint8_t> address);

// Upstream queries go out at least `gap` apart, whatever the interval.
class QueryGate {
 public:
  static constexpr std::chrono::seconds kDefaultGap{16};
  void SetGap(std::chrono::nanoseconds gap) { gap_ = gap; }
  std::chrono::nanoseconds gap() const { return gap_; }
  // A query left (or its name look-up started) at monotonic `now`.
  void Sent(std::chrono::nanoseconds now) { last_ = now; }
  // Time until the next query may go; zero when it may go now.
  std::chrono::nanoseconds Remaining(std::chrono::nanoseconds now) const;
  bool Allows(std::chrono::nanoseconds now) const { return Remaining(now) == std::chrono::nanoseconds(0); }

 private:
  std::chrono::nanoseconds gap_ = kDefaultGap;
  std::optional<std::chrono::nanoseconds> last_;
};

// Delays between the retries of failed queries: 2, 4, 8, ... s, at most 64 s,
// until Reset() after a reply has been applied.
class RetryBackoff {
 public:
  static constexpr std::chrono::seconds kFirst{2};
  static constexpr std::chrono::seconds kMax{64};

  std::chrono::seconds NextDelay();
  void Reset() { next_ = kFirst; }

 private:
  std::chrono::seconds next_ = kFirst;
};

}  // namespace mdl
