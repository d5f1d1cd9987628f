// The desktop server on Windows: the engine on a thread of its own, the main
// window on the program's thread with its message loop, snapshots and
// update events handed over through the window's bridges, diagnostics on
// stderr.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace mdl::win32 {

struct DesktopServerOptions {
  std::filesystem::path home;      // program folder, absolute
  std::filesystem::path registry;  // settings file; empty: the Windows registry
  bool virtual_clock = false;
  bool run_from_tray = false;     // "-rs"
  std::filesystem::path program;  // this program, for the Run value
  // What the Run value passes besides the program (--home, --registry when
  // they are not the defaults).
  std::vector<std::string> run_arguments;
};

// Runs until the window closes; returns the exit status.
int RunDesktopServer(const DesktopServerOptions& options);

// The Run value's data: the program (quoted when it holds a blank) and the arguments.
std::wstring RunValueCommand(const std::filesystem::path& program, const std::vector<std::string>& arguments);

}  // namespace mdl::win32
