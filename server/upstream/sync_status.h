// What the status command and the metrics show of the upstream
// synchronisation: facts of the last exchanges, no texts.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/time/utc_time.h"

namespace mdl {

struct SyncStatus {
  // Times on the engine clock.
  std::optional<UtcTime> first_sync;  // the first good synchronisation of this run
  std::optional<UtcTime> last_sync;   // the latest good one
  std::optional<UtcTime> last_failure;
  uint64_t syncs = 0;     // good synchronisations since the start
  uint64_t failures = 0;  // attempts that ended without setting the clock
  std::string last_failure_text;
  // The upstream of the latest good synchronisation.
  std::string upstream_name;     // as the server list names it
  std::string upstream_address;  // "192.0.2.1" or "2001:db8::1"
  int upstream_stratum = 0;      // the upstream's own (0 before the first)
  std::array<uint8_t, 4> upstream_ref_id{};
  int64_t last_path_delay_ns = 0;  // round trip less the upstream's hold, of the exchange used
  // The last synchronisation's upstreams (UpstreamsPerSync): asked,
  // answered, and agreeing in the intersection; the others that answered,
  // as "name (+500.1 ms)".
  int upstreams_asked = 0;
  int upstreams_answered = 0;
  int upstreams_agreed = 0;
  std::vector<std::string> falsetickers;
  // The time is held in the process (the machine's clock could not be set).
  bool held = false;
  // How the clock was corrected: stepped, or slewed (its rate changed until
  // the offset was made up).
  enum class CorrectionKind { kNone, kStep, kSlew };
  CorrectionKind last_correction = CorrectionKind::kNone;
  int64_t last_correction_ns = 0;  // upstream minus ours at the measurement
  int64_t slew_duration_ns = 0;    // of the last slew as planned
  uint64_t steps = 0;
  uint64_t slews = 0;
  // While a slew runs: `slew_left_ns` was left at `slew_from`, and all is
  // made up at `slew_end` (engine clock).
  std::optional<UtcTime> slew_from;
  std::optional<UtcTime> slew_end;
  int64_t slew_left_ns = 0;
  // NTS: the upstream of the latest good synchronisation was authenticated
  // by NTS, with this many cookies in hand then.
  bool upstream_nts = false;
  int nts_cookies = 0;
  uint64_t nts_ke_exchanges = 0;  // key exchanges that gave keys and cookies
  uint64_t nts_ke_failures = 0;
  std::string nts_ke_error;        // "host: reason" of the last failed key exchange
  uint64_t nts_auth_failures = 0;  // replies that did not authenticate, never used
  uint64_t nts_naks = 0;           // NAKs (cookies refused) received
};

// What a running slew has left to make up at `t` (zero when none runs).
inline Nanoseconds SlewRemainingAt(const SyncStatus& s, UtcTime t) {
  if (!s.slew_from || !s.slew_end || t >= *s.slew_end) return Nanoseconds(0);
  if (t <= *s.slew_from) return Nanoseconds(s.slew_left_ns);
  const double part = static_cast<double>((*s.slew_end - t).count()) /
                      static_cast<double>((*s.slew_end - *s.slew_from).count());
  return Nanoseconds(static_cast<int64_t>(static_cast<double>(s.slew_left_ns) * part));
}

// Reference id as text: four printable ASCII characters (a stratum 1
// upstream's source, "GPS"), else dotted like an IPv4 address.
std::string RefIdText(const std::array<uint8_t, 4>& id, int stratum);

}  // namespace mdl
