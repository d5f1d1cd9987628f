// Private protocol timestamps.
#include "common/time/mdl_stamp.h"

#include "common/time/byte_order.h"
#include "common/time/ntp_timestamp.h"

namespace mdl {
namespace {

// Offset that turns a 2002-epoch second count into a 1900-epoch one.
constexpr int64_t kMdlToNtpSeconds = kMdlEpochUnixSeconds + kNtpToUnixSeconds;

}  // namespace

std::array<uint8_t, 8> MdlStampFromUtc(UtcTime t, uint32_t* millis_out) {
  const uint32_t ms = MillisOfSecond(t);
  if (millis_out != nullptr) *millis_out = ms;
  const auto seconds =
      static_cast<uint32_t>(static_cast<uint64_t>(FloorUnixSeconds(t) - kMdlEpochUnixSeconds));
  const auto fraction = static_cast<uint32_t>((uint64_t{ms} << 32) / 1000);
  std::array<uint8_t, 8> out{};
  PutBe32(out.data(), seconds);
  PutBe32(out.data() + 4, fraction);
  return out;
}

double MdlStampToMillis(const uint8_t* p) {
  return static_cast<double>(GetBe32(p)) * 1000.0 +
         static_cast<double>(GetBe32(p + 4)) * 1000.0 / 4294967296.0;
}

UtcTime UtcFromMdlStamp(const uint8_t* p, UtcTime pivot) {
  // Same layout as NTP: shift the seconds to the 1900 epoch and reuse its
  // era selection.
  const NtpTimestamp ts{static_cast<uint32_t>(GetBe32(p) + static_cast<uint64_t>(kMdlToNtpSeconds)),
                        GetBe32(p + 4)};
  return UtcFromNtp(ts, pivot);
}

}  // namespace mdl
