// The desktop client: the client application on a thread of its own, the
// window on the Qt thread, snapshots handed over coalesced, diagnostics and
// each new report on stderr.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace mdl::ui {

class ClientWindow;

struct DesktopClientOptions {
  std::filesystem::path home;      // program folder, absolute
  std::filesystem::path registry;  // empty: <home>/registry.reg
  bool virtual_clock = false;
  bool run_from_tray = false;  // "-rs"
  bool run_once = false;       // "-ro"
  // This program: its folder goes into the Run value, the path into the autostart entry.
  std::filesystem::path program;
  std::vector<std::string> autostart_arguments;
  // Runs once the window is up and the engine started (the screenshot tour).
  std::function<void(ClientWindow&)> after_start;
};

// Runs until the window closes; returns the exit status ("-ro": 0 only when
// the clock was set). A QApplication must exist.
int RunDesktopClient(const DesktopClientOptions& options);

}  // namespace mdl::ui
