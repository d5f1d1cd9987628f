// -install, -uninstall, -pause, -continue on Windows: through the service
// control manager; pause and continue are its controls to the service.
#include "server/hosting/service_setup.h"

#include <windows.h>

#include <string>
#include <vector>

#include "server/hosting/event_log.h"
#include "server/hosting/service_install.h"

namespace mdl::service {

namespace fs = std::filesystem;

namespace {

fs::path ProgramPath() {
  std::vector<wchar_t> buf(MAX_PATH);
  for (int attempt = 0; attempt < 4; ++attempt) {
    const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return {};
    if (n < buf.size()) return fs::path(std::wstring(buf.data(), n));
    buf.resize(buf.size() * 4);
  }
  return {};
}

std::wstring Widen(std::string_view text) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

// SERVICE_CONTROL_PAUSE or SERVICE_CONTROL_CONTINUE to the installed service.
std::string SendControl(const ServiceIdentity& id, DWORD control) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager)
    return "cannot open the service manager (Windows error " + std::to_string(GetLastError()) + ")";
  SC_HANDLE service = OpenServiceW(manager, Widen(id.name).c_str(), SERVICE_PAUSE_CONTINUE);
  std::string error;
  if (!service) {
    error = "the service " + std::string(id.name) + " is not installed or not accessible (Windows error " +
            std::to_string(GetLastError()) + ")";
  } else {
    SERVICE_STATUS status{};
    if (!ControlService(service, control, &status)) {
      const DWORD e = GetLastError();
      error = e == ERROR_SERVICE_NOT_ACTIVE
                  ? "the service " + std::string(id.name) + " is not running"
                  : "the service refused the control (Windows error " + std::to_string(e) + ")";
    }
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  return error;
}

}  // namespace

bool IsSetupSwitch(std::string_view s) {
  return s == "-install" || s == "-uninstall" || s == "-pause" || s == "-continue";
}

int RunSetupSwitch(const ServiceIdentity& id, std::string_view first_switch, const fs::path& home) {
  EventLog log(std::string(id.program), EventLogOptions{stderr, false, true});
  std::error_code ec;
  const fs::path absolute_home = fs::absolute(home, ec).lexically_normal();

  if (first_switch == "-pause" || first_switch == "-continue") {
    const bool pause = first_switch == "-pause";
    const std::string error = SendControl(id, pause ? SERVICE_CONTROL_PAUSE : SERVICE_CONTROL_CONTINUE);
    if (error.empty()) {
      log.Notice(std::string(pause ? "pause" : "continue") + " sent to the service " + std::string(id.name));
      return 0;
    }
    log.Error(std::string(first_switch) + ": " + error);
    return 1;
  }

  if (first_switch == "-install") {
    const fs::path program = ProgramPath();
    if (program.empty()) {
      log.Entry(EventLevel::kError, InstallFailedText(id, "this program's own path cannot be read."));
      return 1;
    }
    const SetupResult r = InstallService(id, program, absolute_home, SystemdTarget{});
    if (!r.ok) {
      log.Entry(EventLevel::kError, InstallFailedText(id, r.detail));
      return 1;
    }
    log.Entry(EventLevel::kNotice, InstalledText(id));
    log.Info(r.detail);
    return 0;
  }
  const SetupResult r = UninstallService(id, SystemdTarget{});
  if (!r.ok) {
    log.Entry(EventLevel::kError, UninstallFailedText(id));
    log.Error(r.detail);
    return 1;
  }
  log.Entry(EventLevel::kNotice, UninstalledText(id));
  log.Info(r.detail);
  return 0;
}

}  // namespace mdl::service
