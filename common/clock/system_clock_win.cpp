// SystemClock on the Windows clocks: GetSystemTimePreciseAsFileTime for UTC,
// QueryPerformanceCounter for the monotonic scale, SetSystemTime to set, the
// periodic time adjustment (clock_rate_win.h) for the rate.
#include "common/clock/system_clock.h"

#include <windows.h>

#include "common/clock/clock_rate_win.h"
#include "common/clock/zone_facts.h"

namespace mdl {
namespace {

// 100 ns intervals between 1601-01-01 and 1970-01-01.
constexpr int64_t kFileTimeUnixEpoch = 116444736000000000;

int64_t PerformanceFrequency() {
  static const int64_t frequency = [] {
    LARGE_INTEGER f{};
    QueryPerformanceFrequency(&f);
    return f.QuadPart > 0 ? f.QuadPart : 1;
  }();
  return frequency;
}

}  // namespace

int64_t SystemRealtimeNs() {
  FILETIME ft{};
  GetSystemTimePreciseAsFileTime(&ft);
  const int64_t ticks = (int64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime;
  return (ticks - kFileTimeUnixEpoch) * 100;
}

UtcTime SystemNow() { return UtcFromNs(SystemRealtimeNs()); }

Nanoseconds MonotonicNow() {
  LARGE_INTEGER c{};
  QueryPerformanceCounter(&c);
  const int64_t f = PerformanceFrequency();
  // Split so that the product cannot overflow for any uptime.
  const int64_t whole = c.QuadPart / f;
  const int64_t rest = c.QuadPart % f;
  return Nanoseconds(whole * 1000000000 + rest * 1000000000 / f);
}

int64_t MonotonicMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(MonotonicNow()).count();
}

UtcTime SystemClock::now() const { return SystemNow(); }

int64_t SystemClock::tick_ms() const { return MonotonicMs(); }

Nanoseconds SystemClock::monotonic() const { return MonotonicNow(); }

ZoneFacts SystemClock::zone() const { return ZoneFactsAt(now()); }

std::error_code SystemClock::set(UtcTime t) {
  const int64_t ticks = NsSinceUnixEpoch(t) / 100 + kFileTimeUnixEpoch;
  if (ticks < 0) return std::make_error_code(std::errc::invalid_argument);
  FILETIME ft{};
  ft.dwLowDateTime = static_cast<DWORD>(ticks & 0xffffffff);
  ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  SYSTEMTIME st{};
  if (!FileTimeToSystemTime(&ft, &st)) return std::make_error_code(std::errc::invalid_argument);
  // Held by administrators but disabled in their tokens until asked for.
  win_clock::EnableTimePrivilege();
  if (!SetSystemTime(&st)) {
    const DWORD error = GetLastError();
    if (error == ERROR_PRIVILEGE_NOT_HELD || error == ERROR_ACCESS_DENIED) {
      return std::make_error_code(std::errc::operation_not_permitted);
    }
    return std::error_code(static_cast<int>(error), std::system_category());
  }
  return {};
}

std::error_code SystemClock::set_frequency(double ppm) {
  return win_clock::SetRate(win_clock::SystemRateCalls(), ppm);
}

std::optional<double> SystemClock::current_frequency() const {
  return win_clock::ReadRate(win_clock::SystemRateCalls());
}

}  // namespace mdl
