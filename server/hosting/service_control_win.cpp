// The request queue and the service status of service_control_win.h.
#include "server/hosting/service_control_win.h"

#include <condition_variable>
#include <deque>
#include <mutex>

namespace mdl::service::win {
namespace {

std::mutex g_mutex;
std::condition_variable g_changed;
std::deque<Request> g_requests;
SERVICE_STATUS_HANDLE g_handle = nullptr;
DWORD g_checkpoint = 0;

}  // namespace

void Push(Request request) {
  {
    std::lock_guard lock(g_mutex);
    // One of a kind pending counts once, as a pending signal does.
    for (Request r : g_requests) {
      if (r == request) return;
    }
    g_requests.push_back(request);
  }
  g_changed.notify_all();
}

bool Wait(Request* request, std::chrono::milliseconds limit) {
  std::unique_lock lock(g_mutex);
  const auto ready = [] { return !g_requests.empty(); };
  if (limit == std::chrono::milliseconds::max()) {
    g_changed.wait(lock, ready);
  } else if (!g_changed.wait_for(lock, limit, ready)) {
    return false;
  }
  *request = g_requests.front();
  g_requests.pop_front();
  return true;
}

void SetStatusHandle(SERVICE_STATUS_HANDLE handle) {
  std::lock_guard lock(g_mutex);
  g_handle = handle;
}

bool UnderServiceManager() {
  std::lock_guard lock(g_mutex);
  return g_handle != nullptr;
}

void ReportStatus(DWORD state, DWORD exit_code) {
  std::lock_guard lock(g_mutex);
  if (g_handle == nullptr) return;
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ||
                       state == SERVICE_PAUSE_PENDING || state == SERVICE_CONTINUE_PENDING;
  status.dwControlsAccepted =
      pending ? 0 : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN;
  if (state == SERVICE_STOPPED) status.dwControlsAccepted = 0;
  status.dwWin32ExitCode = exit_code == NO_ERROR ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
  status.dwServiceSpecificExitCode = exit_code;
  status.dwCheckPoint = pending ? ++g_checkpoint : 0;
  status.dwWaitHint = pending ? 30000 : 0;
  SetServiceStatus(g_handle, &status);
}

}  // namespace mdl::service::win
