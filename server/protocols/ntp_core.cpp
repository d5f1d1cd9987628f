// NTP/SNTP responder core: classification and reply layout.
#include "server/protocols/ntp_core.h"

#include <algorithm>

namespace mdl {
namespace {

constexpr uint8_t kPrecision = 0xEF;  // 2^-17 s
constexpr uint8_t kUnsynchronisedStratum = 16;

}  // namespace

uint8_t NtpReplyFirstByte(uint8_t setting) {
  // Anything but a server reply (mode 4) could be taken for a request.
  return static_cast<uint8_t>((setting & 0xF8u) | 4u);
}

uint8_t NtpReplyFirstByte(uint8_t setting, uint8_t request_first_byte, bool unsynchronised) {
  const unsigned leap = unsynchronised ? 3u : (setting >> 6) & 3u;
  unsigned version = (request_first_byte >> 3) & 7u;
  if (version < 1 || version > 4) version = 4;
  return static_cast<uint8_t>(leap << 6 | version << 3 | 4u);
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

  // The client's version and poll come back as RFC 5905 servers give them.
  const uint8_t poll = request[2];
  out[0] = NtpReplyFirstByte(state.first_byte, request[0], state.unsynchronised);
  out[1] = state.unsynchronised ? kUnsynchronisedStratum : state.stratum;
  out[2] = poll;
  out[3] = kPrecision;
  std::copy(state.root_delay.begin(), state.root_delay.end(), out.begin() + 4);
  std::copy(state.root_dispersion.begin(), state.root_dispersion.end(), out.begin() + 8);
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

bool NtpKissAllowed(std::span<const uint8_t, kNtpPacketSize> request) {
  return std::any_of(request.begin() + 40, request.end(), [](uint8_t b) { return b != 0; });
}

void BuildNtpKissRate(std::span<const uint8_t, kNtpPacketSize> request, int8_t min_poll,
                      std::span<uint8_t, kNtpPacketSize> out) {
  NtpStampBytes stamp;
  std::copy_n(request.begin() + 40, 8, stamp.begin());
  const uint8_t first = NtpReplyFirstByte(0xC0, request[0], /*unsynchronised=*/true);
  const int8_t poll = std::max(static_cast<int8_t>(request[2]), min_poll);
  std::fill(out.begin(), out.end(), uint8_t{0});
  out[0] = first;
  out[1] = 0;  // stratum 0: a kiss code in the reference id
  out[2] = static_cast<uint8_t>(poll);
  out[3] = kPrecision;
  constexpr std::array<uint8_t, 4> kRate = {'R', 'A', 'T', 'E'};
  std::copy(kRate.begin(), kRate.end(), out.begin() + 12);
  for (size_t at : {size_t{24}, size_t{32}, size_t{40}})
    std::copy(stamp.begin(), stamp.end(), out.begin() + at);
}

std::string NtpErrorText(size_t bytes_total, int error_number) {
  std::string text = std::to_string(bytes_total);
  text += " Bytes NTP ERROR: ";
  text += std::to_string(error_number);
  return text;
}

}  // namespace mdl
