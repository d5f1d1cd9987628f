// The desktop client on Windows: the client application on a thread of its
// own, the window on the calling thread with its message loop, snapshots
// and events handed over as posted messages, diagnostics and each new
// report on stderr.
#pragma once

#include <windows.h>

#include <filesystem>
#include <functional>
#include <string>

namespace mdl::win32 {

class ClientWindow;

struct DesktopClientOptions {
  std::filesystem::path home;      // program folder, absolute
  std::filesystem::path registry;  // empty: the Windows registry
  bool virtual_clock = false;
  bool run_from_tray = false;  // "-rs"
  bool run_once = false;       // "-ro"
  // This program: its folder goes into the Run value.
  std::filesystem::path program;
  int show_command = SW_SHOWNORMAL;
  // Runs once the window is up and the engine started.
  std::function<void(ClientWindow&)> after_start;
};

// The Run value's data: the program's folder and "\QOR_MDLSC.exe".
std::string ClientRunValueDataFor(const std::filesystem::path& program);

// Runs until the window closes; returns the exit status ("-ro": 0 only when
// the clock was set).
int RunDesktopClient(HINSTANCE instance, const DesktopClientOptions& options);

}  // namespace mdl::win32
