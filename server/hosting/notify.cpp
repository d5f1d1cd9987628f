// sd_notify when built with libsystemd, nothing otherwise.
#include "server/hosting/notify.h"

#include "common/clock/system_clock.h"

#include <cstdint>
#include <string>

#ifdef MDL_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace mdl::service {

namespace {

void Send([[maybe_unused]] const std::string& state) {
#ifdef MDL_HAVE_SYSTEMD
  ::sd_notify(0, state.c_str());
#endif
}

}  // namespace

bool NotifySupported() {
#ifdef MDL_HAVE_SYSTEMD
  return true;
#else
  return false;
#endif
}

void NotifyReady() { Send("READY=1"); }

void NotifyStatus(std::string_view text) {
  std::string state = "STATUS=";
  for (char c : text) state += (c == '\n' || c == '\r') ? ' ' : c;
  Send(state);
}

void NotifyStopping() { Send("STOPPING=1"); }

void NotifyWatchdog() { Send("WATCHDOG=1"); }

std::chrono::microseconds WatchdogInterval() {
#ifdef MDL_HAVE_SYSTEMD
  uint64_t usec = 0;
  if (::sd_watchdog_enabled(0, &usec) > 0) return std::chrono::microseconds(usec);
#endif
  return std::chrono::microseconds(0);
}

void WatchdogPinger::Beat() {
  if (!enabled()) return;
  const Nanoseconds now = MonotonicNow();
  if (pinged_ && now - last_ < interval_ / 4) return;
  pinged_ = true;
  last_ = now;
  NotifyWatchdog();
}

}  // namespace mdl::service
