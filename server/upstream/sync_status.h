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
};

// Reference id as text: four printable ASCII characters (a stratum 1
// upstream's source, "GPS"), else dotted like an IPv4 address.
std::string RefIdText(const std::array<uint8_t, 4>& id, int stratum);

}  // namespace mdl
