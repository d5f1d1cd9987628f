// QOR_MDL_Server.exe: the desktop server on Windows, a window and a tray
// icon over the engine.
#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <string>
#include <system_error>
#include <vector>

#include "apps/command_line.h"
#include "common/files/executable_path.h"
#include "desktop/win32/common/wide.h"
#include "desktop/win32/server/desktop_server.h"
#include "server/hosting/instance_lock.h"
#include "server/hosting/unit_file.h"
#include "version.h"

namespace {

constexpr const char* kUsage =
    "Usage: QOR_MDL_Server [-rs] [--home DIR] [--registry FILE] [--virtual-clock] [--help] [--version]\n"
    "The Meridel time server with a window and a tray icon: it takes the time from an upstream NTP\n"
    "server, sets this machine's clock and serves it over TCP and UDP on Daytime 13, Time 37,\n"
    "NTP 123, UnixTime 519 and the Meridel protocol 3777.\n"
    "  -rs               start in the tray (the window is hidden)\n"
    "  --home DIR        program folder: QOR_MDLS4.MDL, Logs/ (default: the program's folder)\n"
    "  --registry FILE   settings file (default: the Windows registry)\n"
    "  --virtual-clock   never set the machine's clock; serve the upstream's time held inside the process\n"
    "Settings: the registry key HKEY_LOCAL_MACHINE\\Software\\Meridel Server.\n"
    "More: the README's sections \"Settings\" and \"Windows\".\n";

// A program without a console: the text goes to stderr when there is one, else to a message box.
void Tell(const std::string& text, bool error) {
  HANDLE out = GetStdHandle(error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  if (out && out != INVALID_HANDLE_VALUE) {
    std::fputs(text.c_str(), error ? stderr : stdout);
    return;
  }
  MessageBoxW(nullptr, mdl::win32::Widen(text).c_str(), L"Meridel Server",
              error ? MB_ICONEXCLAMATION | MB_OK : MB_ICONINFORMATION | MB_OK);
}

std::vector<std::string> Arguments() {
  std::vector<std::string> args;
  int count = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
  for (int i = 1; argv && i < count; ++i) args.push_back(mdl::win32::Narrow(argv[i]));
  if (argv) LocalFree(argv);
  return args;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  const mdl::CommandLine cl = mdl::ParseCommandLine(Arguments(), {"-rs"});
  if (!cl.error.empty()) {
    Tell("QOR_MDL_Server: " + cl.error + "\n" + kUsage, true);
    return 2;
  }
  if (cl.help) {
    Tell(kUsage, false);
    return 0;
  }
  if (cl.version) {
    Tell("QOR_MDL_Server " + std::string(mdl::kVersion) + "\n", false);
    return 0;
  }

  std::error_code ec;
  const std::filesystem::path folder = mdl::files::ExecutableFolder();
  std::filesystem::path home = cl.home.empty() ? folder : cl.home;
  std::filesystem::create_directories(home, ec);
  home = std::filesystem::absolute(home, ec);
  // One server per program folder (the service included); a second copy ends at once, silently.
  auto lock = mdl::service::InstanceLock::TryAcquire(home / mdl::service::kServerService.lock_name);
  if (lock.state() == mdl::service::InstanceLock::State::kHeldElsewhere) return 0;
  if (!lock.held()) {
    Tell("QOR_MDL_Server: " + lock.error() + "\n", true);
    return 1;
  }

  mdl::win32::DesktopServerOptions options;
  options.home = home;
  options.registry = cl.registry.empty() ? cl.registry : std::filesystem::absolute(cl.registry, ec);
  options.virtual_clock = cl.virtual_clock;
  options.run_from_tray = cl.first_switch == "-rs";
  options.program = mdl::files::ExecutablePath();
  // Started with Windows, the program finds the same folder and store.
  if (!cl.home.empty() && !std::filesystem::equivalent(home, folder, ec)) {
    options.run_arguments = {"--home", home.string()};
  }
  if (!options.registry.empty()) {
    options.run_arguments.push_back("--registry");
    options.run_arguments.push_back(options.registry.string());
  }
  return mdl::win32::RunDesktopServer(options);
}
