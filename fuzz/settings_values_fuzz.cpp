// Fuzz target: any text as the "Settings" value, as a service value and as
// "MetricsAddress". What is read must format back to text that reads the
// same; nothing may crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "server/core/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  if (const std::optional<mdl::SyncSettings> sync = mdl::ParseSettingsValue(text)) {
    if (sync->region.empty()) std::abort();
    if (sync->ntp_first_byte < 0 || sync->ntp_first_byte > 255) std::abort();
    if (sync->count_text && !mdl::IsPlainDecimal(*sync->count_text)) std::abort();
    const std::optional<mdl::SyncSettings> back = mdl::ParseSettingsValue(mdl::FormatSettingsValue(*sync));
    if (!back || !(*back == *sync)) std::abort();
  }

  const mdl::ServiceFields service = mdl::ParseServiceFields(text);
  if (!(mdl::ParseServiceFields(mdl::FormatServiceFields(service)) == service)) std::abort();

  // An address and a port, or a complaint: never both, never neither for a text.
  const mdl::MetricsAddressParse metrics = mdl::ParseMetricsAddress(text);
  if (metrics.address.has_value() == !metrics.complaint.empty()) {
    if (!text.empty() || metrics.address) std::abort();
  }
  if (metrics.address) {
    if (metrics.address->port == 0) std::abort();
    const std::string a = metrics.address->address.to_string();
    const std::string back =
        (metrics.address->address.is_v6() ? "[" + a + "]" : a) + ":" + std::to_string(metrics.address->port);
    const mdl::MetricsAddressParse again = mdl::ParseMetricsAddress(back);
    if (!again.address || !(*again.address == *metrics.address)) std::abort();
  }
  return 0;
}
