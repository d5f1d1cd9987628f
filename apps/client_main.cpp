// QOR_MDLSC: the desktop client, a window and a tray icon over the client
// application.
#include <QApplication>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "apps/command_line.h"
#include "apps/desktop_main.h"
#include "common/files/executable_path.h"
#include "desktop/qt/client/client_window.h"
#include "desktop/qt/client/desktop_client.h"
#include "server/hosting/signal_loop.h"
#include "version.h"

namespace {

constexpr const char* kUsage =
    "Usage: QOR_MDLSC [-rs | -ro] [--home DIR] [--registry FILE] [--virtual-clock] [--help] [--version]\n"
    "The Meridel time client with a window and a tray icon: keeps this machine's clock in step with a\n"
    "Meridel server, asking it over TCP port 3777 (the Meridel protocol); it serves no port itself.\n"
    "  -rs               start in the tray (the window is hidden)\n"
    "  -ro               exchange until the first reply (retried 10 s apart, RunOnceAttempts times),\n"
    "                    then exit (0 only when the clock was set)\n"
    "  --home DIR        program folder (default: the program's folder)\n"
    "  --registry FILE   settings store (default: DIR/registry.reg)\n"
    "  --virtual-clock   never set the machine's clock; corrections stay inside the process\n"
    "SIGTERM or SIGINT close the window (changed settings saved).\n"
    "Settings: DIR/registry.reg, key [HKEY_LOCAL_MACHINE\\Software\\Meridel].\n"
    "More: man QOR_MDLSC, man 5 meridel-settings.\n";

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  mdl::CommandLine cl = mdl::ParseCommandLine(args, {"-rs", "-ro"});
  if (!cl.error.empty()) {
    std::fprintf(stderr, "QOR_MDLSC: %s\n%s", cl.error.c_str(), kUsage);
    return 2;
  }
  if (cl.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (cl.version) {
    std::printf("QOR_MDLSC %.*s\n", static_cast<int>(mdl::kVersion.size()), mdl::kVersion.data());
    return 0;
  }

  std::error_code ec;
  std::filesystem::path home = cl.home.empty() ? mdl::files::ExecutableFolder() : cl.home;
  std::filesystem::create_directories(home, ec);
  home = std::filesystem::absolute(home, ec);

  // Before any thread exists (Qt starts some): the signals wait for their loop.
  mdl::service::BlockServiceSignals();
  QApplication app(argc, argv);
  QApplication::setApplicationName("QOR_MDLSC");
  QApplication::setQuitOnLastWindowClosed(false);
  mdl::DesktopStopSignals stop_signals;

  mdl::ui::DesktopClientOptions options;
  options.home = home;
  options.registry = cl.registry;
  options.virtual_clock = cl.virtual_clock;
  options.run_from_tray = cl.first_switch == "-rs";
  options.run_once = cl.first_switch == "-ro";
  options.program = mdl::files::ExecutablePath();
  options.autostart_arguments = mdl::AutostartArguments(home, cl.registry);
  options.after_start = [&stop_signals](mdl::ui::ClientWindow& w) { stop_signals.Attach(&w); };
  return mdl::ui::RunDesktopClient(options);
}
