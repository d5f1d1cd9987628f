#include "common/clock/fallback_clock.h"

namespace mdl {

std::error_code FallbackClock::set(UtcTime t) {
  const std::error_code ec = machine_.set(t);
  if (!ec) {
    held_ = false;
    offset_ = Nanoseconds{0};
  }
  return ec;
}

bool FallbackClock::hold(UtcTime t) {
  held_ = true;
  offset_ = t - machine_.now();
  return true;
}

}  // namespace mdl
