// Fuzz target: any datagram as the reply to an NTS request, checked for a
// NAK. Nothing may crash or read past the end; a NAK always echoes the
// identifier after a kiss "NTSN" header.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "server/upstream/nts_nak.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> reply(data, size);
  std::array<uint8_t, 32> id{};
  id.fill(0xA5);
  if (!mdl::IsNtsNak(reply, id)) return 0;
  if (size < 48 + 36 || data[1] != 0 || data[12] != 'N' || data[15] != 'N') std::abort();
  bool found = false;
  for (size_t at = 48; at + 36 <= size && !found; ++at)
    found = data[at] == 0x01 && data[at + 1] == 0x04 && std::equal(id.begin(), id.end(), data + at + 4);
  if (!found) std::abort();
  return 0;
}
