// The upstream SNTP exchange: request, reply recognition, clock correction.
#include "server/upstream/sntp_query.h"

#include "server/upstream/md5.h"

#include <algorithm>

#include "common/time/ntp_timestamp.h"

namespace mdl {
namespace {

constexpr std::size_t kReceiveOffset = 32;
constexpr std::size_t kTransmitOffset = 40;
constexpr uint64_t kFractionMask = 0xFFFFFFFFu;
constexpr uint64_t kHalfFraction = uint64_t{1} << 31;
constexpr int64_t kNanosPerSecond = 1000000000;

// The timestamp as one 32.32 fixed-point number.
uint64_t Fixed(NtpTimestamp ts) { return (uint64_t{ts.seconds} << 32) | ts.fraction; }

// a - b as a signed 32.32 difference; right across an era change as long as
// the two are within 68 years of each other.
int64_t FixedDifference(NtpTimestamp a, NtpTimestamp b) { return static_cast<int64_t>(Fixed(a) - Fixed(b)); }

double FixedToMillis(int64_t fixed) {
  const int64_t seconds = fixed >> 32;  // floor, also for negative values
  const uint64_t fraction = static_cast<uint64_t>(fixed) & kFractionMask;
  return static_cast<double>(seconds) * 1000.0 + static_cast<double>(fraction) * 1000.0 / 4294967296.0;
}

// A non-negative 32.32 value in nanoseconds, rounded to the nearest.
int64_t FixedToNanos(int64_t fixed) {
  const int64_t seconds = fixed >> 32;  // < 2^31, so seconds * 1e9 fits
  const uint64_t fraction = static_cast<uint64_t>(fixed) & kFractionMask;
  const auto nanos =
      static_cast<int64_t>((fraction * static_cast<uint64_t>(kNanosPerSecond) + kHalfFraction) >> 32);
  return seconds * kNanosPerSecond + nanos;
}

// M: the fraction in whole milliseconds, ties to even, never 1000.
uint32_t FractionMillis(uint32_t fraction) {
  const uint64_t scaled = uint64_t{fraction} * 1000;
  uint64_t ms = scaled >> 32;
  const uint64_t rest = scaled & kFractionMask;
  if (rest > kHalfFraction || (rest == kHalfFraction && (ms & 1) != 0)) ++ms;
  return static_cast<uint32_t>(std::min<uint64_t>(ms, 999));
}

// Half a duration, ties to even.
std::chrono::nanoseconds HalfOf(std::chrono::nanoseconds d) {
  const int64_t n = d.count();
  int64_t half = n / 2;
  if (n % 2 != 0 && half % 2 != 0) half += n > 0 ? 1 : -1;
  return std::chrono::nanoseconds(half);
}

}  // namespace

NtpStampBytes QueryStamp(UtcTime send_time, std::span<const uint8_t, 4> nonce) {
  NtpStampBytes stamp = NtpFromUtc(send_time).ToBytes();
  std::copy(nonce.begin(), nonce.end(), stamp.begin() + 4);
  return stamp;
}

bool OriginateMatches(std::span<const uint8_t> datagram, const NtpStampBytes& send_stamp) {
  return datagram.size() == kSntpPacketSize &&
         std::equal(send_stamp.begin(), send_stamp.end(), datagram.begin() + 24);
}

bool PlausibleUpstreamTime(UtcTime t) { return FloorUnixSeconds(t) >= kEarliestUpstreamUnixSeconds; }

StepGuard::Verdict StepGuard::Judge(std::chrono::nanoseconds step, const std::string& server,
                                    bool other_server_possible) {
  if (!synced_once_ || !max_step_ || std::chrono::abs(step) <= *max_step_) {
    pending_.reset();
    return Verdict::kAccept;
  }
  if (pending_ && std::chrono::abs(step - pending_->step) <= kConfirmTolerance &&
      (!other_server_possible || server != pending_->server)) {
    pending_.reset();
    return Verdict::kAcceptConfirmed;
  }
  pending_ = Pending{step, server};
  return Verdict::kRefuse;
}

std::chrono::nanoseconds QueryGate::Remaining(std::chrono::nanoseconds now) const {
  if (!last_ || now - *last_ >= gap_) return std::chrono::nanoseconds(0);
  return gap_ - (now - *last_);
}

std::array<uint8_t, kSntpPacketSize> BuildSntpRequest(const NtpStampBytes& send_stamp) {
  std::array<uint8_t, kSntpPacketSize> request{};
  request[0] = kSntpRequestFirstByte;
  std::copy(send_stamp.begin(), send_stamp.end(), request.begin() + kTransmitOffset);
  return request;
}

UpstreamArrival ClassifyArrival(std::span<const uint8_t> datagram, bool query_pending,
                                const NtpStampBytes& send_stamp) {
  if (datagram.size() == kSntpPacketSize) {
    if (query_pending && datagram[24] == send_stamp[0] && datagram[27] == send_stamp[3] &&
        datagram[31] == send_stamp[7]) {
      return UpstreamArrival::kUpstreamReply;
    }
    return UpstreamArrival::kClientRequest;
  }
  if (query_pending && datagram.size() == 1) return UpstreamArrival::kOneByteRetry;
  return UpstreamArrival::kOther;
}

ReplyFault CheckReply(std::span<const uint8_t, kSntpPacketSize> reply) {
  if (reply[1] == 0) return ReplyFault::kKissOfDeath;
  // Leap 3, or a stratum beyond 15 (16: unsynchronised), is no time to serve.
  if ((reply[0] >> 6) == 3 || reply[1] > 15) return ReplyFault::kUnsynchronised;
  const auto transmit = reply.subspan(kTransmitOffset, 8);
  if (std::all_of(transmit.begin(), transmit.end(), [](uint8_t b) { return b == 0; })) {
    return ReplyFault::kZeroTransmit;
  }
  return ReplyFault::kUsable;
}

const char* ReplyFaultText(ReplyFault fault) {
  switch (fault) {
    case ReplyFault::kUsable:
      return "usable reply";
    case ReplyFault::kZeroTransmit:
      return "the time server sent no time (transmit timestamp 0)";
    case ReplyFault::kUnsynchronised:
      return "the time server is not synchronised itself";
    case ReplyFault::kKissOfDeath:
      return "the time server refused the query";
  }
  return "unknown reply fault";
}

Correction ComputeCorrection(std::span<const uint8_t, kSntpPacketSize> reply, const NtpStampBytes& send_stamp,
                             std::chrono::nanoseconds round_trip, UtcTime pivot) {
  const NtpTimestamp transmit = NtpTimestamp::FromBytes(reply.data() + kTransmitOffset);
  const NtpTimestamp receive = NtpTimestamp::FromBytes(reply.data() + kReceiveOffset);
  const NtpTimestamp sent = NtpTimestamp::FromBytes(send_stamp.data());
  round_trip = std::max(round_trip, std::chrono::nanoseconds(0));

  Correction c;
  c.reply_millis = NtpToMillis(transmit);
  c.send_millis = NtpToMillis(sent);
  c.reply_difference_ms = FixedToMillis(FixedDifference(transmit, sent));
  c.display_ms = FractionMillis(transmit.fraction);
  c.upstream_whole_second = UtcFromNtp(NtpTimestamp{transmit.seconds, 0}, pivot);

  c.path_delay = round_trip;
  if (receive != NtpTimestamp{}) {
    const int64_t holding_fixed = FixedDifference(transmit, receive);
    if (holding_fixed >= 0) {
      const std::chrono::nanoseconds holding(FixedToNanos(holding_fixed));
      if (holding <= round_trip) c.path_delay = round_trip - holding;
    }
  }
  c.new_time = UtcFromNtp(transmit, pivot) + HalfOf(c.path_delay);
  return c;
}

ExchangeTiming ChooseExchangeTiming(std::optional<UtcTime> sent, std::optional<UtcTime> arrived, UtcTime now,
                                    std::chrono::nanoseconds steady_round_trip,
                                    std::chrono::nanoseconds steady_since_arrival) {
  using std::chrono::nanoseconds;
  ExchangeTiming t{steady_round_trip, steady_since_arrival, false};
  if (!sent || !arrived) return t;
  const nanoseconds round_trip = *arrived - *sent;
  const nanoseconds since_arrival = now - *arrived;
  const auto close = [](nanoseconds a, nanoseconds b) {
    return a >= nanoseconds(0) && (a > b ? a - b : b - a) <= kStampTolerance;
  };
  if (!close(round_trip, steady_round_trip) || !close(since_arrival, steady_since_arrival)) return t;
  return {round_trip, since_arrival, true};
}

std::array<uint8_t, 4> RefIdFromAddress(std::span<const uint8_t> address) {
  std::array<uint8_t, 4> id{};
  if (address.size() == 4) {
    std::copy(address.begin(), address.end(), id.begin());
  } else if (address.size() == 16) {
    constexpr std::array<uint8_t, 12> kMappedPrefix = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    const bool mapped = std::equal(kMappedPrefix.begin(), kMappedPrefix.end(), address.begin());
    if (mapped) {
      std::copy_n(address.begin() + 12, 4, id.begin());
    } else {
      // IPv6: the first four octets of the address's MD5 digest (RFC 5905).
      const auto digest = Md5(address);
      std::copy_n(digest.begin(), 4, id.begin());
    }
  }
  return id;
}

std::chrono::seconds RetryBackoff::NextDelay() {
  const std::chrono::seconds delay = next_;
  next_ = std::min(next_ * 2, kMax);
  return delay;
}

}  // namespace mdl
