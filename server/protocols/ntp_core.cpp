// NTP/SNTP responder core: classification and reply layout.
#include "server/protocols/ntp_core.h"

#include <algorithm>

namespace mdl {
namespace {

constexpr uint8_t kStratum = 2;
constexpr uint8_t kPoll = 4;
constexpr uint8_t kPrecision = 0xEF;  // 2^-17 s
constexpr std::array<uint8_t, 4> kRootDelay = {0x00, 0x00, 0x00, 0x4F};
constexpr std::array<uint8_t, 4> kRootDispersion = {0x00, 0x00, 0x02, 0xA1};

}  // namespace

uint8_t NtpReplyFirstByte(uint8_t setting) {
  // Anything but a server reply (mode 4) could be taken for a request.
  return static_cast<uint8_t>((setting & 0xF8u) | 4u);
}

NtpRequestKind ClassifyNtpRequest(std::span<const uint8_t> datagram) {
  if (datagram.size() != kNtpPacketSize) return NtpRequestKind::kBadLength;
  const unsigned mode = datagram[0] & 0x07u;
  const unsigned version = (datagram[0] >> 3) & 0x07u;
  if (mode == 3 && version >= 1 && version <= 4) return NtpRequestKind::kClient;
  if (mode == 0 && version == 1) return NtpRequestKind::kClient;
  return NtpRequestKind::kNotClientMode;
}

void BuildNtpReplyHead(std::span<const uint8_t, kNtpPacketSize> request, const NtpReferenceState& state,
                       const NtpStampBytes& receive, std::span<uint8_t, kNtpPacketSize> out) {
  // Read the client's transmit stamp first so that `out` may alias `request`.
  NtpStampBytes originate;
  std::copy_n(request.begin() + 40, 8, originate.begin());

  out[0] = NtpReplyFirstByte(state.first_byte);
  out[1] = kStratum;
  out[2] = kPoll;
  out[3] = kPrecision;
  std::copy(kRootDelay.begin(), kRootDelay.end(), out.begin() + 4);
  std::copy(kRootDispersion.begin(), kRootDispersion.end(), out.begin() + 8);
  std::copy(state.ref_id.begin(), state.ref_id.end(), out.begin() + 12);
  std::copy(state.ref_stamp.begin(), state.ref_stamp.end(), out.begin() + 16);
  std::copy(originate.begin(), originate.end(), out.begin() + 24);
  std::copy(receive.begin(), receive.end(), out.begin() + 32);
}

void PatchTransmit(const NtpStampBytes& transmit, std::span<uint8_t, kNtpPacketSize> out) {
  std::copy(transmit.begin(), transmit.end(), out.begin() + 40);
}

void BuildNtpReply(std::span<const uint8_t, kNtpPacketSize> request, const NtpReferenceState& state,
                   const NtpStampBytes& receive, const NtpStampBytes& transmit,
                   std::span<uint8_t, kNtpPacketSize> out) {
  BuildNtpReplyHead(request, state, receive, out);
  PatchTransmit(transmit, out);
}

std::string NtpErrorText(size_t bytes_total, int error_number) {
  std::string text = std::to_string(bytes_total);
  text += " Bytes NTP ERROR: ";
  text += std::to_string(error_number);
  return text;
}

}  // namespace mdl
