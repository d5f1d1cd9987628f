// QOR_MDL_Server_SVC: the server without a window, in the foreground
// (-debug, -config) or under systemd.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <syslog.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "apps/command_line.h"
#include "common/clock/system_clock.h"
#include "common/clock/virtual_clock.h"
#include "common/registry/registry.h"
#include "server/core/engine.h"

#ifdef MDL_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace {

constexpr const char* kUsage =
    "Usage: QOR_MDL_Server_SVC [-debug|-config|-rs|-install|-uninstall] [--home DIR] [--registry FILE]\n"
    "                          [--virtual-clock] [--help] [--version]\n"
    "  -debug, -config   run in the foreground, diagnostics on stderr\n"
    "  --home DIR        program folder: QOR_MDLS4.MDL, Logs/, registry.reg (default: the program's folder)\n"
    "  --registry FILE   settings store (default: DIR/registry.reg)\n"
    "  --virtual-clock   never set the machine's clock; corrections stay inside the process\n"
    "Signals: SIGTERM/SIGINT stop (settings saved), SIGUSR1 pauses, SIGUSR2 continues.\n";

class ConsoleObserver : public mdl::EngineObserver {
 public:
  explicit ConsoleObserver(bool foreground) : foreground_(foreground) {}
  void OnDiagnostic(const std::string& line) override {
    syslog(LOG_INFO, "%s", line.c_str());
    if (foreground_) std::fprintf(stderr, "%s %s\n", Stamp().c_str(), line.c_str());
  }
  void OnStatus(const mdl::EngineSnapshot& s) override {
    if (s.sync_message != last_sync_message_) {
      last_sync_message_ = s.sync_message;
      if (!s.sync_message.empty()) OnDiagnostic(s.sync_message);
    }
  }

 private:
  static std::string Stamp() {
    time_t t = time(nullptr);
    tm local;
    localtime_r(&t, &local);
    char buf[32];
    strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &local);
    return buf;
  }
  bool foreground_;
  std::string last_sync_message_;
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  mdl::CommandLine cl = mdl::ParseCommandLine(args, {"-rs", "-install", "-uninstall", "-debug", "-config"});
  if (!cl.error.empty()) {
    std::fprintf(stderr, "QOR_MDL_Server_SVC: %s\n%s", cl.error.c_str(), kUsage);
    return 2;
  }
  if (cl.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (cl.version) {
    std::printf("QOR_MDL_Server_SVC 5.1.10\n");
    return 0;
  }
  openlog("QOR_MDL_Server_SVC", LOG_PID, LOG_DAEMON);
  // Every open connection is a descriptor: take all the system allows
  // (the usual soft limit of 1024 is below the services' connection caps).
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
  }
  if (cl.first_switch == "-install" || cl.first_switch == "-uninstall") {
    std::fprintf(stderr,
                 "QOR_MDL_Server_SVC: %s: installing as a systemd service is not available in this version\n",
                 cl.first_switch.c_str());
    return 1;
  }
  std::filesystem::path home = cl.home.empty() ? mdl::ExecutableFolder() : cl.home;
  std::error_code ec;
  std::filesystem::create_directories(home, ec);
  home = std::filesystem::absolute(home, ec);

  // One instance per program folder; a second one ends at once, silently.
  std::filesystem::path lock_path = home / ".QOR_MDL_Server.lock";
  int lock_fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock_fd < 0) {
    std::fprintf(stderr, "QOR_MDL_Server_SVC: cannot open %s: %s\n", lock_path.c_str(), std::strerror(errno));
    return 1;
  }
  if (::flock(lock_fd, LOCK_EX | LOCK_NB) != 0) return 0;

  bool foreground = true;  // -debug, -config and the plain start all run in the foreground under systemd
  ConsoleObserver observer(foreground);
  mdl::Registry registry(cl.registry.empty() ? home / "registry.reg" : cl.registry);
  mdl::SystemClock system_clock;
  mdl::VirtualClock virtual_clock;
  mdl::Clock& clock = cl.virtual_clock ? static_cast<mdl::Clock&>(virtual_clock) : system_clock;

  boost::asio::io_context io;
  mdl::EngineOptions options;
  options.home = home;
  options.service_build = true;
  mdl::ServerEngine engine(io, clock, registry, options, &observer);

  boost::asio::signal_set stop_signals(io, SIGTERM, SIGINT);
  stop_signals.async_wait([&](const boost::system::error_code& e, int sig) {
    if (e) return;
    observer.OnDiagnostic(std::string("stopping on ") + (sig == SIGTERM ? "SIGTERM" : "SIGINT"));
    engine.Shutdown();
    io.stop();
  });
  boost::asio::signal_set pause_signals(io, SIGUSR1, SIGUSR2);
  std::function<void()> wait_pause = [&] {
    pause_signals.async_wait([&](const boost::system::error_code& e, int sig) {
      if (e) return;
      engine.SetPaused(sig == SIGUSR1);
      observer.OnDiagnostic(sig == SIGUSR1 ? "paused" : "continued");
      wait_pause();
    });
  };
  wait_pause();

  observer.OnDiagnostic("MDL Server starting in " + home.string() +
                        (cl.virtual_clock ? " (virtual clock: the machine's clock is never set)" : ""));
  engine.Start();
#ifdef MDL_HAVE_SYSTEMD
  sd_notify(0, "READY=1");
#endif
  io.run();
  observer.OnDiagnostic("MDL Server stopped");
  return 0;
}
