// -install and -uninstall through the Windows service control manager: the
// service runs this program with --home its program folder, starts with the
// system (automatic start), never interacts with the desktop, and carries
// the description; uninstalling stops it first. The program is also the
// event source of its lines, with its own message table.
#include "server/hosting/service_install.h"

#include <windows.h>

#include <thread>

#include "server/hosting/event_source_win.h"

namespace mdl::service {

namespace fs = std::filesystem;

const char* const kSupportContact = MDL_SUPPORT_CONTACT;

namespace {

std::wstring Widen(std::string_view text) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

std::string Reason(DWORD error) {
  switch (error) {
    case ERROR_ACCESS_DENIED:
      return "access denied (run it as an administrator).";
    case ERROR_SERVICE_EXISTS:
      return "the service is already installed.";
    case ERROR_SERVICE_MARKED_FOR_DELETE:
      return "the service is marked for deletion; close the service tools and try again.";
    case ERROR_SERVICE_DOES_NOT_EXIST:
      return "the service is not installed.";
    default:
      return "Windows error " + std::to_string(error) + ".";
  }
}

// A command-line word for CreateProcess's parser: quoted, inner quotes and
// the backslashes before them escaped.
std::wstring QuoteWord(const std::wstring& word) {
  std::wstring out = L"\"";
  size_t slashes = 0;
  for (wchar_t c : word) {
    if (c == L'\\') {
      ++slashes;
      continue;
    }
    out.append(c == L'"' ? slashes * 2 + 1 : slashes, L'\\');
    slashes = 0;
    out += c;
  }
  out.append(slashes * 2, L'\\');
  out += L'"';
  return out;
}

class ScHandle {
 public:
  explicit ScHandle(SC_HANDLE h) : h_(h) {}
  ~ScHandle() {
    if (h_) CloseServiceHandle(h_);
  }
  ScHandle(const ScHandle&) = delete;
  ScHandle& operator=(const ScHandle&) = delete;
  SC_HANDLE get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }

 private:
  SC_HANDLE h_;
};

SetupResult PrepareHome(const fs::path& program, const fs::path& home) {
  std::error_code ec;
  fs::create_directories(home, ec);
  if (ec || !fs::is_directory(home)) {
    return {false, "cannot create the program folder " + home.string() + ": " + ec.message() + "."};
  }
  const fs::path shipped = program.parent_path() / "QOR_MDLS4.MDL";
  const fs::path list = home / "QOR_MDLS4.MDL";
  if (!fs::exists(fs::symlink_status(list, ec)) && fs::is_regular_file(shipped, ec) &&
      !fs::equivalent(program.parent_path(), home, ec)) {
    fs::copy_file(shipped, list, fs::copy_options::skip_existing, ec);
    if (ec) return {false, "cannot copy the server list into " + home.string() + ": " + ec.message() + "."};
  }
  return {true, ""};
}

}  // namespace

std::string InstalledText(const ServiceIdentity& id) {
  return std::string("[").append(id.product).append(" installed successfully!] ");
}

std::string InstallFailedText(const ServiceIdentity& id, const std::string& why) {
  return std::string("[")
      .append(id.product)
      .append(" failed to install: ")
      .append(why)
      .append(" For support, send this message to ")
      .append(kSupportContact)
      .append(".] ");
}

std::string UninstalledText(const ServiceIdentity& id) {
  return std::string("[").append(id.product).append(" uninstalled successfully!] ");
}

std::string UninstallFailedText(const ServiceIdentity& id) {
  return std::string("[").append(id.product).append(" failed to uninstall!] ");
}

SetupResult InstallService(const ServiceIdentity& id, const fs::path& program, const fs::path& home,
                           const SystemdTarget& target) {
  (void)target;
  ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
  if (!manager) return {false, "cannot open the service manager: " + Reason(GetLastError())};
  {
    // Refused before the folder is touched, so a failure leaves nothing behind.
    const std::wstring name = Widen(id.name);
    SC_HANDLE found = OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS);
    const DWORD error = found ? ERROR_SUCCESS : GetLastError();
    ScHandle existing(found);
    if (existing) return {false, Reason(ERROR_SERVICE_EXISTS)};
    // Anything but "no such service" (no right to look, a manager going down) is a failure too.
    if (error != ERROR_SERVICE_DOES_NOT_EXIST) return {false, Reason(error)};
  }
  SetupResult home_ready = PrepareHome(program, home);
  if (!home_ready.ok) return home_ready;
  const std::wstring command = QuoteWord(program.wstring()) + L" --home " + QuoteWord(home.wstring());
  // SERVICE_WIN32_OWN_PROCESS without SERVICE_INTERACTIVE_PROCESS: no desktop.
  ScHandle service(CreateServiceW(manager.get(), Widen(id.name).c_str(), Widen(id.display_name).c_str(),
                                  SERVICE_CHANGE_CONFIG | SERVICE_QUERY_STATUS | DELETE,
                                  SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                  command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  if (!service) return {false, Reason(GetLastError())};
  std::wstring description = Widen(id.description);
  SERVICE_DESCRIPTIONW text{description.data()};
  if (!ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &text)) {
    const DWORD error = GetLastError();
    DeleteService(service.get());
    return {false, "cannot store the description: " + Reason(error)};
  }
  std::string detail = "service " + std::string(id.name) + " installed: " + fs::path(command).string() +
                       " (starts with Windows; net start " + std::string(id.name) + " starts it now)";
  // Without the source the service still runs; only the Event Viewer lacks the texts.
  const std::string source_error = AddEventSource(id.program, program);
  if (source_error.empty()) {
    detail += "; event source " + std::string(id.program) + " registered";
  } else {
    detail += "; the event source " + std::string(id.program) + " could not be registered (" + source_error +
              "): the Event Viewer shows its events without their text";
  }
  return {true, detail};
}

SetupResult UninstallService(const ServiceIdentity& id, const SystemdTarget& target) {
  (void)target;
  ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return {false, "cannot open the service manager: " + Reason(GetLastError())};
  ScHandle service(
      OpenServiceW(manager.get(), Widen(id.name).c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
  if (!service) return {false, Reason(GetLastError())};
  SERVICE_STATUS status{};
  if (QueryServiceStatus(service.get(), &status) && status.dwCurrentState != SERVICE_STOPPED) {
    ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    // Bounded: a service that does not stop is deleted all the same and
    // goes when it ends.
    for (int i = 0;
         i < 150 && QueryServiceStatus(service.get(), &status) && status.dwCurrentState != SERVICE_STOPPED;
         ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  if (!DeleteService(service.get())) return {false, Reason(GetLastError())};
  std::string detail = "service " + std::string(id.name) + " removed; settings and logs stay";
  const std::string source_error = RemoveEventSource(id.program);
  if (!source_error.empty()) {
    detail +=
        "; the event source " + std::string(id.program) + " could not be removed (" + source_error + ")";
  }
  return {true, detail};
}

}  // namespace mdl::service
