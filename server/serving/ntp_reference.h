// The reference fields of NTP replies: written by the upstream
// synchronisation, read by the NTP responder (which notes `LastMillis`).
#pragma once

#include <array>
#include <cstdint>

namespace mdl {

struct NtpReferenceState {
  uint8_t first_byte = 36;  // LI 0, version 4, mode 4; only the leap bits reach a reply
  // What the replies tell of our own state, refreshed after each
  // synchronisation and once a second (the dispersion grows with the time
  // since the last one).
  uint8_t stratum = 2;
  bool unsynchronised = false;  // leap 3 and stratum 16: the last synchronisation is too old
  std::array<uint8_t, 4> root_delay = {0x00, 0x00, 0x00, 0x4F};
  std::array<uint8_t, 4> root_dispersion = {0x00, 0x00, 0x02, 0xA1};
  std::array<uint8_t, 4> ref_id{};
  std::array<uint8_t, 8> ref_stamp{};
  // `LastMillis`: the millisecond of the latest reply's transmit time, over
  // either transport; -1 before the first.
  int last_millis = -1;
};

}  // namespace mdl
