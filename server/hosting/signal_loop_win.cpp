// The service host's "signals" on Windows: Ctrl+C and Ctrl+Break (SIGINT),
// closing the console, log-off and shut-down (SIGTERM) through the console
// handler, and the service manager's stop, pause and continue, all queued for
// RunSignalLoop on the main thread.
#include "server/hosting/signal_loop.h"

#include <csignal>

#include "server/hosting/service_control_win.h"

namespace mdl::service {
namespace {

BOOL WINAPI OnConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      win::Push(win::Request::kInterrupt);
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      win::Push(win::Request::kStop);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

bool BlockServiceSignals() { return SetConsoleCtrlHandler(OnConsoleEvent, TRUE) != 0; }

int RunSignalLoop(const SignalHandlers& handlers, std::chrono::milliseconds give_up_after) {
  for (;;) {
    win::Request request{};
    if (!win::Wait(&request, give_up_after)) return 0;
    switch (request) {
      case win::Request::kPause:
        if (handlers.pause) handlers.pause();
        win::ReportStatus(SERVICE_PAUSED);
        break;
      case win::Request::kContinue:
        if (handlers.resume) handlers.resume();
        win::ReportStatus(SERVICE_RUNNING);
        break;
      case win::Request::kInterrupt:
      case win::Request::kStop: {
        const int sig = request == win::Request::kStop ? SIGTERM : SIGINT;
        win::ReportStatus(SERVICE_STOP_PENDING);
        if (handlers.stop) handlers.stop(sig);
        return sig;
      }
    }
  }
}

void RequestStop() { win::Push(win::Request::kStop); }

}  // namespace mdl::service
