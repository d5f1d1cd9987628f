// QOR_MDLSC.exe: the desktop client on Windows, a window and a tray icon over
// the client application.
#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "apps/command_line.h"
#include "common/files/executable_path.h"
#include "desktop/win32/client/desktop_client.h"
#include "desktop/win32/common/wide.h"
#include "version.h"

namespace {

constexpr const char* kUsage =
    "Usage: QOR_MDLSC [-rs | -ro] [--home DIR] [--registry FILE] [--virtual-clock] [--help] [--version]\n"
    "The Meridel time client with a window and a tray icon: keeps this machine's clock in step with a\n"
    "Meridel server, asking it over TCP port 3777 (the Meridel protocol); it serves no port itself.\n"
    "  -rs               start in the tray (the window is hidden)\n"
    "  -ro               exchange until the first reply (retried 10 s apart, RunOnceAttempts times),\n"
    "                    then exit (0 only when the clock was set)\n"
    "  --home DIR        program folder (default: the program's folder)\n"
    "  --registry FILE   settings store (default: the Windows registry)\n"
    "  --virtual-clock   never set the machine's clock; corrections stay inside the process\n"
    "Settings: the registry key HKEY_LOCAL_MACHINE\\Software\\Meridel.\n"
    "More: the README's sections \"Settings\" and \"Windows\".\n";

// A program of the GUI subsystem has no console of its own: its output goes
// to the handles it was given, else to the console of the one that started it.
void ConnectOutput() {
  const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  if (err != nullptr && err != INVALID_HANDLE_VALUE) return;
  if (!AttachConsole(ATTACH_PARENT_PROCESS)) return;
  std::freopen("CONOUT$", "w", stdout);
  std::freopen("CONOUT$", "w", stderr);
}

std::vector<std::string> Arguments() {
  int count = 0;
  LPWSTR* words = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> args;
  for (int i = 1; words && i < count; ++i) args.push_back(mdl::win32::Narrow(words[i]));
  if (words) LocalFree(words);
  return args;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show_command) {
  ConnectOutput();
  const mdl::CommandLine cl = mdl::ParseCommandLine(Arguments(), {"-rs", "-ro"});
  if (!cl.error.empty()) {
    std::fprintf(stderr, "QOR_MDLSC: %s\n%s", cl.error.c_str(), kUsage);
    return 2;
  }
  if (cl.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (cl.version) {
    std::printf("QOR_MDLSC %.*s\n", static_cast<int>(mdl::kVersion.size()), mdl::kVersion.data());
    return 0;
  }

  std::error_code ec;
  std::filesystem::path home = cl.home.empty() ? mdl::files::ExecutableFolder() : cl.home;
  std::filesystem::create_directories(home, ec);
  home = std::filesystem::absolute(home, ec);

  mdl::win32::DesktopClientOptions options;
  options.home = home;
  options.registry = cl.registry;
  options.virtual_clock = cl.virtual_clock;
  options.run_from_tray = cl.first_switch == "-rs";
  options.run_once = cl.first_switch == "-ro";
  options.program = mdl::files::ExecutablePath();
  options.show_command = show_command;
  return mdl::win32::RunDesktopClient(instance, options);
}
