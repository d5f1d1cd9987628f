// Bounded decimal numbers of registry values.
#include "common/registry/registry_number.h"

namespace mdl {

std::optional<uint64_t> ReadRegistryNumber(std::string_view text, uint64_t max) {
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    // Checked before the multiplication, so that no value wraps past `max`.
    if (digit > max || value > (max - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace mdl
