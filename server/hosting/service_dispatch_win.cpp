// The service's entry from the Windows service control manager: the
// dispatcher runs on the main thread, ServiceMain on the manager's thread
// runs the body, and the control handler turns stop, shut-down, pause and
// continue into requests for RunSignalLoop. Started from a console instead,
// the dispatcher fails at once and the body runs in the foreground.
#include "server/hosting/service_dispatch.h"

#include <string>

#include "server/hosting/service_control_win.h"

namespace mdl::service {
namespace {

const std::function<int()>* g_body = nullptr;
std::wstring g_name;
int g_status = 0;

DWORD WINAPI OnControl(DWORD control, DWORD, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      win::ReportStatus(SERVICE_STOP_PENDING);
      win::Push(win::Request::kStop);
      return NO_ERROR;
    case SERVICE_CONTROL_PAUSE:
      win::ReportStatus(SERVICE_PAUSE_PENDING);
      win::Push(win::Request::kPause);
      return NO_ERROR;
    case SERVICE_CONTROL_CONTINUE:
      win::ReportStatus(SERVICE_CONTINUE_PENDING);
      win::Push(win::Request::kContinue);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI ServiceMain(DWORD, wchar_t**) {
  const SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerExW(g_name.c_str(), OnControl, nullptr);
  if (handle == nullptr) return;
  win::SetStatusHandle(handle);
  win::ReportStatus(SERVICE_START_PENDING);
  g_status = (*g_body)();
  win::ReportStatus(SERVICE_STOPPED, static_cast<DWORD>(g_status));
}

}  // namespace

int RunAsService(const ServiceIdentity& id, bool foreground, const std::function<int()>& body) {
  // The dispatcher may take long to give up where no manager waits for it.
  if (foreground) return body();
  g_body = &body;
  g_name.assign(id.name.begin(), id.name.end());
  SERVICE_TABLE_ENTRYW table[] = {{g_name.data(), ServiceMain}, {nullptr, nullptr}};
  if (StartServiceCtrlDispatcherW(table)) return g_status;
  // ERROR_FAILED_SERVICE_CONTROLLER_CONNECT: not started by the manager.
  return body();
}

}  // namespace mdl::service
