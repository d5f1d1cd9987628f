// What the status command prints of a server snapshot: the synchronisation
// (as a time daemon's tracking report shows it), then a table of the
// services' sockets and counters. Pure: the snapshot's own times only.
#pragma once

#include <string>

#include "server/core/engine_snapshot.h"

namespace mdl {

// Aligned lines for a terminal; times in UTC ISO 8601.
std::string StatusText(const EngineSnapshot& s);
// One JSON object, snake_case keys; times as ISO 8601 strings and as Unix seconds.
std::string StatusJson(const EngineSnapshot& s);

// "+1.234 ms", "-56.789 µs", "+2.500000 s": a signed step of the served time.
std::string StepText(int64_t ns);

}  // namespace mdl
