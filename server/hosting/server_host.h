// The headless server's host: one instance per program folder, the
// descriptor limit, the engine on a thread of its own, the signals on the
// main thread, the service manager's notices (readiness once start-up has
// opened the listeners, a status that follows the synchronisation, the
// watchdog pinged from the engine's loop, stopping) and the event lines.
#pragma once

#include <filesystem>

namespace mdl::service {

struct ServerHostOptions {
  std::filesystem::path home;      // program folder (made absolute, created when missing)
  std::filesystem::path registry;  // settings store; empty: <home>/registry.reg
  bool virtual_clock = false;      // corrections stay inside the process
  bool foreground = true;          // event lines also on stderr (not when stderr is the journal)
  bool debug = false;              // -debug or -config: never handed to a service manager
  bool request_log = true;         // false: benchmarks only (EngineOptions::request_log)
};

// Runs the server until SIGTERM or SIGINT; returns the exit status. A second
// instance in the same folder ends at once with 0.
int RunServerHost(const ServerHostOptions& options);

}  // namespace mdl::service
