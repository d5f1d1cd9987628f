// Slew planning.
#include "server/upstream/slew.h"

#include <algorithm>
#include <cmath>

namespace mdl {

SlewPlan PlanSlew(Nanoseconds offset, double base_ppm, double max_ppm) {
  if (offset == Nanoseconds::zero() || !std::isfinite(base_ppm) || !std::isfinite(max_ppm)) return {};
  const double sign = offset > Nanoseconds::zero() ? 1 : -1;
  // The room left in the direction of the offset: base + extra within the bound.
  const double room = std::min(max_ppm, kSlewMaxPpm) - sign * base_ppm;
  if (!(room > 0)) return {};
  const double needed = static_cast<double>(offset.count()) * sign / (room * 1e-6);
  const auto ns = static_cast<int64_t>(std::ceil(needed));
  if (ns <= 0) return {};
  // The rate that makes up the offset in whole nanoseconds of duration.
  return SlewPlan{static_cast<double>(offset.count()) / static_cast<double>(ns) * 1e6, Nanoseconds(ns)};
}

Nanoseconds Slew::Done(Nanoseconds t) const {
  if (t <= start || plan.duration <= Nanoseconds::zero()) return t <= start ? Nanoseconds(0) : offset;
  if (t >= end()) return offset;
  const double part = static_cast<double>((t - start).count()) / static_cast<double>(plan.duration.count());
  return Nanoseconds(std::llround(static_cast<double>(offset.count()) * part));
}

Slew StartSlew(Nanoseconds offset, double base_ppm, Nanoseconds now, double max_ppm) {
  return Slew{offset, base_ppm, PlanSlew(offset, base_ppm, max_ppm), now};
}

}  // namespace mdl
