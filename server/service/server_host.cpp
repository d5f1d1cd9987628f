// RunServerHost.
#include "server/service/server_host.h"

#include <csignal>
#include <cstdio>
#include <string>

#include "common/clock/system_clock.h"
#include "common/clock/virtual_clock.h"
#include "common/registry/registry.h"
#include "server/core/engine_handle.h"
#include "server/service/descriptor_limit.h"
#include "server/service/event_log.h"
#include "server/service/instance_lock.h"
#include "server/service/notify.h"
#include "server/service/signal_loop.h"

namespace mdl::service {
namespace {

// Engine output as event lines and service-manager status; runs on the engine's thread.
class HostListener : public EngineListener {
 public:
  explicit HostListener(EventLog& log) : log_(log) {}

  void OnEvent(const EngineEvent& e) override {
    if (auto* d = std::get_if<DiagnosticEvent>(&e)) log_.Info(d->line);
  }
  void OnSnapshot(const SnapshotPtr& s) override {
    if (s->sync_message == last_sync_message_) return;
    last_sync_message_ = s->sync_message;
    if (s->sync_message.empty()) return;
    log_.Info(s->sync_message);
    NotifyStatus(s->sync_message);
  }

 private:
  EventLog& log_;
  std::string last_sync_message_;
};

}  // namespace

int RunServerHost(const ServerHostOptions& options) {
  // Before any thread exists, so that every thread leaves them to the loop.
  BlockServiceSignals();
  RaiseDescriptorLimit();
  EventLog log("QOR_MDL_Server_SVC", EventLogOptions{options.foreground ? stderr : nullptr, true, true});

  std::error_code ec;
  std::filesystem::path home = options.home;
  std::filesystem::create_directories(home, ec);
  home = std::filesystem::absolute(home, ec);
  // One instance per program folder; a second one ends at once, silently.
  InstanceLock lock = InstanceLock::TryAcquire(home / ".QOR_MDL_Server.lock");
  if (lock.state() == InstanceLock::State::kHeldElsewhere) return 0;
  if (!lock.held()) {
    std::fprintf(stderr, "QOR_MDL_Server_SVC: %s\n", lock.error().c_str());
    return 1;
  }

  Registry registry(options.registry.empty() ? home / "registry.reg" : options.registry);
  SystemClock system_clock;
  VirtualClock virtual_clock;
  Clock& clock = options.virtual_clock ? static_cast<Clock&>(virtual_clock) : system_clock;

  HostListener listener(log);
  EngineOptions engine_options;
  engine_options.home = home;
  engine_options.service_build = true;
  EngineHandle engine(clock, registry, engine_options, &listener);

  log.Info("MDL Server starting in " + home.string() +
           (options.virtual_clock ? " (virtual clock: the machine's clock is never set)" : ""));
  engine.StartThread();
  NotifyReady();
  RunSignalLoop(SignalHandlers{
      .stop =
          [&](int sig) {
            log.Info(std::string("stopping on ") + (sig == SIGTERM ? "SIGTERM" : "SIGINT"));
            NotifyStopping();
          },
      .pause =
          [&] {
            engine.Post(cmd::SetPaused{true});
            log.Info("paused");
          },
      .resume =
          [&] {
            engine.Post(cmd::SetPaused{false});
            log.Info("continued");
          },
  });
  engine.Stop();
  log.Info("MDL Server stopped");
  return 0;
}

}  // namespace mdl::service
