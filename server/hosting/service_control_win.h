// Windows: what the service control manager and the console ask of the
// running program (stop, pause, continue), queued for RunSignalLoop, and the
// status reported back to the manager while running as a service.
#pragma once

#include <windows.h>

#include <chrono>

namespace mdl::service::win {

enum class Request { kInterrupt, kStop, kPause, kContinue };

void Push(Request request);
// The next request, false after `limit`.
bool Wait(Request* request, std::chrono::milliseconds limit);

// Set by ServiceMain; until then (and in the foreground) reports do nothing.
void SetStatusHandle(SERVICE_STATUS_HANDLE handle);
bool UnderServiceManager();
void ReportStatus(DWORD state, DWORD exit_code = NO_ERROR);

}  // namespace mdl::service::win
