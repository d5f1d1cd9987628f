// Service-manager notices on Windows: readiness and stopping become the
// service's status (SERVICE_RUNNING, SERVICE_STOP_PENDING); the manager has
// no status text and no watchdog.
#include "server/hosting/notify.h"

#include "server/hosting/service_control_win.h"

namespace mdl::service {

bool NotifySupported() { return win::UnderServiceManager(); }

void NotifyReady() { win::ReportStatus(SERVICE_RUNNING); }

void NotifyStatus(std::string_view text) { (void)text; }

void NotifyStopping() { win::ReportStatus(SERVICE_STOP_PENDING); }

void NotifyWatchdog() {}

std::chrono::microseconds WatchdogInterval() { return std::chrono::microseconds(0); }

void WatchdogPinger::Beat() {}

}  // namespace mdl::service
