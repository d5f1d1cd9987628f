// Pure helpers of the load generator: NTP packets, offsets, percentiles.
#include "bench/load_stats.h"

#include <algorithm>
#include <cmath>

namespace mdl::bench {
namespace {

constexpr int64_t kUnixToNtpSeconds = 2208988800;
constexpr int64_t kNanosPerSecond = 1000000000;

uint64_t ReadBe64(std::span<const uint8_t> p) {
  uint64_t v = 0;
  for (size_t i = 0; i < 8; ++i) v = (v << 8) | p[i];
  return v;
}

}  // namespace

uint64_t NtpFromUnixNanos(int64_t unix_ns) {
  int64_t secs = unix_ns / kNanosPerSecond;
  int64_t nanos = unix_ns % kNanosPerSecond;
  if (nanos < 0) {
    nanos += kNanosPerSecond;
    --secs;
  }
  uint64_t ntp_secs = static_cast<uint64_t>(secs + kUnixToNtpSeconds) & 0xFFFFFFFFu;
  // Round to the nearest 2^-32 s so that a round trip through UnixNanosFromNtp
  // gives the nanosecond back.
  uint64_t frac = ((static_cast<uint64_t>(nanos) << 32) + kNanosPerSecond / 2) / kNanosPerSecond;
  if (frac > 0xFFFFFFFFu) {
    frac = 0;
    ntp_secs = (ntp_secs + 1) & 0xFFFFFFFFu;
  }
  return (ntp_secs << 32) | frac;
}

int64_t UnixNanosFromNtp(uint64_t ntp) {
  // Era 0 (until 2036) is all a benchmark on today's clock needs.
  int64_t secs = static_cast<int64_t>(ntp >> 32) - kUnixToNtpSeconds;
  uint64_t frac = ntp & 0xFFFFFFFFu;
  int64_t nanos = static_cast<int64_t>((frac * kNanosPerSecond + (1ull << 31)) >> 32);
  return secs * kNanosPerSecond + nanos;
}

NtpPacket BuildNtpRequest(uint64_t transmit) {
  NtpPacket p{};
  p[0] = 0x23;  // LI 0, version 4, mode 3
  for (size_t i = 0; i < 8; ++i) p[40 + i] = static_cast<uint8_t>(transmit >> (56 - 8 * i));
  return p;
}

std::optional<NtpReply> ParseNtpReply(std::span<const uint8_t> datagram) {
  if (datagram.size() != kNtpSize || (datagram[0] & 0x07) != 4) return std::nullopt;
  NtpReply r;
  r.stratum = datagram[1];
  r.originate = ReadBe64(datagram.subspan(24));
  r.receive = ReadBe64(datagram.subspan(32));
  r.transmit = ReadBe64(datagram.subspan(40));
  if (r.receive == 0 || r.transmit == 0) return std::nullopt;
  return r;
}

int64_t ClientOffsetNanos(int64_t t1_unix_ns, const NtpReply& reply, int64_t t4_unix_ns) {
  int64_t t2 = UnixNanosFromNtp(reply.receive);
  int64_t t3 = UnixNanosFromNtp(reply.transmit);
  // Halve each difference first: no overflow for any era-0 stamps.
  return (t2 - t1_unix_ns) / 2 + (t3 - t4_unix_ns) / 2;
}

std::optional<int64_t> Percentile(std::vector<int64_t>& samples, double p) {
  if (samples.empty()) return std::nullopt;
  p = std::clamp(p, 0.0, 100.0);
  size_t rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(samples.size())));
  size_t index = rank == 0 ? 0 : rank - 1;
  std::nth_element(samples.begin(), samples.begin() + static_cast<ptrdiff_t>(index), samples.end());
  return samples[index];
}

}  // namespace mdl::bench
