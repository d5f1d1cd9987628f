// The desktop server: the engine on a thread of its own, the main window on
// the Qt thread, snapshots handed over coalesced, diagnostics on stderr.
#pragma once

#include <QString>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace mdl::ui {

class MainWindow;

struct DesktopServerOptions {
  std::filesystem::path home;      // program folder, absolute
  std::filesystem::path registry;  // empty: <home>/registry.reg
  bool virtual_clock = false;
  bool run_from_tray = false;     // "-rs"
  std::filesystem::path program;  // for the autostart entry
  std::vector<std::string> autostart_arguments;
  // Runs once the window is up and the engine started (the screenshot tour).
  std::function<void(MainWindow&)> after_start;
};

// Runs until the window closes; returns the exit status. A QApplication must exist.
int RunDesktopServer(const DesktopServerOptions& options);

}  // namespace mdl::ui
