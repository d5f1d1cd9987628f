// Readiness, status and stopping notices to the service manager (sd_notify
// when built with libsystemd; without it, or when not started by systemd,
// they do nothing).
#pragma once

#include <chrono>
#include <string_view>

namespace mdl::service {

// Whether this build sends the notices at all.
bool NotifySupported();

void NotifyReady();                        // READY=1
void NotifyStatus(std::string_view text);  // STATUS=<text> (one line; newlines become blanks)
void NotifyStopping();                     // STOPPING=1
void NotifyWatchdog();                     // WATCHDOG=1

// The watchdog interval the service manager set for this process
// (WATCHDOG_USEC, and WATCHDOG_PID when given); zero when there is none.
std::chrono::microseconds WatchdogInterval();

// Pings the watchdog from the loop that must stay alive: Beat() on each turn
// of that loop sends WATCHDOG=1 when a quarter of the interval has passed
// since the last ping. Use from one thread.
class WatchdogPinger {
 public:
  WatchdogPinger() : interval_(WatchdogInterval()) {}
  bool enabled() const { return interval_.count() > 0; }
  std::chrono::microseconds interval() const { return interval_; }
  void Beat();

 private:
  std::chrono::microseconds interval_;
  std::chrono::nanoseconds last_{0};  // monotonic
  bool pinged_ = false;
};

}  // namespace mdl::service
