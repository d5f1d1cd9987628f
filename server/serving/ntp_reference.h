// The reference fields of NTP replies: written by the upstream
// synchronisation, read by the NTP responder (which notes `LastMillis`).
#pragma once

#include <array>
#include <cstdint>

namespace mdl {

struct NtpReferenceState {
  uint8_t first_byte = 36;  // LI 0, version 4, mode 4
  std::array<uint8_t, 4> ref_id{};
  std::array<uint8_t, 8> ref_stamp{};
  // `LastMillis`: the millisecond of the latest reply's transmit time, over
  // either transport; -1 before the first.
  int last_millis = -1;
};

}  // namespace mdl
