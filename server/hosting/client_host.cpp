// RunClientHost.
#include "server/hosting/client_host.h"

#include <boost/asio/post.hpp>
#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <variant>

#include "client/client_handle.h"
#include "client/client_status.h"
#include "common/clock/system_clock.h"
#include "common/clock/virtual_clock.h"
#include "common/registry/registry.h"
#include "server/hosting/control_channel.h"
#include "server/hosting/event_log.h"
#include "server/hosting/notify.h"
#include "server/hosting/service_dispatch.h"
#include "server/hosting/signal_loop.h"
#include "server/hosting/unit_file.h"

namespace mdl::service {
namespace {

// The one-line status the service manager shows: the tray tip, trimmed, and
// why the last exchange failed.
std::string ClientStatusLine(const ClientSnapshot& s) {
  std::string status = s.tray_tip;
  while (!status.empty() && status.front() == ' ') status.erase(status.begin());
  while (!status.empty() && status.back() == ' ') status.pop_back();
  if (!s.last_error.empty())
    status += (status.empty() ? "" : " ") + std::string("Last exchange failed: ") + s.last_error;
  return status;
}

int RunHost(const ClientHostOptions& options) {
  // Before any thread exists, so that every thread leaves the signals to the loop below.
  BlockServiceSignals();
  // Start and stop lines and diagnostics: syslog, and stderr for whoever watches the foreground.
  // Under systemd stderr is the journal, which syslog reaches already.
  EventLog event_log(
      std::string(kClientService.program),
      {.console = StderrIsJournal() ? nullptr : stderr, .stamp_console = false, .to_syslog = true});
  const std::filesystem::path registry_file =
      options.registry.empty() ? DefaultStoreFile(options.home) : options.registry;

  std::unique_ptr<Clock> clock;
  if (options.virtual_clock) {
    clock = std::make_unique<VirtualClock>();
  } else {
    clock = std::make_unique<SystemClock>();
  }
  Registry registry(registry_file);

  ClientAppOptions app_options;
  app_options.run_once = options.run_once;
  app_options.print_reports = options.foreground_reports || options.run_once;
  app_options.virtual_clock = options.virtual_clock;
  ClientHandleOutputs outputs;
  // Service-manager notices, on the application's thread: ready once the
  // settings are loaded, a status line that follows the report.
  std::string last_status;
  bool ready = false;
  outputs.on_snapshot = [&](std::shared_ptr<const ClientSnapshot> s) {
    if (!s->loaded || s->finished) return;
    if (!ready) {
      ready = true;
      NotifyReady();
    }
    std::string status = ClientStatusLine(*s);
    if (status != last_status) {
      last_status = status;
      NotifyStatus(status);
    }
  };
  outputs.on_event = [&event_log](const ClientEvent& event) {
    if (const auto* report = std::get_if<client_event::Report>(&event)) {
      // The report's lines end in "\r\n" in the window; a terminal wants "\n".
      std::string text;
      for (char c : report->text) {
        if (c != '\r') text += c;
      }
      std::cout << text << std::endl;
    } else if (const auto* diagnostic = std::get_if<client_event::Diagnostic>(&event)) {
      event_log.Warning(diagnostic->line);
    } else if (std::holds_alternative<client_event::ExitRequest>(event)) {
      RequestStop();  // a run-once ending: the signal loop returns
    }
  };
  // The application runs on a thread of its own; this one waits for SIGTERM or SIGINT.
  ClientHandle client(*clock, registry, app_options, outputs);
  // The watchdog is pinged from the application's own loop: a stuck loop stops the pings.
  WatchdogPinger watchdog;
  std::unique_ptr<Timer> watchdog_timer = clock->MakeTimer(client.io());
  std::function<void()> arm_watchdog = [&] {
    watchdog_timer->Start(std::chrono::seconds(1), [&] {
      watchdog.Beat();
      arm_watchdog();
    });
  };
  if (watchdog.enabled())
    boost::asio::post(client.io(), [&] {
      watchdog.Beat();
      arm_watchdog();
    });
  event_log.Notice(" --- MDL Client Start [0] ");
  client.Start();
  // `-status` asks through the control channel; its thread reads the latest snapshot only.
  ControlChannel control;
  if (!control.Start(options.home, kClientService.name,
                     [&client](std::string_view request) -> std::optional<std::string> {
                       if (request != "status" && request != "status json") return std::nullopt;
                       const std::shared_ptr<const ClientSnapshot> s = client.snapshot();
                       return request == "status" ? ClientStatusText(*s) : ClientStatusJson(*s);
                     }))
    event_log.Warning("-status will not answer: " + control.error());
  RunSignalLoop({});
  NotifyStopping();
  control.Stop();
  const int exit_status = client.Stop();
  event_log.Notice(" --- MDL Client Stop [0] ");
  return exit_status;
}

}  // namespace

int RunClientHost(const ClientHostOptions& options) {
  // Under the service manager where it calls back into the program (Windows); directly otherwise.
  return RunAsService(kClientService, options.foreground_reports || options.run_once,
                      [&options] { return RunHost(options); });
}

}  // namespace mdl::service
