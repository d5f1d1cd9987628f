// The client application: settings from the registry store, the one-second
// schedule, the engine, and the run-once ending.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "client/client_engine.h"
#include "client/client_settings.h"
#include "common/clock/clock.h"
#include "common/registry/registry.h"

namespace mdl {

struct ClientAppOptions {
  bool run_once = false;       // `-ro`: end after the first exchange
  bool print_reports = false;  // foreground: each report goes to `out`
  bool virtual_clock = false;  // corrections stay in the process; say so
  std::chrono::milliseconds timeout = ClientEngine::kDefaultTimeout;
  std::chrono::milliseconds tick = std::chrono::milliseconds(1000);
  std::function<void(const std::string&)> out;  // reports (stdout)
  std::function<void(const std::string&)> log;  // diagnostics (stderr, syslog)
  // Called once when the program should end, with its exit status.
  std::function<void(int status)> on_exit;
};

class ClientApp {
 public:
  ClientApp(boost::asio::io_context& io, Clock& clock, Registry& registry, ClientAppOptions options);
  ~ClientApp();
  ClientApp(const ClientApp&) = delete;
  ClientApp& operator=(const ClientApp&) = delete;

  // `Form_Load`: reads `MDLClient` (writing the default on first start),
  // computes the interval, starts the first exchange and the tick.
  void Form_Load();
  // `Form_Unload`: stops the tick and the exchange, saves the settings when
  // they were changed. Safe to call twice.
  void Form_Unload();
  // `SVR_TMR_Timer`: one second of the schedule.
  void SVR_TMR_Timer();
  // Menu "Synchronize Now".
  void mnuSync() { engine_.SyncNow_Click(); }

  // Settings edits of the window; each sets the settings-changed flag.
  void MDLSHost_Change(std::string host);
  void svrFreN_Change(std::string number);  // applied only when it is a number
  void svrFreQ_Click(std::string unit);
  void RunMin_Click(bool run_minimized);

  const ClientSettings& settings() const { return settings_; }
  bool settings_changed() const { return settings_changed_; }
  const ClientSchedule& schedule() const { return schedule_; }
  const ClientEngine& engine() const { return engine_; }
  ClientEngine& engine() { return engine_; }

 private:
  void SecChangeAndApply();
  void StartTick();
  void WaitTick();
  void OnStatus(const ClientStatus& status);
  void Log(const std::string& line) const;

  boost::asio::io_context& io_;
  Registry& registry_;
  ClientAppOptions options_;
  ClientSettings settings_;
  ClientSchedule schedule_;
  ClientEngine engine_;
  boost::asio::steady_timer timer_;
  bool settings_changed_ = false;
  bool loaded_ = false;
  bool ended_ = false;
};

}  // namespace mdl
