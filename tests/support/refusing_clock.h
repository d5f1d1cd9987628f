// The machine's clock as a process without the right to set it sees it:
// every set() refused until `allowed`; the rest is the wrapped test clock's.
#pragma once

#include "common/clock/virtual_clock.h"

namespace mdl::testing {

class RefusingClock : public Clock {
 public:
  explicit RefusingClock(VirtualClock& clock) : clock_(clock) {}
  UtcTime now() const override { return clock_.now(); }
  int64_t tick_ms() const override { return clock_.tick_ms(); }
  Nanoseconds monotonic() const override { return clock_.monotonic(); }
  std::unique_ptr<Timer> MakeTimer(boost::asio::io_context& io) override { return clock_.MakeTimer(io); }
  ZoneFacts zone() const override { return clock_.zone(); }
  UtcTime from_system(UtcTime system_time) const override { return clock_.from_system(system_time); }
  std::error_code set(UtcTime t) override {
    ++attempts;
    if (!allowed) return std::make_error_code(std::errc::operation_not_permitted);
    return clock_.set(t);
  }
  bool allowed = false;
  int attempts = 0;

 private:
  VirtualClock& clock_;
};

}  // namespace mdl::testing
