// The machine's clock: CLOCK_REALTIME, CLOCK_MONOTONIC and the system zone.
#pragma once

#include "common/clock/clock.h"

namespace mdl {

// CLOCK_REALTIME now, with full resolution.
UtcTime SystemNow();
// CLOCK_REALTIME now in nanoseconds since 1970: the scale of kernel time stamps.
int64_t SystemRealtimeNs();
// CLOCK_MONOTONIC.
Nanoseconds MonotonicNow();
// CLOCK_MONOTONIC in whole milliseconds.
int64_t MonotonicMs();

class SystemClock : public Clock {
 public:
  UtcTime now() const override;
  int64_t tick_ms() const override;
  Nanoseconds monotonic() const override;
  ZoneFacts zone() const override;  // ZoneFactsAt(now())
  // clock_settime(CLOCK_REALTIME); needs CAP_SYS_TIME, else
  // std::errc::operation_not_permitted.
  std::error_code set(UtcTime t) override;
  // adjtimex(ADJ_FREQUENCY); needs CAP_SYS_TIME. Windows: the periodic time
  // adjustment, with SeSystemtimePrivilege; refused while W32Time runs.
  std::error_code set_frequency(double ppm) override;
  // adjtimex read-only (modes 0): allowed without the privilege. Windows:
  // nullopt while the adjustment is disabled.
  std::optional<double> current_frequency() const override;
};

}  // namespace mdl
