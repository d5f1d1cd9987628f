// Reference quality of the served time.
#include "server/upstream/reference_quality.h"

#include <algorithm>
#include <cmath>

namespace mdl {
namespace {

double Seconds(Nanoseconds d) { return std::max(0.0, static_cast<double>(d.count()) * 1e-9); }

// 2^log2 seconds, with a hostile precision byte kept to a sane range.
double PrecisionSeconds(int log2) { return std::ldexp(1.0, std::clamp(log2, -32, 4)); }

}  // namespace

std::array<uint8_t, 4> NtpShort(double seconds) {
  const double units = std::ceil(std::max(0.0, seconds) * 65536.0);
  const uint32_t v = units >= 4294967295.0 ? 0xFFFFFFFFu : static_cast<uint32_t>(units);
  return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
          static_cast<uint8_t>(v)};
}

double FromNtpShort(std::span<const uint8_t, 4> f) {
  const uint32_t v = uint32_t{f[0]} << 24 | uint32_t{f[1]} << 16 | uint32_t{f[2]} << 8 | f[3];
  return v / 65536.0;
}

SyncQuality QualityOfSync(std::span<const uint8_t, 48> reply, Nanoseconds path_delay, Nanoseconds round_trip,
                          Nanoseconds synced_at) {
  SyncQuality q;
  q.stratum = static_cast<uint8_t>(std::min<int>(reply[1] + 1, kMaxStratum));
  q.root_delay = FromNtpShort(reply.subspan<4, 4>()) + Seconds(path_delay);
  // The upstream's dispersion, both clocks' reading error, and what the
  // frequency tolerance adds over the exchange.
  q.root_dispersion = FromNtpShort(reply.subspan<8, 4>()) + PrecisionSeconds(static_cast<int8_t>(reply[3])) +
                      PrecisionSeconds(kOwnPrecisionLog2) + kDispersionRate * Seconds(round_trip);
  q.synced_at = synced_at;
  return q;
}

ReferenceFields ReferenceAt(const SyncQuality& q, Nanoseconds now, std::chrono::seconds max_unsynced) {
  const Nanoseconds age = std::max(Nanoseconds::zero(), now - q.synced_at);
  ReferenceFields f;
  f.stratum = q.stratum;
  f.root_delay = NtpShort(q.root_delay);
  f.root_dispersion = NtpShort(q.root_dispersion + kDispersionRate * Seconds(age));
  f.unsynchronised = max_unsynced.count() > 0 && age > max_unsynced;
  return f;
}

}  // namespace mdl
