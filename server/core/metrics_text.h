// The metrics of a snapshot in the Prometheus text exposition format
// (version 0.0.4): what the metrics endpoint serves.
#pragma once

#include <string>
#include <string_view>

#include "server/core/engine_snapshot.h"

namespace mdl {

// Every family with its "# HELP" and "# TYPE" lines, then its samples. Times
// are on the engine clock; "now" is the snapshot's taken_at. Families of the
// upstream (last synchronisation, upstream stratum and name) are left out
// before the first good synchronisation.
std::string MetricsText(const EngineSnapshot& snapshot, std::string_view version);

// A label value as the format writes it between double quotes: backslash,
// double quote and line feed escaped.
std::string EscapeLabelValue(std::string_view value);

// A sample value: integers as such, others in the shortest form that reads
// back the same ("NaN", "+Inf", "-Inf" where they occur).
std::string SampleValue(double value);

}  // namespace mdl
