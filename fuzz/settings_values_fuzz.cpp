// Fuzz target: any text as the "Settings" value and as a service value. What
// is read must format back to text that reads the same; nothing may crash.
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
  return 0;
}
