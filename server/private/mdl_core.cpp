// Private protocol, server side: check and reply.
#include "server/private/mdl_core.h"

#include <algorithm>

namespace mdl {

MdlCheck CheckMdlRequest(std::span<const uint8_t> message) {
  if (message.size() != kMdlMessageSize) return MdlCheck::kBadLength;
  if (message[0] != 'M' || message[1] != 'D' || message[3] == 'L' || message[3] == 'S') {
    return MdlCheck::kBadIdentity;
  }
  return MdlCheck::kOk;
}

std::array<uint8_t, kMdlMessageSize> BuildMdlReply(std::span<const uint8_t, kMdlMessageSize> request,
                                                   const std::array<uint8_t, 8>& server_stamp,
                                                   char version_digit, bool service_build_tcp) {
  std::array<uint8_t, kMdlMessageSize> reply{};
  std::copy(request.begin(), request.end(), reply.begin());
  reply[0] = 'M';
  reply[1] = 'D';
  reply[2] = 'L';
  reply[3] = 'S';
  reply[4] = static_cast<uint8_t>(version_digit);
  if (service_build_tcp) {
    reply[5] = 'U';
    reply[6] = 'T';
    reply[7] = 'C';
  }
  std::copy(server_stamp.begin(), server_stamp.end(), reply.begin() + 16);
  return reply;
}

std::string MdlLogText(Transport transport, uint8_t client_digit) {
  std::string text = transport == Transport::kTcp ? "MDLSC" : "MDLSP";
  text += static_cast<char>(client_digit);
  return text;
}

}  // namespace mdl
