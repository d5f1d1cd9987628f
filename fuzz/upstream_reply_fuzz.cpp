// Fuzz target: any datagram arriving while the upstream query is pending, as
// the synchronisation sees it (recognition, fault check, clock correction),
// plus arbitrary kernel/monotonic timings. Nothing may crash, and an applied
// correction never moves the clock by more than the reply's own time plus
// half the round trip.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>

#include "server/upstream/sntp_query.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace std::chrono;
  // First 40 bytes: the query's send stamp and timing values; the rest is the datagram.
  if (size < 40) return 0;
  mdl::NtpStampBytes send_stamp;
  std::memcpy(send_stamp.data(), data, 8);
  int64_t v[4];
  std::memcpy(v, data + 8, sizeof v);
  const bool pending = (data[39] & 1) != 0;
  const std::span<const uint8_t> datagram(data + 40, size - 40);

  const mdl::UpstreamArrival kind = mdl::ClassifyArrival(datagram, pending, send_stamp);
  if (!pending && kind == mdl::UpstreamArrival::kUpstreamReply) std::abort();
  if (kind != mdl::UpstreamArrival::kUpstreamReply) return 0;
  if (datagram.size() < mdl::kSntpPacketSize) std::abort();
  std::span<const uint8_t, mdl::kSntpPacketSize> reply(datagram.data(), mdl::kSntpPacketSize);
  (void)mdl::ReplyFaultText(mdl::CheckReply(reply));

  // Timings: kernel stamps around 2026 and monotonic readings within a day.
  const int64_t base = 1'796'000'000'000'000'000;
  const int64_t sent_ns = base + (v[0] % 86'400'000'000'000);
  const int64_t arrived_ns = base + (v[1] % 86'400'000'000'000);
  const nanoseconds steady_rtt(v[2] % 86'400'000'000'000);
  const nanoseconds steady_since(v[3] % 86'400'000'000'000);
  // The low bits say whether the socket had each stamp at all.
  const std::optional<mdl::UtcTime> sent =
      (v[0] & 1) ? std::nullopt : std::optional<mdl::UtcTime>(mdl::UtcFromNs(sent_ns));
  const std::optional<mdl::UtcTime> arrived =
      (v[1] & 1) ? std::nullopt : std::optional<mdl::UtcTime>(mdl::UtcFromNs(arrived_ns));
  const mdl::ExchangeTiming t = mdl::ChooseExchangeTiming(
      sent, arrived, mdl::UtcFromNs(arrived_ns + steady_since.count()), steady_rtt, steady_since);
  if (t.from_kernel && (t.round_trip < nanoseconds(0) || t.since_arrival < nanoseconds(0))) std::abort();

  const mdl::UtcTime pivot = mdl::UtcFromNs(base);
  const mdl::Correction c = mdl::ComputeCorrection(reply, send_stamp, t.round_trip, pivot);
  const nanoseconds rtt = std::max(t.round_trip, nanoseconds(0));
  if (c.path_delay < nanoseconds(0) || c.path_delay > rtt) std::abort();
  if (c.display_ms > 999) std::abort();
  return 0;
}
