// The client application: settings, schedule, retry policy and run-once ending.
#include "client/client_app.h"

#include <algorithm>

#include <boost/asio/post.hpp>
#include <cstdint>
#include <type_traits>

#include "common/registry/registry_number.h"

namespace mdl {

using Outcome = ExchangeResult::Outcome;

namespace {

// A failed exchange is tried again 10 ticks later; a reply whose time the
// clock refused is not, as another exchange would be refused the same way.
bool RetrySoon(Outcome outcome) {
  return outcome != Outcome::kSynchronised && outcome != Outcome::kClockNotSet;
}

}  // namespace

ClientApp::ClientApp(boost::asio::io_context& io, Clock& clock, Registry& registry, ClientAppOptions options,
                     ClientAppOutputs outputs)
    : io_(io),
      clock_(clock),
      registry_(registry),
      options_(std::move(options)),
      outputs_(std::move(outputs)),
      engine_(io, clock),
      tick_timer_(clock.MakeTimer(io)),
      life_(std::make_shared<int>(0)) {
  engine_.set_timeout(options_.timeout);
}

ClientApp::~ClientApp() {
  tick_timer_->Cancel();
  engine_.Close();
}

void ClientApp::Load() {
  if (!options_.run_value_data.empty()) {
    run_found_at_start_ = !registry_.ReadValue(kClientRunKey, kClientRunValueName).empty();
    run_wanted_ = run_found_at_start_;
  }
  const std::string stored = registry_.ReadValue(kClientKey, kClientValueName);
  if (stored.empty()) {
    registry_.CreateKey(kClientKeyPath);
    if (!registry_.WriteValue(Hive::kLocalMachine, kClientKey, kClientValueName, kClientDefaultValue)) {
      Log("Cannot store the default settings in " + registry_.file().string());
    }
    settings_ = ClientSettings{};
  } else {
    settings_ = ParseClientValue(stored).value_or(ClientSettings{});
    // Kept as stored until a change is saved.
    if (std::count(stored.begin(), stored.end(), ':') < 3)
      Log("Setting MDLClient=\"" + stored + "\" has fewer than four fields; host \"" + settings_.host +
          "\", the missing fields at their defaults");
  }
  SecChangeAndApply();
  LoadReplyLimits();
  loaded_ = true;

  schedule_.set_countdown(0);
  if (!options_.run_once) StartTick();
  // The window is up before the first exchange starts.
  boost::asio::post(io_, [this, life = std::weak_ptr<int>(life_)] {
    if (!life.expired() && !ended_) SyncNow();
  });
  Changed();
}

void ClientApp::Unload() {
  if (ended_) return;
  ended_ = true;
  tick_timer_->Cancel();
  engine_.Close();
  if (loaded_ && settings_changed_) {
    if (registry_.WriteValue(Hive::kLocalMachine, kClientKey, kClientValueName,
                             FormatClientValue(settings_))) {
      settings_changed_ = false;
    } else {
      Log("Cannot save the settings in " + registry_.file().string());
    }
  }
  if (loaded_) ApplyRunValue();
  Changed();
}

void ClientApp::ApplyRunValue() {
  if (options_.run_value_data.empty()) return;
  if (run_wanted_ && !run_found_at_start_) {
    if (!registry_.WriteValue(Hive::kLocalMachine, kClientRunKey, kClientRunValueName,
                              options_.run_value_data))
      Log("Cannot store the Run value in " + registry_.file().string());
  } else if (run_found_at_start_ && !run_wanted_) {
    const int result = registry_.DeleteValue(Hive::kLocalMachine, kClientRunKey, kClientRunValueName);
    if (result != kRegSuccess && result != kRegNotFound)
      Log("Cannot delete the Run value in " + registry_.file().string());
  }
}

void ClientApp::SyncNow() {
  if (ended_) return;
  engine_.Exchange(settings_.host, [this](ExchangeResult r) { OnExchange(std::move(r)); });
  Changed();
}

void ClientApp::SVR_TMR_Timer() {
  if (schedule_.Tick()) SyncNow();
}

void ClientApp::SetHost(std::string host) {
  settings_.host = std::move(host);
  settings_changed_ = true;
  Changed();
}

void ClientApp::SetIntervalNumber(std::string number) {
  if (!SecChange(number, settings_.unit).seconds) return;
  settings_.number = std::move(number);
  SecChangeAndApply();
  settings_changed_ = true;
  Changed();
}

void ClientApp::SetIntervalUnit(std::string unit) {
  settings_.unit = std::move(unit);
  SecChangeAndApply();
  settings_changed_ = true;
  Changed();
}

void ClientApp::SetRunMinimized(bool run_minimized) {
  settings_.run_minimized = run_minimized;
  settings_changed_ = true;
  Changed();
}

void ClientApp::SetRunAtStart(bool run_at_start) {
  run_wanted_ = run_at_start;
  settings_changed_ = true;
  Changed();
}

// Values of our own: the largest round trip (ms) and the plausibility window
// (years) of a reply; "0" turns either off.
void ClientApp::LoadReplyLimits() {
  ReplyLimits limits;
  auto read = [&](std::string_view name, auto& field, long max) {
    const std::string text = registry_.ReadValue(kClientKey, std::string(name));
    if (text.empty()) return;
    if (auto v = ReadRegistryNumber(text, static_cast<uint64_t>(max))) {
      field = static_cast<std::remove_reference_t<decltype(field)>>(*v);
    } else {
      Log("Setting " + std::string(name) + "=\"" + text + "\" is not a number up to " + std::to_string(max) +
          "; " + std::to_string(field) + " kept");
    }
  };
  read(kMaxRoundTripValueName, limits.max_rtt_ms, 3600000);
  read(kPlausibleYearsValueName, limits.plausible_years, 100);
  engine_.set_limits(limits);
  int attempts = kRunOnceAttempts;
  read(kRunOnceAttemptsValueName, attempts, 10000);
  if (attempts < 1) {
    Log(std::string("Setting ") + std::string(kRunOnceAttemptsValueName) + "=\"0\" allows no exchange; " +
        std::to_string(kRunOnceAttempts) + " kept");
    attempts = kRunOnceAttempts;
  }
  run_once_attempt_limit_ = attempts;
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
  next_tick_ = clock_.monotonic() + options_.tick;
  tick_timer_->Start(options_.tick, [this] { OnTick(); });
}

// The next tick is one period after this one was due, so the seconds do not
// drift; after a stall (suspend) the count resumes instead of catching up.
void ClientApp::OnTick() {
  if (ended_) return;
  SVR_TMR_Timer();
  if (ended_) return;
  const Nanoseconds now = clock_.monotonic();
  next_tick_ += options_.tick;
  if (next_tick_ < now) next_tick_ = now + options_.tick;
  tick_timer_->Start(next_tick_ - now, [this] { OnTick(); });
}

void ClientApp::OnExchange(ExchangeResult r) {
  const bool print = options_.print_reports && outputs_.out;
  const bool has_report = r.outcome == Outcome::kSynchronised || r.outcome == Outcome::kClockNotSet ||
                          r.outcome == Outcome::kRefused;
  if (has_report) report_ = r.report;
  if (r.synchronised()) {
    tray_tip_ = r.tray_tip;
    if (print) outputs_.out(r.report);
    if (options_.virtual_clock && r.clock_set_to) {
      const auto ms = MillisOfSecond(*r.clock_set_to);
      Log("Virtual clock set to " + ReportDateTime(*r.clock_set_to) + "." + std::to_string(ms) +
          " UTC; the system clock is untouched");
    }
  } else {
    if (print && has_report) outputs_.out(r.report);
    if (RetrySoon(r.outcome)) schedule_.OnFailure();
    Log("Exchange with " + settings_.host + " failed: " + r.error);
  }
  const bool succeeded = r.synchronised();
  // Without a reply, run-once waits for the retry 10 ticks later as the
  // window does; a reply (refused, or the clock not set) or a host setting
  // that cannot work ends it.
  const bool retry_once = options_.run_once && !succeeded && RetrySoon(r.outcome) &&
                          r.outcome != Outcome::kRefused && r.outcome != Outcome::kBadHost &&
                          ++run_once_attempts_ < run_once_attempt_limit_;
  last_result_ = std::move(r);
  Changed();
  if (retry_once) {
    if (!tick_timer_->pending()) StartTick();
  } else if (options_.run_once && !ended_) {
    const int exit_status = succeeded ? 0 : 1;
    Unload();
    if (outputs_.on_exit) {
      boost::asio::post(io_, [on_exit = outputs_.on_exit, exit_status] { on_exit(exit_status); });
    }
  }
}

void ClientApp::Log(const std::string& line) const {
  if (outputs_.log) outputs_.log(line);
}

void ClientApp::Changed() const {
  if (outputs_.on_change) outputs_.on_change();
}

}  // namespace mdl
