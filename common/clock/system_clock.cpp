// SystemClock on the POSIX clocks.
#include "common/clock/system_clock.h"

#include <time.h>

#include <cerrno>

#include "common/clock/zone_facts.h"

namespace mdl {

UtcTime SystemNow() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return UtcFromNs(int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec);
}

int64_t MonotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

UtcTime SystemClock::now() const { return SystemNow(); }

int64_t SystemClock::tick_ms() const { return MonotonicMs(); }

ZoneFacts SystemClock::zone() const { return ZoneFactsAt(now()); }

std::error_code SystemClock::set(UtcTime t) {
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(FloorUnixSeconds(t));
  ts.tv_nsec = static_cast<long>(NanosOfSecond(t));
  if (clock_settime(CLOCK_REALTIME, &ts) != 0) {
    return std::error_code(errno, std::generic_category());
  }
  return {};
}

}  // namespace mdl
