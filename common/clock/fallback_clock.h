// The machine's clock, or the time it should show when it may not be set:
// after hold(t) the clock serves t (moving on with the machine's clock) and
// leaves the machine's alone until a set() succeeds again.
#pragma once

#include "common/clock/clock.h"
#include "common/clock/zone_facts.h"

namespace mdl {

class FallbackClock : public Clock {
 public:
  explicit FallbackClock(Clock& machine) : machine_(machine) {}

  UtcTime now() const override { return machine_.now() + offset_; }
  int64_t tick_ms() const override { return machine_.tick_ms(); }
  Nanoseconds monotonic() const override { return machine_.monotonic(); }
  std::unique_ptr<Timer> MakeTimer(boost::asio::io_context& io) override { return machine_.MakeTimer(io); }
  ZoneFacts zone() const override { return held_ ? ZoneFactsAt(now()) : machine_.zone(); }
  // Sets the machine's clock; on success the held time is given up.
  std::error_code set(UtcTime t) override;
  // The rate is the machine's: a held time has none of its own.
  std::error_code set_frequency(double ppm) override { return machine_.set_frequency(ppm); }
  std::optional<double> current_frequency() const override { return machine_.current_frequency(); }
  UtcTime from_system(UtcTime system_time) const override {
    return machine_.from_system(system_time) + offset_;
  }
  bool hold(UtcTime t) override;
  bool held() const override { return held_; }

 private:
  Clock& machine_;
  bool held_ = false;
  Nanoseconds offset_{0};  // held time minus the machine's
};

}  // namespace mdl
