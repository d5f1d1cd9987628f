// The client application: settings from the registry store, the one-second
// schedule and its retry policy, the engine, the displayed report and the
// run-once ending. Runs on the engine's io_context thread.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/io_context.hpp>

#include "client/client_engine.h"
#include "client/client_settings.h"
#include "common/clock/clock.h"
#include "common/registry/registry.h"

namespace mdl {

// `-ro` against a server that does not answer (yet: a boot script started
// before the network or the server) tries this many exchanges, 10 ticks
// apart, before it ends with 1; `RunOnceAttempts` changes it.
inline constexpr int kRunOnceAttempts = 30;

struct ClientAppOptions {
  bool run_once = false;       // `-ro`: end after the first reply (or kRunOnceAttempts without one)
  bool print_reports = false;  // foreground: each report goes to `out`
  bool virtual_clock = false;  // corrections stay in the process; say so
  std::chrono::milliseconds timeout = ClientEngine::kDefaultTimeout;
  std::chrono::milliseconds tick = std::chrono::milliseconds(1000);
  // The desktop build: the Run value written at the end when wanted and
  // missing at start, deleted when found at start and no longer wanted.
  // Empty: the Run value is left alone (the service build).
  std::string run_value_data;
};

// Where the application's output goes; each call runs on the engine thread.
struct ClientAppOutputs {
  std::function<void(const std::string&)> out;  // reports (stdout)
  std::function<void(const std::string&)> log;  // diagnostics (stderr, syslog)
  // Called once, as a handler after the shutdown, when the program should end.
  std::function<void(int status)> on_exit;
  // Something a window shows has changed (report, settings, busy, outcome).
  std::function<void()> on_change;
};

class ClientApp {
 public:
  ClientApp(boost::asio::io_context& io, Clock& clock, Registry& registry, ClientAppOptions options,
            ClientAppOutputs outputs);
  ~ClientApp();
  ClientApp(const ClientApp&) = delete;
  ClientApp& operator=(const ClientApp&) = delete;

  // `Form_Load`: reads `MDLClient` (writing the default on first start),
  // computes the interval and starts the tick; the first exchange follows as
  // the next handler.
  void Load();
  // `Form_Unload`: stops the tick and the exchange, saves the settings when
  // they were changed. Safe to call twice.
  void Unload();
  // Menu "Synchronize Now": starts an exchange (one running is closed first).
  void SyncNow();

  // Settings edits of the window; each sets the settings-changed flag.
  void SetHost(std::string host);              // `MDLSHost_Change`
  void SetIntervalNumber(std::string number);  // `svrFreN_Change`: applied only when it is a number
  void SetIntervalUnit(std::string unit);      // `svrFreQ_Click`
  void SetRunMinimized(bool run_minimized);    // `RunMin_Click`
  void SetRunAtStart(bool run_at_start);       // `RunStart_Click`

  const ClientSettings& settings() const { return settings_; }
  bool settings_changed() const { return settings_changed_; }
  // The Run value existed at start (read by Load()), and what is wanted now.
  bool run_found_at_start() const { return run_found_at_start_; }
  bool run_at_start() const { return run_wanted_; }
  const ClientSchedule& schedule() const { return schedule_; }
  bool loaded() const { return loaded_; }
  bool ended() const { return ended_; }
  bool busy() const { return engine_.busy(); }
  // The report box (`t3777`) and the tray tip: the last ones an exchange
  // produced; a failed exchange leaves them.
  const std::string& report() const { return report_; }
  const std::string& tray_tip() const { return tray_tip_; }
  // The last exchange's result, if one has finished.
  const std::optional<ExchangeResult>& last_result() const { return last_result_; }

 private:
  void SVR_TMR_Timer();
  void StartTick();
  void OnTick();
  void OnExchange(ExchangeResult result);
  void SecChangeAndApply();
  void ApplyRunValue();
  void LoadReplyLimits();
  void Log(const std::string& line) const;
  void Changed() const;

  boost::asio::io_context& io_;
  Clock& clock_;
  Registry& registry_;
  ClientAppOptions options_;
  ClientAppOutputs outputs_;
  ClientSettings settings_;
  ClientSchedule schedule_;
  ClientEngine engine_;
  std::unique_ptr<Timer> tick_timer_;
  Nanoseconds next_tick_{0};
  std::string report_;
  std::string tray_tip_;
  std::optional<ExchangeResult> last_result_;
  bool settings_changed_ = false;
  bool run_found_at_start_ = false;
  bool run_wanted_ = false;
  bool loaded_ = false;
  bool ended_ = false;
  int run_once_attempts_ = 0;  // exchanges without a reply under `-ro`
  int run_once_attempt_limit_ = kRunOnceAttempts;
  // Handlers posted by the app check it is still alive.
  std::shared_ptr<int> life_;
};

}  // namespace mdl
