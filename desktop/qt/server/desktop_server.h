// The desktop server: the engine on a thread of its own, the main window on
// the Qt thread, snapshots handed over coalesced, diagnostics on stderr.
#pragma once

#include <functional>

#include "desktop/qt/common/desktop_session.h"
#include "server/core/engine_options.h"

namespace mdl::ui {

class MainWindow;

struct DesktopServerOptions : DesktopProgramOptions {
  // Runs once the window is up and the engine started (the screenshot tour).
  std::function<void(MainWindow&)> after_start;
};

// The engine's options for this program: its folder, and the program's own
// path as the Run value (the program folder need not be `home`).
EngineOptions DesktopEngineOptions(const DesktopProgramOptions& options);

// Runs until the window closes; returns the exit status. A QApplication must exist.
int RunDesktopServer(const DesktopServerOptions& options);

}  // namespace mdl::ui
