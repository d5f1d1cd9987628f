// Slewing a small correction: rather than stepping, the clock runs faster or
// slower (on top of the frequency correction) until the offset is made up,
// so the time served neither jumps nor goes back.
#pragma once

#include <chrono>

#include "common/time/utc_time.h"

namespace mdl {

// The most a clock's rate may be corrected either way: the kernel's limit.
inline constexpr double kSlewMaxPpm = 500;

struct SlewPlan {
  double ppm = 0;  // on top of the base rate
  Nanoseconds duration{0};
};

// How to make up `offset` (upstream minus ours; positive: the clock must
// gain) on a clock running at `base_ppm`: the extra rate and how long it
// runs, base plus extra staying within ±max_ppm. A zero duration when there
// is nothing to make up or no room to make it up in.
SlewPlan PlanSlew(Nanoseconds offset, double base_ppm, double max_ppm = kSlewMaxPpm);

// A slew under way since monotonic `start`, at `plan.ppm` above `base_ppm`.
struct Slew {
  Nanoseconds offset{0};
  double base_ppm = 0;
  SlewPlan plan;
  Nanoseconds start{0};

  Nanoseconds end() const { return start + plan.duration; }
  // What was made up by monotonic `t` (the rate is constant: linear in time).
  Nanoseconds Done(Nanoseconds t) const;
  Nanoseconds Remaining(Nanoseconds t) const { return offset - Done(t); }
  bool Running(Nanoseconds t) const { return t < end(); }
};

// A slew of `offset` from monotonic `now` on a clock running at `base_ppm`.
Slew StartSlew(Nanoseconds offset, double base_ppm, Nanoseconds now, double max_ppm = kSlewMaxPpm);

}  // namespace mdl
