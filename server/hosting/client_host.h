// The headless client's host: the client application on a thread of its own,
// the signals on the main thread, the service manager's notices (readiness
// once the settings are loaded, a status that follows the last exchange, the
// watchdog pinged from the application's loop, stopping), the reports on
// stdout and the event lines.
#pragma once

#include <filesystem>

namespace mdl::service {

struct ClientHostOptions {
  std::filesystem::path home;       // program folder
  std::filesystem::path registry;   // settings store; empty: <home>/registry.reg
  bool virtual_clock = false;       // corrections stay inside the process
  bool run_once = false;            // -ro: one exchange, then the program ends with its status
  bool foreground_reports = false;  // -debug or -config: reports printed, never handed to a service manager
};

// Runs the client until SIGTERM or SIGINT (or the end of a run-once);
// returns the exit status.
int RunClientHost(const ClientHostOptions& options);

}  // namespace mdl::service
