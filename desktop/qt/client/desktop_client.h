// The desktop client: the client application on a thread of its own, the
// window on the Qt thread, snapshots handed over coalesced, diagnostics and
// each new report on stderr.
#pragma once

#include <functional>

#include "desktop/qt/common/desktop_session.h"

namespace mdl::ui {

class ClientWindow;

struct DesktopClientOptions : DesktopProgramOptions {
  bool run_once = false;  // "-ro"
  // Runs once the window is up and the engine started (the screenshot tour).
  std::function<void(ClientWindow&)> after_start;
};

// Runs until the window closes; returns the exit status ("-ro": 0 only when
// the clock was set). A QApplication must exist.
int RunDesktopClient(const DesktopClientOptions& options);

}  // namespace mdl::ui
