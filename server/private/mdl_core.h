// Private 24-byte protocol, server side: request check, reply and log texts.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "server/serving/service_kinds.h"

namespace mdl {

inline constexpr size_t kMdlMessageSize = 24;

enum class MdlCheck {
  kOk,
  kBadLength,    // not exactly 24 bytes: TCP closes, UDP drops
  kBadIdentity,  // no "MD" at bytes 0..1, or 'L' or 'S' at byte 3: no reply
};

// Byte 0 'M', byte 1 'D', byte 3 neither 'L' nor 'S'; byte 2 is not examined.
// A server reply ("MDLS") is never answered: otherwise one forged UDP reply
// would set two servers answering each other for ever.
MdlCheck CheckMdlRequest(std::span<const uint8_t> message);

// The reply: "MDLS", the server's version digit, bytes 5..15 echoed and the
// server time in bytes 16..23. The service build's TCP reply writes "UTC"
// into bytes 5..7 instead of echoing them.
std::array<uint8_t, kMdlMessageSize> BuildMdlReply(std::span<const uint8_t, kMdlMessageSize> request,
                                                   const std::array<uint8_t, 8>& server_stamp,
                                                   char version_digit, bool service_build_tcp);

// BytesD of the log entry: "MDLSC" (TCP) or "MDLSP" (UDP) and the client's
// version digit (request byte 4).
std::string MdlLogText(Transport transport, uint8_t client_digit);

}  // namespace mdl
