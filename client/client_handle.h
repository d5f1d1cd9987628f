// The handle through which a host (service program, desktop window, tests)
// drives the client application: commands in from any thread, immutable
// snapshots and events out. The application runs on the handle's
// io_context, on a thread of the handle's own or on the host's.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <variant>

#include <boost/asio/io_context.hpp>

#include "client/client_app.h"

namespace mdl {

namespace client_command {
struct SyncNow {};
struct SetHost {
  std::string host;
};
struct SetIntervalNumber {
  std::string number;  // as typed; applied only when it is a number
};
struct SetIntervalUnit {
  std::string unit;
};
struct SetRunMinimized {
  bool run_minimized = true;
};
// "Run when Windows Starts.": the Run value is applied at the shutdown.
struct SetRunAtStart {
  bool run_at_start = false;
};
// Stops the tick and the exchange and saves changed settings; the loop ends.
struct Shutdown {};
}  // namespace client_command

using ClientCommand =
    std::variant<client_command::SyncNow, client_command::SetHost, client_command::SetIntervalNumber,
                 client_command::SetIntervalUnit, client_command::SetRunMinimized,
                 client_command::SetRunAtStart, client_command::Shutdown>;

// Everything a window shows, as of one moment of the engine thread.
struct ClientSnapshot {
  uint64_t sequence = 0;  // grows with every publication
  bool loaded = false;    // settings read, schedule running
  bool finished = false;  // shut down; no more snapshots follow
  ClientSettings settings;
  bool settings_changed = false;
  bool run_at_start = false;  // the Run value is wanted (at first: it existed at start)
  int32_t interval_seconds = kDefaultIntervalSeconds;
  std::string report;    // the report box; kept when an exchange fails
  std::string tray_tip;  // kept when an exchange fails
  bool busy = false;     // an exchange is running
  std::optional<ExchangeResult::Outcome> last_outcome;
  std::string last_error;               // why the last exchange failed
  std::optional<UtcTime> clock_set_to;  // by the last exchange, when it succeeded
};

namespace client_event {
struct Report {
  std::string text;  // a report for the foreground output; lines end in "\r\n"
};
struct Diagnostic {
  std::string line;
};
// The application asks to end (run-once done); the handle shuts down.
struct ExitRequest {
  int status = 0;
};
}  // namespace client_event

using ClientEvent = std::variant<client_event::Report, client_event::Diagnostic, client_event::ExitRequest>;

// Both run on the engine thread; a window forwards them with a queued call.
struct ClientHandleOutputs {
  std::function<void(const ClientEvent&)> on_event;
  std::function<void(std::shared_ptr<const ClientSnapshot>)> on_snapshot;
};

class ClientHandle {
 public:
  // `clock` and `registry` are used on the engine thread only, until the
  // shutdown. The application loads as the first handler the loop runs.
  ClientHandle(Clock& clock, Registry& registry, ClientAppOptions options, ClientHandleOutputs outputs = {});
  // Stops (and waits for) the application if it is still running.
  ~ClientHandle();
  ClientHandle(const ClientHandle&) = delete;
  ClientHandle& operator=(const ClientHandle&) = delete;

  // Any thread. Commands run in the order posted; after the shutdown they
  // are dropped.
  void Post(ClientCommand command);
  // Any thread: the last published snapshot. Snapshots are coalesced: one
  // per burst of changes within a turn of the loop.
  std::shared_ptr<const ClientSnapshot> snapshot() const { return snapshot_.load(); }

  // Runs the application on a thread of the handle's own.
  void Start();
  // Runs the application on the calling thread until it has shut down (a
  // Shutdown command, a run-once ending or Stop() from another thread);
  // returns the exit status.
  int Run();
  // Runs the handlers that are ready on the calling thread (tests); the
  // first call loads the application. Returns the number of handlers run.
  size_t Poll();
  // As Poll(), first waiting up to `wait` for one handler (network I/O).
  size_t PollFor(std::chrono::milliseconds wait);
  // Shuts the application down and waits until that is done (settings
  // saved when changed); returns the exit status. From any thread but the
  // one inside Run(); without Start() or Run() the shutdown runs here.
  int Stop();

  bool finished() const { return finished_.load(); }
  // The loop the application runs on, for host objects that belong to it
  // (a signal set); touch them only from its handlers.
  boost::asio::io_context& io() { return io_; }

 private:
  enum class Mode { kIdle, kThread, kRun, kPoll };
  int Loop();
  void Execute(const ClientCommand& command);
  void Emit(const ClientEvent& event);
  void ScheduleSnapshot();
  void PublishSnapshot();
  void Finish(int status);

  ClientHandleOutputs outputs_;
  boost::asio::io_context io_;
  std::unique_ptr<ClientApp> app_;
  std::atomic<Mode> mode_{Mode::kIdle};
  std::thread thread_;
  std::atomic<bool> finished_{false};
  int exit_status_ = 0;
  bool stopping_ = false;  // engine thread: Finish() has run
  bool snapshot_scheduled_ = false;
  uint64_t sequence_ = 0;
  std::atomic<std::shared_ptr<const ClientSnapshot>> snapshot_;
};

}  // namespace mdl
