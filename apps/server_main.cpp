// QOR_MDL_Server: the desktop server, a window and a tray icon over the
// engine.
#include <QApplication>
#include <cstdio>
#include <string>
#include <vector>

#include "apps/command_line.h"
#include "apps/desktop_main.h"
#include "common/files/executable_path.h"
#include "desktop/qt/server/desktop_server.h"
#include "desktop/qt/server/main_window.h"
#include "server/hosting/instance_lock.h"
#include "server/hosting/signal_loop.h"
#include "version.h"

namespace {

constexpr const char* kUsage =
    "Usage: QOR_MDL_Server [-rs] [--home DIR] [--registry FILE] [--virtual-clock] [--help] [--version]\n"
    "The Meridel time server with a window and a tray icon: it takes the time from an upstream NTP\n"
    "server, sets this machine's clock and serves it over TCP and UDP on Daytime 13, Time 37,\n"
    "NTP 123, UnixTime 519 and the Meridel protocol 3777.\n"
    "  -rs               start in the tray (the window is hidden)\n"
    "  --home DIR        program folder: QOR_MDLS4.MDL, Logs/, registry.reg\n"
    "                    (default: the program's folder)\n"
    "  --registry FILE   settings store (default: DIR/registry.reg)\n"
    "  --virtual-clock   never set the machine's clock; serve the upstream's time held inside the process\n"
    "SIGTERM or SIGINT close the window (settings saved).\n"
    "Settings: DIR/registry.reg, key [HKEY_LOCAL_MACHINE\\Software\\Meridel Server].\n"
    "More: man QOR_MDL_Server, man 5 meridel-settings.\n";

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  mdl::CommandLine cl = mdl::ParseCommandLine(args, {"-rs"});
  if (!cl.error.empty()) {
    std::fprintf(stderr, "QOR_MDL_Server: %s\n%s", cl.error.c_str(), kUsage);
    return 2;
  }
  if (cl.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (cl.version) {
    std::printf("QOR_MDL_Server %.*s\n", static_cast<int>(mdl::kVersion.size()), mdl::kVersion.data());
    return 0;
  }

  std::error_code ec;
  std::filesystem::path home = cl.home.empty() ? mdl::files::ExecutableFolder() : cl.home;
  std::filesystem::create_directories(home, ec);
  home = std::filesystem::absolute(home, ec);
  // One server per program folder (the headless one included); a second copy ends at once, silently.
  auto lock = mdl::service::InstanceLock::TryAcquire(home / ".QOR_MDL_Server.lock");
  if (lock.state() == mdl::service::InstanceLock::State::kHeldElsewhere) return 0;
  if (!lock.held()) {
    std::fprintf(stderr, "QOR_MDL_Server: %s\n", lock.error().c_str());
    return 1;
  }

  // Before any thread exists (Qt starts some): the signals wait for their loop.
  mdl::service::BlockServiceSignals();
  QApplication app(argc, argv);
  QApplication::setApplicationName("QOR_MDL_Server");
  QApplication::setQuitOnLastWindowClosed(false);
  mdl::DesktopStopSignals stop_signals;

  mdl::ui::DesktopServerOptions options;
  options.home = home;
  options.registry = cl.registry;
  options.virtual_clock = cl.virtual_clock;
  options.run_from_tray = cl.first_switch == "-rs";
  options.program = mdl::files::ExecutablePath();
  options.autostart_arguments = mdl::AutostartArguments(home, cl.registry);
  options.after_start = [&stop_signals](mdl::ui::MainWindow& w) { stop_signals.Attach(&w); };
  return mdl::ui::RunDesktopServer(options);
}
