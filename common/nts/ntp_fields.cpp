#include "common/nts/ntp_fields.h"

namespace mdl::nts {

bool ParseExtensionFields(std::span<const uint8_t> data, size_t offset, ExtensionFields* out) {
  out->count = 0;
  while (offset < data.size()) {
    if (data.size() - offset < 4 || out->count == kMaxExtensionFields) return false;
    const uint16_t type = static_cast<uint16_t>(data[offset] << 8 | data[offset + 1]);
    const size_t length = static_cast<size_t>(data[offset + 2] << 8 | data[offset + 3]);
    if (length < 4 || length % 4 != 0 || length > data.size() - offset) return false;
    out->items[out->count++] = {type, offset, length, data.subspan(offset + 4, length - 4)};
    offset += length;
  }
  return true;
}

size_t ExtensionFieldLength(size_t body_length, size_t min_length) {
  const size_t length = 4 + (body_length + 3) / 4 * 4;
  return length < min_length ? (min_length + 3) / 4 * 4 : length;
}

void AppendExtensionField(std::vector<uint8_t>* out, uint16_t type, std::span<const uint8_t> body,
                          size_t min_length) {
  const size_t length = ExtensionFieldLength(body.size(), min_length);
  out->push_back(static_cast<uint8_t>(type >> 8));
  out->push_back(static_cast<uint8_t>(type));
  out->push_back(static_cast<uint8_t>(length >> 8));
  out->push_back(static_cast<uint8_t>(length));
  out->insert(out->end(), body.begin(), body.end());
  out->resize(out->size() + (length - 4 - body.size()), 0);
}

}  // namespace mdl::nts
