// The desktop server: the engine on a thread of its own, the main window on
// the Qt thread, snapshots handed over coalesced, diagnostics on stderr.
#pragma once

#include <functional>

#include "desktop/qt/common/desktop_session.h"

namespace mdl::ui {

class MainWindow;

struct DesktopServerOptions : DesktopProgramOptions {
  // Runs once the window is up and the engine started (the screenshot tour).
  std::function<void(MainWindow&)> after_start;
};

// Runs until the window closes; returns the exit status. A QApplication must exist.
int RunDesktopServer(const DesktopServerOptions& options);

}  // namespace mdl::ui
