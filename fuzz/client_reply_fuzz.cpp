// Fuzz target: the client's reply handling and its setting parsers never
// crash and keep their output bounded, whatever bytes arrive.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

#include "client/client_core.h"
#include "client/client_engine.h"
#include "client/client_settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // First 8 bytes pick the round trip, send milliseconds and zone; the rest is the reply.
  if (size < 8) return 0;
  int32_t rtt = 0;
  int16_t bias = 0;
  uint16_t millis = 0;
  std::memcpy(&rtt, data, 4);
  std::memcpy(&bias, data + 4, 2);
  std::memcpy(&millis, data + 6, 2);
  mdl::ZoneFacts zone;
  zone.bias_minutes = bias;
  zone.daylight = (millis & 1) != 0;
  zone.daylight_bias_minutes = -60;
  const std::span<const uint8_t> reply(data + 8, size - 8);

  const auto result = mdl::ProcessReply(reply, rtt, millis % 1000, zone);
  if (result.has_value() != (reply.size() == mdl::kMdlMessageSize)) std::abort();
  if (result) {
    if (result->tray_tip.size() >= mdl::kTrayTipSize) std::abort();
    if (result->report.size() > 400) std::abort();
    for (char c : result->report) {
      if (c != '\r' && c != '\n' && (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)) std::abort();
    }
    // Accepted replies carry "MDLS", echo the request's send time and lie in the window.
    mdl::MdlMessage request{};
    std::memcpy(request.data() + 8, reply.data() + 8, 8);
    const mdl::UtcTime local = mdl::UtcFromNs(int64_t{1796000000} * 1000000000);
    const mdl::ReplyLimits limits;
    const auto verdict = mdl::CheckReply(reply, request, rtt, result->new_clock, local, limits);
    const bool accepted = verdict == mdl::ReplyVerdict::kAccept;
    if (accepted && (std::memcmp(reply.data(), "MDLS", 4) != 0 || rtt > limits.max_rtt_ms)) std::abort();
    if (!accepted &&
        mdl::RefusalLine(verdict, rtt, result->new_clock, local, limits).rfind("Refused: ", 0) != 0)
      std::abort();
  }

  const std::string_view text(reinterpret_cast<const char*>(reply.data()), reply.size());
  if (auto settings = mdl::ParseClientValue(text)) {
    const auto again = mdl::ParseClientValue(mdl::FormatClientValue(*settings));
    if (!again || again->host != settings->host || again->number != settings->number ||
        again->unit != settings->unit || again->run_minimized != settings->run_minimized) {
      std::abort();
    }
    const auto interval = mdl::SecChange(settings->number, settings->unit);
    if (interval.seconds && *interval.seconds < 1) std::abort();
  }
  const mdl::HostPort hp = mdl::SplitHostPort(text);
  if (hp.ok && (hp.host.empty() || hp.port == 0)) std::abort();
  return 0;
}
