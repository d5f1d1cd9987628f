// NTP timestamp conversions and epoch second counts.
#include "common/time/ntp_timestamp.h"

#include <cstdint>

#include "common/time/byte_order.h"

namespace mdl {
namespace {

constexpr uint64_t kTwoPow32 = uint64_t{1} << 32;
constexpr uint64_t kNanosPerSecond = 1000000000;

}  // namespace

std::array<uint8_t, 8> NtpTimestamp::ToBytes() const {
  std::array<uint8_t, 8> out{};
  PutBe32(out.data(), seconds);
  PutBe32(out.data() + 4, fraction);
  return out;
}

NtpTimestamp NtpTimestamp::FromBytes(const uint8_t* p) { return NtpTimestamp{GetBe32(p), GetBe32(p + 4)}; }

NtpTimestamp NtpFromUtc(UtcTime t) {
  // ns < 1e9, so ns * 2^32 < 4.3e18 fits in 64 bits.
  const uint64_t ns = NanosOfSecond(t);
  return NtpTimestamp{SecondsSince1900(t), static_cast<uint32_t>((ns * kTwoPow32) / kNanosPerSecond)};
}

UtcTime UtcFromNtp(NtpTimestamp ts, UtcTime pivot) {
  const int64_t pivot_1900 = FloorUnixSeconds(pivot) + kNtpToUnixSeconds;
  // Signed distance modulo 2^32 from the pivot's era position to the stamp.
  const auto delta =
      static_cast<int32_t>(ts.seconds - static_cast<uint32_t>(static_cast<uint64_t>(pivot_1900)));
  int64_t unix_seconds = pivot_1900 + delta - kNtpToUnixSeconds;
  // Only a pivot at the very edge of the representable range (year 1678 or
  // 2262) gets here; saturate rather than overflow.
  constexpr int64_t kMaxSeconds = INT64_MAX / 1000000000 - 1;
  if (unix_seconds > kMaxSeconds) unix_seconds = kMaxSeconds;
  if (unix_seconds < -kMaxSeconds) unix_seconds = -kMaxSeconds;
  const uint64_t ns = (uint64_t{ts.fraction} * kNanosPerSecond + kTwoPow32 - 1) >> 32;
  return UtcFromNs(unix_seconds * static_cast<int64_t>(kNanosPerSecond) + static_cast<int64_t>(ns));
}

double NtpToMillis(NtpTimestamp ts) {
  return static_cast<double>(ts.seconds) * 1000.0 + static_cast<double>(ts.fraction) * 1000.0 / 4294967296.0;
}

GrabbedTime GrabTime(UtcTime t) { return GrabbedTime{NtpFromUtc(t), MillisOfSecond(t)}; }

uint32_t SecondsSince1900(UtcTime t) {
  return static_cast<uint32_t>(static_cast<uint64_t>(FloorUnixSeconds(t) + kNtpToUnixSeconds));
}

uint32_t SecondsSince1970Low32(UtcTime t) {
  return static_cast<uint32_t>(static_cast<uint64_t>(FloorUnixSeconds(t)));
}

}  // namespace mdl
