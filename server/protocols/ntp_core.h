// NTP/SNTP responder core: classifies a request and builds the 48-byte reply.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "server/serving/ntp_reference.h"

namespace mdl {

inline constexpr size_t kNtpPacketSize = 48;

// Log text of an answered request.
inline constexpr std::string_view kNtpRequestLogText = "48 Bytes NTP...";

enum class NtpRequestKind {
  kClient,         // answer it
  kBadLength,      // not exactly 48 bytes: log as error, no reply
  kNotClientMode,  // server, broadcast, control, ...: log as error, no reply
};

// Only client requests are answered: mode 3 of versions 1 to 4, and mode 0
// of version 1 (old clients). Answering other modes would let one forged
// server-mode datagram start an endless exchange between two servers.
NtpRequestKind ClassifyNtpRequest(std::span<const uint8_t> datagram);

using NtpStampBytes = std::array<uint8_t, 8>;

// The first byte of a reply: leap indicator and version from the setting,
// mode always 4 (server), so that no reply of ours is ever taken for a
// request by a server (ours or another) and answered.
uint8_t NtpReplyFirstByte(uint8_t setting);
// The first byte of a reply to a request whose first byte is
// `request_first_byte`: the setting's leap bits (3 when `unsynchronised`),
// the request's version (1 to 4; 4 for anything else), mode 4.
uint8_t NtpReplyFirstByte(uint8_t setting, uint8_t request_first_byte, bool unsynchronised);

// Writes bytes 0..39 of the reply: header (first byte NtpReplyFirstByte,
// the request's version and poll, stratum 16 when unsynchronised), the
// reference fields of `state`, originate (always the request's transmit stamp, bytes
// 40..47: clients match it against what they sent) and the receive stamp.
// `request` and `out` may be the same buffer.
void BuildNtpReplyHead(std::span<const uint8_t, kNtpPacketSize> request, const NtpReferenceState& state,
                       const NtpStampBytes& receive, std::span<uint8_t, kNtpPacketSize> out);

// Writes the transmit stamp into bytes 40..47, as late as the caller likes.
void PatchTransmit(const NtpStampBytes& transmit, std::span<uint8_t, kNtpPacketSize> out);

// The whole reply in one step.
void BuildNtpReply(std::span<const uint8_t, kNtpPacketSize> request, const NtpReferenceState& state,
                   const NtpStampBytes& receive, const NtpStampBytes& transmit,
                   std::span<uint8_t, kNtpPacketSize> out);

// Whether a Kiss-o'-Death may answer `request`: its transmit stamp, which the
// KoD's origin echoes, is not zero (a client could not match a reply to it).
bool NtpKissAllowed(std::span<const uint8_t, kNtpPacketSize> request);

// The KoD RATE reply to a client request, in 48 bytes: leap 3, the request's
// version (4 for one out of range), mode 4, stratum 0, poll the larger of the
// request's and `min_poll`, our precision, root delay and dispersion 0,
// reference id "RATE", reference stamp 0, and the request's transmit stamp as
// origin, receive and transmit stamps: the client can match it, but can take
// no time from it. `request` and `out` may be the same buffer.
void BuildNtpKissRate(std::span<const uint8_t, kNtpPacketSize> request, int8_t min_poll,
                      std::span<uint8_t, kNtpPacketSize> out);

// Log text of a rejected datagram: "<bytes> Bytes NTP ERROR: <error number>".
std::string NtpErrorText(size_t bytes_total, int error_number);

}  // namespace mdl
