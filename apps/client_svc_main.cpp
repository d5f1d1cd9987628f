// QOR_MDLSC_SVC: the client without a window, in the foreground or as a service.
#include <climits>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "apps/command_line.h"
#include "client/client_handle.h"
#include "common/clock/system_clock.h"
#include "common/clock/virtual_clock.h"
#include "common/files/executable_path.h"
#include "common/registry/registry.h"
#include <boost/asio/post.hpp>

#include "server/service/event_log.h"
#include "server/service/notify.h"
#include "server/service/service_dispatch.h"
#include "server/service/service_setup.h"
#include "server/service/signal_loop.h"
#include "server/service/unit_file.h"
#include "server/service/usage.h"
#include "version.h"

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kProgram = "QOR_MDLSC_SVC";
using mdl::kVersion;

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const mdl::CommandLine cl =
      mdl::ParseCommandLine(args, {"-rs", "-ro", "-install", "-uninstall", "-debug", "-config"});
  if (!cl.error.empty()) {
    std::cerr << kProgram << ": " << cl.error << " (try --help)\n";
    return 2;
  }
  if (cl.help) {
    std::cout << mdl::service::ClientServiceUsage();
    return 0;
  }
  if (cl.version) {
    std::cout << kProgram << " " << kVersion << "\n";
    return 0;
  }
  const auto& id = mdl::service::kClientService;
  const fs::path home = cl.home.empty() ? mdl::service::DefaultHome(id, mdl::files::ExecutableFolder()) : cl.home;
  if (cl.first_switch == "-install" || cl.first_switch == "-uninstall")
    return mdl::service::RunSetupSwitch(id, cl.first_switch, home);
  const bool foreground_reports = cl.first_switch == "-debug" || cl.first_switch == "-config";
  const bool run_once = cl.first_switch == "-ro";

  // Under the service manager where it calls back into the program (Windows); directly otherwise.
  return mdl::service::RunAsService(id, foreground_reports || run_once, [&] {
    // Before any thread exists, so that every thread leaves the signals to the loop below.
    mdl::service::BlockServiceSignals();
    // Start and stop lines and diagnostics: syslog, and stderr for whoever watches the foreground.
    // Under systemd stderr is the journal, which syslog reaches already.
    mdl::service::EventLog event_log(
        "QOR_MDLSC_SVC",
        {.console = mdl::service::StderrIsJournal() ? nullptr : stderr, .stamp_console = false, .to_syslog = true});
    const fs::path registry_file = cl.registry.empty() ? mdl::DefaultStoreFile(home) : cl.registry;

    std::unique_ptr<mdl::Clock> clock;
    if (cl.virtual_clock) {
      clock = std::make_unique<mdl::VirtualClock>();
    } else {
      clock = std::make_unique<mdl::SystemClock>();
    }
    mdl::Registry registry(registry_file);

    mdl::ClientAppOptions options;
    options.run_once = run_once;
    options.print_reports = foreground_reports || run_once;
    options.virtual_clock = cl.virtual_clock;
    mdl::ClientHandleOutputs outputs;
    // Service-manager notices, on the application's thread: ready once the
    // settings are loaded, a status line that follows the report.
    std::string last_status;
    bool ready = false;
    outputs.on_snapshot = [&](std::shared_ptr<const mdl::ClientSnapshot> s) {
      if (!s->loaded || s->finished) return;
      if (!ready) {
        ready = true;
        mdl::service::NotifyReady();
      }
      std::string status = s->tray_tip;
      while (!status.empty() && status.front() == ' ') status.erase(status.begin());
      while (!status.empty() && status.back() == ' ') status.pop_back();
      if (!s->last_error.empty()) status += (status.empty() ? "" : " ") + std::string("Last exchange failed: ") + s->last_error;
      if (status != last_status) {
        last_status = status;
        mdl::service::NotifyStatus(status);
      }
    };
    outputs.on_event = [&event_log](const mdl::ClientEvent& event) {
      if (const auto* report = std::get_if<mdl::client_event::Report>(&event)) {
        // The report's lines end in "\r\n" in the window; a terminal wants "\n".
        std::string text;
        for (char c : report->text) {
          if (c != '\r') text += c;
        }
        std::cout << text << std::endl;
      } else if (const auto* diagnostic = std::get_if<mdl::client_event::Diagnostic>(&event)) {
        event_log.Warning(diagnostic->line);
      } else if (std::holds_alternative<mdl::client_event::ExitRequest>(event)) {
        mdl::service::RequestStop();  // a run-once ending: the signal loop returns
      }
    };
    // The application runs on a thread of its own; this one waits for SIGTERM or SIGINT.
    mdl::ClientHandle client(*clock, registry, options, outputs);
    // The watchdog is pinged from the application's own loop: a stuck loop stops the pings.
    mdl::service::WatchdogPinger watchdog;
    std::unique_ptr<mdl::Timer> watchdog_timer = clock->MakeTimer(client.io());
    std::function<void()> arm_watchdog = [&] {
      watchdog_timer->Start(std::chrono::seconds(1), [&] {
        watchdog.Beat();
        arm_watchdog();
      });
    };
    if (watchdog.enabled()) boost::asio::post(client.io(), [&] {
        watchdog.Beat();
        arm_watchdog();
      });
    event_log.Notice(" --- MDL Client Start [0] ");
    client.Start();
    mdl::service::RunSignalLoop({});
    mdl::service::NotifyStopping();
    const int exit_status = client.Stop();
    event_log.Notice(" --- MDL Client Stop [0] ");
    return exit_status;
  });
}
