// The client application: settings, schedule and run-once ending.
#include "client/client_app.h"

#include <boost/asio/post.hpp>

namespace mdl {

ClientApp::ClientApp(boost::asio::io_context& io, Clock& clock, Registry& registry, ClientAppOptions options)
    : io_(io),
      registry_(registry),
      options_(std::move(options)),
      engine_(io, clock, schedule_, [this](const ClientStatus& s) { OnStatus(s); }),
      timer_(io) {
  engine_.set_timeout(options_.timeout);
}

ClientApp::~ClientApp() {
  boost::system::error_code ignored;
  timer_.cancel(ignored);
  engine_.Close();
}

void ClientApp::Form_Load() {
  const std::string stored = registry_.ReadValue(kClientKey, kClientValueName);
  if (stored.empty()) {
    registry_.CreateKey(kClientKeyPath);
    if (!registry_.WriteValue(Hive::kLocalMachine, kClientKey, kClientValueName, kClientDefaultValue)) {
      Log("Cannot store the default settings in " + registry_.file().string());
    }
    settings_ = ClientSettings{};
  } else if (auto parsed = ParseClientValue(stored)) {
    settings_ = *parsed;
  } else {
    // Kept as stored; the defaults run until a change is saved.
    Log("Setting MDLClient=\"" + stored + "\" has fewer than four fields; using the defaults");
    settings_ = ClientSettings{};
  }
  SecChangeAndApply();
  engine_.set_host(settings_.host);
  loaded_ = true;

  schedule_.set_countdown(0);
  engine_.SyncNow_Click();
  if (!options_.run_once) StartTick();
}

void ClientApp::Form_Unload() {
  if (ended_) return;
  ended_ = true;
  boost::system::error_code ignored;
  timer_.cancel(ignored);
  engine_.Close();
  if (loaded_ && settings_changed_) {
    if (registry_.WriteValue(Hive::kLocalMachine, kClientKey, kClientValueName,
                             FormatClientValue(settings_))) {
      settings_changed_ = false;
    } else {
      Log("Cannot save the settings in " + registry_.file().string());
    }
  }
}

void ClientApp::SVR_TMR_Timer() {
  if (schedule_.Tick()) engine_.SyncNow_Click();
}

void ClientApp::MDLSHost_Change(std::string host) {
  settings_.host = std::move(host);
  engine_.set_host(settings_.host);
  settings_changed_ = true;
}

void ClientApp::svrFreN_Change(std::string number) {
  if (!SecChange(number, settings_.unit).seconds) return;
  settings_.number = std::move(number);
  SecChangeAndApply();
  settings_changed_ = true;
}

void ClientApp::svrFreQ_Click(std::string unit) {
  settings_.unit = std::move(unit);
  SecChangeAndApply();
  settings_changed_ = true;
}

void ClientApp::RunMin_Click(bool run_minimized) {
  settings_.run_minimized = run_minimized;
  settings_changed_ = true;
}

void ClientApp::SecChangeAndApply() {
  const SecChangeResult r = SecChange(settings_.number, settings_.unit);
  if (r.seconds) {
    schedule_.set_interval(*r.seconds);
  } else {
    Log(r.message + "; the interval stays " + std::to_string(schedule_.interval()) + " seconds");
  }
}

void ClientApp::StartTick() {
  timer_.expires_after(options_.tick);
  WaitTick();
}

void ClientApp::WaitTick() {
  timer_.async_wait([this](const boost::system::error_code& ec) {
    if (ec || ended_) return;
    SVR_TMR_Timer();
    // One period after the tick was due, so the seconds do not drift; after a
    // stall (suspend) the count resumes instead of catching up in a burst.
    const auto now = std::chrono::steady_clock::now();
    auto next = timer_.expiry() + options_.tick;
    if (next < now) next = now + options_.tick;
    timer_.expires_at(next);
    WaitTick();
  });
}

void ClientApp::OnStatus(const ClientStatus& status) {
  if (status.error.empty()) {
    if (options_.print_reports && options_.out) options_.out(status.report);
    if (options_.virtual_clock && status.clock_set_to) {
      const auto ms =
          std::chrono::duration_cast<std::chrono::milliseconds>(status.clock_set_to->time_since_epoch())
              .count() %
          1000;
      Log("Virtual clock set to " + ReportDateTime(*status.clock_set_to) + "." + std::to_string(ms) +
          " UTC; the system clock is untouched");
    }
  } else {
    if (options_.print_reports && options_.out && status.error.rfind("Clock not set", 0) == 0) {
      options_.out(status.report);
    }
    Log("Exchange with " + settings_.host + " failed: " + status.error);
  }
  if (options_.run_once && !ended_) {
    const int exit_status = status.succeeded ? 0 : 1;
    Form_Unload();
    if (options_.on_exit) {
      auto on_exit = options_.on_exit;
      boost::asio::post(io_, [on_exit, exit_status] { on_exit(exit_status); });
    }
  }
}

void ClientApp::Log(const std::string& line) const {
  if (options_.log) options_.log(line);
}

}  // namespace mdl
