// Recognising the NTS NAK.
#include "server/upstream/nts_nak.h"

#include <algorithm>
#include <cstddef>
#include <iterator>

namespace mdl {
namespace {

constexpr std::size_t kHeaderBytes = 48;
constexpr uint16_t kUniqueIdentifierField = 0x0104;
constexpr uint16_t kAuthenticatorField = 0x0404;

uint16_t Be16(std::span<const uint8_t> b, std::size_t at) {
  return static_cast<uint16_t>(uint16_t{b[at]} << 8 | b[at + 1]);
}

}  // namespace

bool IsNtsNak(std::span<const uint8_t> reply, std::span<const uint8_t> unique_id) {
  if (reply.size() < kHeaderBytes || unique_id.empty()) return false;
  constexpr uint8_t kNtsn[] = {'N', 'T', 'S', 'N'};
  if (reply[1] != 0 || !std::equal(std::begin(kNtsn), std::end(kNtsn), reply.begin() + 12)) return false;
  bool echoed = false;
  std::size_t at = kHeaderBytes;
  while (reply.size() - at >= 4) {
    const uint16_t type = Be16(reply, at);
    const std::size_t length = Be16(reply, at + 2);
    if (length < 4 || length % 4 != 0 || length > reply.size() - at) return false;
    if (type == kAuthenticatorField) return false;
    const auto body = reply.subspan(at + 4, length - 4);
    if (type == kUniqueIdentifierField && body.size() == unique_id.size() &&
        std::equal(body.begin(), body.end(), unique_id.begin()))
      echoed = true;
    at += length;
  }
  return echoed && at == reply.size();
}

}  // namespace mdl
