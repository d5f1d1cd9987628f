// NTP extension fields after the 48-byte header: type (2), length (2, the
// whole field, a multiple of 4), body. Parsing is bounded in count and never
// reads past the datagram.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace mdl::nts {

inline constexpr size_t kNtpHeaderLength = 48;

// The field types of authenticated NTP.
inline constexpr uint16_t kFieldUniqueIdentifier = 0x0104;
inline constexpr uint16_t kFieldCookie = 0x0204;
inline constexpr uint16_t kFieldCookiePlaceholder = 0x0304;
inline constexpr uint16_t kFieldAuthenticator = 0x0404;

struct ExtensionField {
  uint16_t type = 0;
  size_t offset = 0;  // of the field's first byte in the parsed data
  size_t length = 0;  // of the whole field
  std::span<const uint8_t> body;
};

inline constexpr size_t kMaxExtensionFields = 16;

struct ExtensionFields {
  std::array<ExtensionField, kMaxExtensionFields> items;
  size_t count = 0;
  const ExtensionField* begin() const { return items.data(); }
  const ExtensionField* end() const { return items.data() + count; }
};

// Parses `data` from `offset` to its end as a run of fields; false when a
// field's length is under 4, not a multiple of 4 or runs past the end, or
// there are more than kMaxExtensionFields.
bool ParseExtensionFields(std::span<const uint8_t> data, size_t offset, ExtensionFields* out);

// The length of a field with `body_length` bytes of body: padded to a
// multiple of 4, at least `min_length`.
size_t ExtensionFieldLength(size_t body_length, size_t min_length = 16);
// Appends one field, the body zero-padded to ExtensionFieldLength.
void AppendExtensionField(std::vector<uint8_t>* out, uint16_t type, std::span<const uint8_t> body,
                          size_t min_length = 16);

}  // namespace mdl::nts
