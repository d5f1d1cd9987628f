// The synchronisation's part of the stored "Settings" value, as the settings
// module reads and writes it and the synchronisation applies and reports it.
#pragma once

#include <optional>
#include <string>

namespace mdl {

// NTP reply first byte when the stored one is missing or unusable: LI 0, VN 4, mode 4.
inline constexpr int kDefaultNtpFirstByte = 36;

struct SyncSettings {
  bool random = false;                    // a random server of the region at each synchronisation
  std::optional<std::string> count_text;  // the interval's count, only when numeric, as stored
  std::string unit_text;
  std::string region = "NA";  // blanks trimmed, "NA" when empty
  // The integer part of the stored field when it is a number from 0 to 255, else 36.
  int ntp_first_byte = kDefaultNtpFirstByte;
  // The stored field when it was not such a number: written back unchanged.
  std::optional<std::string> ntp_first_byte_text;
  bool operator==(const SyncSettings&) const = default;
};

}  // namespace mdl
