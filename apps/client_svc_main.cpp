// QOR_MDLSC_SVC: the client without a window, in the foreground or as a service.
#include <syslog.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <boost/asio/signal_set.hpp>

#include "apps/command_line.h"
#include "client/client_handle.h"
#include "common/clock/system_clock.h"
#include "common/clock/virtual_clock.h"
#include "common/registry/registry.h"

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kProgram = "QOR_MDLSC_SVC";
constexpr std::string_view kVersion = "5.1.10";

constexpr std::string_view kUsage =
    "Usage: QOR_MDLSC_SVC [-debug | -config | -ro | -install | -uninstall] [options]\n"
    "Keeps this machine's clock in step with a Meridel server (TCP port 3777).\n"
    "  -debug, -config    run in the foreground and print each report\n"
    "  -ro                one exchange, then exit (0 only when the clock was set)\n"
    "  -install           install as a service (not yet available)\n"
    "  -uninstall         remove the service (not yet available)\n"
    "  --home DIR         program folder (default: the folder of this program)\n"
    "  --registry FILE    settings store (default: DIR/registry.reg)\n"
    "  --virtual-clock    never set the system clock; keep corrections in the process\n"
    "  --help, --version\n"
    "The server is the first field of the MDLClient setting: host, host:port or [v6]:port.\n";

// Start and stop lines: syslog, and stderr for whoever watches the foreground.
void EventLine(const std::string& text) {
  syslog(LOG_NOTICE, "%s", text.c_str());
  std::cerr << text << std::endl;
}

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
    std::cout << kUsage;
    return 0;
  }
  if (cl.version) {
    std::cout << kProgram << " " << kVersion << "\n";
    return 0;
  }
  if (cl.first_switch == "-install" || cl.first_switch == "-uninstall") {
    std::cerr << kProgram << ": installing as a service is not yet available\n";
    return 1;
  }
  const bool foreground_reports = cl.first_switch == "-debug" || cl.first_switch == "-config";
  const bool run_once = cl.first_switch == "-ro";

  openlog("QOR_MDLSC_SVC", LOG_PID, LOG_DAEMON);
  const fs::path home = cl.home.empty() ? mdl::ExecutableFolder() : cl.home;
  const fs::path registry_file = cl.registry.empty() ? home / "registry.reg" : cl.registry;

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
  outputs.on_event = [](const mdl::ClientEvent& event) {
    if (const auto* report = std::get_if<mdl::client_event::Report>(&event)) {
      // The report's lines end in "\r\n" in the window; a terminal wants "\n".
      std::string text;
      for (char c : report->text) {
        if (c != '\r') text += c;
      }
      std::cout << text << std::endl;
    } else if (const auto* diagnostic = std::get_if<mdl::client_event::Diagnostic>(&event)) {
      syslog(LOG_WARNING, "%s", diagnostic->line.c_str());
      std::cerr << diagnostic->line << std::endl;
    }
  };
  // The application runs on this thread; a run-once ending ends Run().
  mdl::ClientHandle client(*clock, registry, options, outputs);

  boost::asio::signal_set signals(client.io(), SIGTERM, SIGINT);
  signals.async_wait([&](const boost::system::error_code& ec, int) {
    if (ec) return;
    client.Post(mdl::client_command::Shutdown{});
  });

  EventLine(" --- MDL Client Start [0] ");
  const int exit_status = client.Run();
  EventLine(" --- MDL Client Stop [0] ");
  closelog();
  return exit_status;
}
