// Pure reply builders of the reference minimal servers.
#include "bench/ceiling_reply.h"

#include <algorithm>

namespace mdl::bench {
namespace {

constexpr int64_t kUnixToNtpSeconds = 2208988800;

void PutBe64(uint8_t* at, uint64_t v) {
  for (int i = 0; i < 8; ++i) at[i] = static_cast<uint8_t>(v >> (56 - 8 * i));
}

}  // namespace

std::optional<NtpPacket> BuildCeilingNtpReply(std::span<const uint8_t> request, uint64_t receive,
                                              uint64_t transmit) {
  if (request.size() != kNtpSize || (request[0] & 0x07) != 3) return std::nullopt;
  NtpPacket p;
  std::copy(request.begin(), request.end(), p.begin());
  p[0] = static_cast<uint8_t>((request[0] & 0x38) | 4);  // LI 0, client's version
  p[1] = 2;
  std::copy(request.begin() + 40, request.begin() + 48, p.begin() + 24);
  PutBe64(p.data() + 32, receive);
  PutBe64(p.data() + 40, transmit);
  return p;
}

std::array<uint8_t, 4> TimeProtocolAnswer(int64_t unix_ns) {
  int64_t secs = unix_ns / 1000000000;
  if (unix_ns % 1000000000 < 0) --secs;
  auto v = static_cast<uint32_t>(static_cast<uint64_t>(secs + kUnixToNtpSeconds));
  return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
          static_cast<uint8_t>(v)};
}

}  // namespace mdl::bench
