// QOR_MDLSC: the desktop client, a window and a tray icon over the client
// application.
#include <QApplication>
#include <QPointer>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "apps/command_line.h"
#include "client/ui/client_window.h"
#include "client/ui/desktop_client.h"
#include "server/service/signal_loop.h"
#include "version.h"

namespace {

constexpr const char* kUsage =
    "Usage: QOR_MDLSC [-rs | -ro] [--home DIR] [--registry FILE] [--virtual-clock] [--help] [--version]\n"
    "Keeps this machine's clock in step with a Meridel server (TCP port 3777).\n"
    "  -rs               start in the tray (the window is hidden)\n"
    "  -ro               one exchange, then exit (0 only when the clock was set)\n"
    "  --home DIR        program folder (default: the program's folder)\n"
    "  --registry FILE   settings store (default: DIR/registry.reg)\n"
    "  --virtual-clock   never set the machine's clock; corrections stay inside the process\n"
    "SIGTERM or SIGINT close the window (changed settings saved).\n";

// The window, once it exists; closing it ends the program.
QPointer<mdl::ui::ClientWindow> g_window;
// A stop signal that came before the window existed.
std::atomic<bool> g_stop_requested{false};

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
  std::filesystem::path home = cl.home.empty() ? mdl::ExecutableFolder() : cl.home;
  std::filesystem::create_directories(home, ec);
  home = std::filesystem::absolute(home, ec);

  // Before any thread exists: the signals wait for the loop below.
  mdl::service::BlockServiceSignals();
  QApplication app(argc, argv);
  QApplication::setApplicationName("QOR_MDLSC");
  QApplication::setQuitOnLastWindowClosed(false);
  std::thread signal_thread([] {
    mdl::service::SignalHandlers handlers;
    handlers.stop = [](int) {
      g_stop_requested = true;
      QMetaObject::invokeMethod(
          qApp,
          [] {
            if (g_window) g_window->close();
          },
          Qt::QueuedConnection);
    };
    mdl::service::RunSignalLoop(handlers);
  });

  mdl::ui::DesktopClientOptions options;
  options.home = home;
  options.registry = cl.registry;
  options.virtual_clock = cl.virtual_clock;
  options.run_from_tray = cl.first_switch == "-rs";
  options.run_once = cl.first_switch == "-ro";
  options.program = std::filesystem::read_symlink("/proc/self/exe", ec);
  options.autostart_arguments = {"--home", home.string()};
  if (!cl.registry.empty()) {
    options.autostart_arguments.push_back("--registry");
    options.autostart_arguments.push_back(std::filesystem::absolute(cl.registry, ec).string());
  }
  options.after_start = [](mdl::ui::ClientWindow& w) {
    g_window = &w;
    if (g_stop_requested) QMetaObject::invokeMethod(&w, [&w] { w.close(); }, Qt::QueuedConnection);
  };
  const int status = mdl::ui::RunDesktopClient(options);
  // Ends the signal loop, which takes this like any stop signal.
  mdl::service::RequestStop();
  signal_thread.join();
  return status;
}
