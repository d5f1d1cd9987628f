// Port fields of the service table.
#include "server/serving/service_table.h"

namespace mdl {

std::optional<uint16_t> ParsePortField(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  uint32_t value = 0;
  size_t digits = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
    value = value * 10 + static_cast<uint32_t>(text[i] - '0');
    if (value > 65535) return std::nullopt;
  }
  if (digits == 0 || value == 0) return std::nullopt;
  return static_cast<uint16_t>(value);
}

}  // namespace mdl
