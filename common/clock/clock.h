// The clock interface of the programs: the only place where time is read or
// set. Engines take a Clock& so that tests run on a VirtualClock.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <system_error>

#include "common/clock/timer.h"
#include "common/time/utc_time.h"

namespace mdl {

class Clock {
 public:
  virtual ~Clock() = default;
  // UTC now, with the clock's full resolution.
  virtual UtcTime now() const = 0;
  // Monotonic milliseconds; never jumps when the clock is set.
  virtual int64_t tick_ms() const = 0;
  // The same scale in nanoseconds (round trips, schedules).
  virtual Nanoseconds monotonic() const = 0;
  // A timer on this clock's monotonic scale whose calls run on `io`'s thread.
  virtual std::unique_ptr<Timer> MakeTimer(boost::asio::io_context& io) { return MakeAsioTimer(io); }
  // Zone facts for the current instant of this clock.
  virtual ZoneFacts zone() const = 0;
  // Sets the clock to `t` (UTC). Returns an error when it could not be set
  // (for example std::errc::operation_not_permitted without the privilege).
  virtual std::error_code set(UtcTime t) = 0;
  // Makes the clock run `ppm` parts per million faster than its oscillator
  // (negative: slower), replacing the correction set before. Returns an
  // error where the clock cannot be slewed.
  virtual std::error_code set_frequency(double ppm) {
    (void)ppm;
    return std::make_error_code(std::errc::operation_not_supported);
  }
  // The rate correction in force (ppm, as set_frequency takes it), whoever
  // set it; nullopt where the clock cannot tell.
  virtual std::optional<double> current_frequency() const { return std::nullopt; }
  // The time on this clock of an instant read from the system's realtime
  // clock (a kernel time stamp). The system clock is its own reading.
  virtual UtcTime from_system(UtcTime system_time) const { return system_time; }
  // Where set() was refused for want of the right to set the machine's
  // clock: keeps `t` inside the process instead (now() and from_system()
  // follow it, as a virtual clock does) until a set() succeeds. false where
  // the clock cannot hold a time of its own.
  virtual bool hold(UtcTime t) {
    (void)t;
    return false;
  }
  // Whether now() is a time held by hold() rather than the machine's.
  virtual bool held() const { return false; }
};

// Whether `ec` says that the process lacks the right to set the clock.
inline bool IsClockRightError(const std::error_code& ec) {
  return ec == std::errc::operation_not_permitted || ec == std::errc::permission_denied;
}

}  // namespace mdl
