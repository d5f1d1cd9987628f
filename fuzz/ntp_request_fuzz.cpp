// Fuzz target: any datagram through the NTP responder core. Client requests
// must give a 48-byte reply with the fixed fields; nothing may crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "server/protocols/ntp_core.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using mdl::kNtpPacketSize;
  const std::span<const uint8_t> datagram(data, size);
  const mdl::NtpRequestKind kind = mdl::ClassifyNtpRequest(datagram);
  if (size != kNtpPacketSize) {
    if (kind != mdl::NtpRequestKind::kBadLength) std::abort();
    (void)mdl::NtpErrorText(size, 0);
    return 0;
  }
  if (kind != mdl::NtpRequestKind::kClient) return 0;
  const unsigned mode = data[0] & 7u;
  if (mode != 3 && mode != 0) std::abort();  // only client modes are answered

  mdl::NtpReferenceState state;
  state.ref_id = {1, 2, 3, 4};
  const mdl::NtpStampBytes receive = {9, 9, 9, 9, 9, 9, 9, 9};
  const mdl::NtpStampBytes transmit = {7, 7, 7, 7, 7, 7, 7, 7};
  std::array<uint8_t, kNtpPacketSize> reply;
  mdl::BuildNtpReply(std::span<const uint8_t, kNtpPacketSize>(data, kNtpPacketSize), state, receive, transmit,
                     reply);
  // Leap 0 and mode 4 from the default setting, the request's version and poll.
  const unsigned version = (data[0] >> 3) & 7u;
  if (reply[0] != (version << 3 | 4u)) std::abort();
  if (reply[2] != data[2]) std::abort();
  const uint8_t fixed[12] = {36, 2, 4, 0xEF, 0, 0, 0, 0x4F, 0, 0, 2, 0xA1};
  for (size_t i = 1; i < sizeof fixed; ++i) {
    if (i != 2 && reply[i] != fixed[i]) std::abort();
  }
  // The originate field is always the request's transmit time stamp.
  for (size_t i = 0; i < 8; ++i) {
    if (reply[24 + i] != data[40 + i]) std::abort();
    if (reply[32 + i] != 9 || reply[40 + i] != 7) std::abort();
  }
  return 0;
}
