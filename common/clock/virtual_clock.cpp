// VirtualClock.
#include "common/clock/virtual_clock.h"

#include "common/clock/system_clock.h"
#include "common/clock/zone_facts.h"

namespace mdl {

VirtualClock::VirtualClock(UtcTime start) : frozen_(true), frozen_base_(start) {}

UtcTime VirtualClock::Base() const { return frozen_ ? frozen_base_ : SystemNow(); }

UtcTime VirtualClock::now() const { return Base() + offset_; }

UtcTime VirtualClock::from_system(UtcTime system_time) const {
  return frozen_ ? now() : system_time + offset_;
}

int64_t VirtualClock::tick_ms() const {
  if (!frozen_) return MonotonicMs();
  return std::chrono::duration_cast<std::chrono::milliseconds>(frozen_ticks_).count();
}

ZoneFacts VirtualClock::zone() const { return zone_ ? *zone_ : ZoneFactsAt(now()); }

std::error_code VirtualClock::set(UtcTime t) {
  offset_ = t - Base();
  ++set_count_;
  return {};
}

void VirtualClock::advance(Nanoseconds d) {
  if (!frozen_) {
    offset_ += d;
    return;
  }
  frozen_base_ += d;
  if (d > Nanoseconds::zero()) frozen_ticks_ += d;
}

}  // namespace mdl
