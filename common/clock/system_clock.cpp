// SystemClock on the POSIX clocks.
#include "common/clock/system_clock.h"

#include <sys/timex.h>

#include <cmath>

#include <time.h>

#include <cerrno>

#include "common/clock/zone_facts.h"

namespace mdl {

int64_t SystemRealtimeNs() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

UtcTime SystemNow() { return UtcFromNs(SystemRealtimeNs()); }

Nanoseconds MonotonicNow() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return Nanoseconds(int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec);
}

int64_t MonotonicMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(MonotonicNow()).count();
}

UtcTime SystemClock::now() const { return SystemNow(); }

int64_t SystemClock::tick_ms() const { return MonotonicMs(); }

Nanoseconds SystemClock::monotonic() const { return MonotonicNow(); }

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

std::error_code SystemClock::set_frequency(double ppm) {
  timex tx{};
  tx.modes = ADJ_FREQUENCY;
  // Parts per million with a 16-bit binary fraction.
  tx.freq = std::lround(ppm * 65536.0);
  if (::adjtimex(&tx) < 0) return std::error_code(errno, std::generic_category());
  return {};
}

std::optional<double> SystemClock::current_frequency() const {
  timex tx{};
  tx.modes = 0;
  if (::adjtimex(&tx) < 0) return std::nullopt;
  return static_cast<double>(tx.freq) / 65536.0;
}

}  // namespace mdl
