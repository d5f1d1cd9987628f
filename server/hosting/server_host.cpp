// RunServerHost.
#include "server/hosting/server_host.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "common/clock/fallback_clock.h"
#include "common/clock/system_clock.h"
#include "common/clock/virtual_clock.h"
#include "common/registry/registry.h"
#include "server/core/engine_handle.h"
#include "server/core/metrics_text.h"
#include "server/core/settings.h"
#include "server/core/status_report.h"
#include "server/hosting/control_channel.h"
#include "server/hosting/descriptor_limit.h"
#include "server/hosting/event_log.h"
#include "server/hosting/instance_lock.h"
#include "server/hosting/metrics_endpoint.h"
#include "server/hosting/notify.h"
#include "server/hosting/nts_ke_host.h"
#include "server/hosting/service_dispatch.h"
#include "server/hosting/signal_loop.h"
#include "server/hosting/unit_file.h"

namespace mdl::service {
namespace {

// The enabled sockets that start-up could not open, as "TCP 37, UDP 37".
std::string ClosedListeners(const EngineSnapshot& s, int* count) {
  std::string out;
  *count = 0;
  for (const ServiceView& v : s.services) {
    if (!v.enabled) continue;
    for (auto [wanted, open, name] :
         {std::tuple{v.tcp_box, v.tcp_open, "TCP "}, std::tuple{v.udp_box, v.udp_open, "UDP "}}) {
      if (!wanted || open) continue;
      ++*count;
      out += (out.empty() ? "" : ", ") + std::string(name) + v.port_text;
    }
  }
  return out;
}

// The one-line status the service manager shows.
std::string StatusLine(const EngineSnapshot& s) {
  std::string text = s.sync_message.empty() ? s.tray_tip : s.sync_message;
  while (!text.empty() && text.front() == ' ') text.erase(text.begin());
  while (!text.empty() && text.back() == ' ') text.pop_back();
  if (text.empty()) text = "Starting.";
  // The time of the last synchronisation, so that each one shows.
  if (s.time_synced && !s.last_update_text.empty() && s.last_update_text != "Never")
    text += " Last synchronisation: " + s.last_update_text + ".";
  return s.paused ? "Paused (SIGUSR2 or -continue resumes). " + text : text;
}

// Engine output as event lines and service-manager notices; runs on the engine's thread.
class HostListener : public EngineListener {
 public:
  explicit HostListener(EventLog& log) : log_(log) {}

  void OnEvent(const EngineEvent& e) override {
    if (auto* d = std::get_if<DiagnosticEvent>(&e))
      log_.Write(d->warning ? EventLevel::kWarning : EventLevel::kInfo, d->line);
    if (auto* r = std::get_if<SyncReport>(&e))
      log_.Write(r->warning ? EventLevel::kWarning : EventLevel::kInfo, r->message);
  }
  void OnSnapshot(const SnapshotPtr& s) override {
    if (s->shut_down) return;
    if (!ready_) {
      // The first snapshot closes start-up: the enabled listeners are open (or reported).
      ready_ = true;
      int closed = 0;
      const std::string which = ClosedListeners(*s, &closed);
      if (closed == 0) {
        log_.Entry(EventLevel::kNotice, "MDL Start [0] ");
      } else {
        log_.Entry(EventLevel::kError, "MDL Start [" + std::to_string(closed) + "] " +
                                           "enabled sockets that could not be opened: " + which);
      }
      NotifyReady();
    }
    const std::string status = StatusLine(*s);
    if (status != last_status_) {
      last_status_ = status;
      NotifyStatus(status);
    }
  }

 private:
  EventLog& log_;
  bool ready_ = false;
  std::string last_status_;
};

int RunHost(const ServerHostOptions& options) {
  const ServiceIdentity& id = kServerService;
  // Before any thread exists, so that every thread leaves them to the loop.
  BlockServiceSignals();
  RaiseDescriptorLimit();
  const bool console = options.foreground && !StderrIsJournal();
  EventLog log(std::string(id.program), EventLogOptions{console ? stderr : nullptr, true, true});

  std::error_code ec;
  std::filesystem::path home = options.home;
  std::filesystem::create_directories(home, ec);
  home = std::filesystem::absolute(home, ec);
  // One instance per program folder; a second one ends at once, silently.
  InstanceLock lock = InstanceLock::TryAcquire(home / id.lock_name);
  if (lock.state() == InstanceLock::State::kHeldElsewhere) return 0;
  if (!lock.held()) {
    log.Entry(EventLevel::kError, "MDL Start [1] " + lock.error());
    return 1;
  }

  Registry registry(options.registry.empty() ? DefaultStoreFile(home) : options.registry);
  SystemClock system_clock;
  // Without the right to set the machine's clock, the time is served held in the process.
  FallbackClock fallback_clock(system_clock);
  VirtualClock virtual_clock;
  Clock& clock = options.virtual_clock ? static_cast<Clock&>(virtual_clock) : fallback_clock;

  HostListener listener(log);
  EngineOptions engine_options;
  engine_options.home = home;
  engine_options.service_build = true;
  engine_options.request_log = options.request_log;
  EngineHandle engine(clock, registry, engine_options, &listener);
  // The watchdog is pinged from the engine's own loop: a stuck loop stops the pings.
  WatchdogPinger watchdog;
  if (watchdog.enabled())
    engine.SetHeartbeat(std::chrono::milliseconds(1000), [&watchdog] { watchdog.Beat(); });

  log.Info("MDL Server starting in " + home.string() +
           (options.virtual_clock ? " (virtual clock: the machine's clock is never set)" : ""));
  // Read before the engine's thread reads the store too; opened once it runs.
  std::vector<std::string> metrics_lines;
  const std::optional<MetricsAddress> metrics_at = LoadMetricsAddress(registry, metrics_lines);
  for (const std::string& line : metrics_lines) log.Warning(line);
  std::vector<std::string> nts_lines;
  const NtsKeSettings nts_settings = LoadNtsKeSettings(registry, nts_lines);
  for (const std::string& line : nts_lines) log.Warning(line);
  std::vector<std::string> bind_lines;  // the engine reports them
  const boost::asio::ip::address bind_at =
      LoadBindAddress(registry, boost::asio::ip::address_v6::any(), bind_lines)
          .value_or(boost::asio::ip::address_v6::any());
  engine.StartThread();
  // Scrapes read the latest published snapshot on the endpoint's own thread.
  MetricsEndpoint metrics([&engine, version = engine_options.version]() -> std::optional<std::string> {
    const SnapshotPtr s = engine.snapshot();
    if (!s) return std::nullopt;
    return MetricsText(*s, version);
  });
  if (metrics_at) {
    const std::string a = metrics_at->address.to_string();
    const std::string where =
        (metrics_at->address.is_v6() ? "[" + a + "]" : a) + ":" + std::to_string(metrics_at->port);
    if (const std::error_code ec = metrics.Open(metrics_at->address, metrics_at->port))
      log.Warning("metrics endpoint " + where + " not opened: " + ec.message());
    else
      log.Info("metrics endpoint listening on http://" + where + "/metrics");
  }
  // NTS key establishment on a thread of its own, over the engine's cookie keys and access lists.
  NtsKeHost nts_ke(engine, log);
  nts_ke.Start(nts_settings, bind_at);
  // `-status` asks through the control channel; its thread reads the latest snapshot only.
  ControlChannel control;
  if (!control.Start(home, id.name, [&engine](std::string_view request) -> std::optional<std::string> {
        if (request != "status" && request != "status json") return std::nullopt;
        const SnapshotPtr s = engine.snapshot();
        if (!s) return std::string("error: starting, no status yet\n");
        return request == "status" ? StatusText(*s) : StatusJson(*s);
      }))
    log.Warning("-status will not answer: " + control.error());
  RunSignalLoop(SignalHandlers{
      .stop =
          [&](int sig) {
            NotifyStopping();
            log.Info(std::string("stopping on ") + (sig == SIGTERM ? "SIGTERM" : "SIGINT"));
          },
      .pause =
          [&] {
            engine.Post(cmd::SetPaused{true});
            log.Notice("paused: no request is read and the timers are idle until SIGUSR2 or -continue");
          },
      .resume =
          [&] {
            engine.Post(cmd::SetPaused{false});
            log.Notice("continued");
          },
      .reload =
          [&] {
            engine.Post(cmd::ReloadSettings{});
            // The store read afresh on this thread: the engine's copy is its own thread's.
            Registry fresh(registry.file(), [&log](const std::string& m) { log.Warning(m); });
            std::vector<std::string> lines;
            const NtsKeSettings now = LoadNtsKeSettings(fresh, lines);
            for (const std::string& line : lines) log.Warning(line);
            nts_ke.Reload(now);
          },
  });
  metrics.Close();
  nts_ke.Stop();
  control.Stop();
  engine.Stop();
  log.Entry(EventLevel::kNotice, "MDL Stop [0] ");
  return 0;
}

}  // namespace

int RunServerHost(const ServerHostOptions& options) {
  return RunAsService(kServerService, options.debug, [&options] { return RunHost(options); });
}

}  // namespace mdl::service
