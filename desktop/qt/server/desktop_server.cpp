// RunDesktopServer.
#include "desktop/qt/server/desktop_server.h"

#include <QApplication>
#include <cstdio>
#include <memory>

#include "common/clock/fallback_clock.h"
#include "common/clock/system_clock.h"
#include "common/clock/virtual_clock.h"
#include "common/registry/registry.h"
#include "desktop/model/engine_port.h"
#include "desktop/qt/common/desktop_session.h"
#include "desktop/qt/common/latest_bridge.h"
#include "desktop/qt/server/main_window.h"
#include "server/core/engine_handle.h"
#include "version.h"

namespace mdl::ui {
namespace {

void Line(const std::string& text) { std::fprintf(stderr, "QOR_MDL_Server: %s\n", text.c_str()); }

// Runs on the engine's thread: hands everything over to the window's.
class BridgeListener : public EngineListener {
 public:
  BridgeListener(LatestBridge<EngineSnapshot>& snapshots, QueueBridge<std::string>& lines,
                 QueueBridge<EngineEvent>& update_events)
      : snapshots_(snapshots), lines_(lines), update_events_(update_events) {}
  void OnSnapshot(const SnapshotPtr& s) override { snapshots_.Push(s); }
  void OnEvent(const EngineEvent& e) override {
    if (auto* d = std::get_if<DiagnosticEvent>(&e)) {
      lines_.Push(d->line);
    } else if (auto* r = std::get_if<SyncReport>(&e)) {
      lines_.Push(r->message);
    } else {
      update_events_.Push(e);
    }
  }

 private:
  LatestBridge<EngineSnapshot>& snapshots_;
  QueueBridge<std::string>& lines_;
  QueueBridge<EngineEvent>& update_events_;
};

}  // namespace

EngineOptions DesktopEngineOptions(const DesktopProgramOptions& options) {
  EngineOptions engine_options;
  engine_options.home = options.home;
  engine_options.service_build = false;
  // Without a program path the engine names <home>/QOR_MDL_Server.
  if (!options.program.empty()) engine_options.run_value_data = options.program.lexically_normal().string();
  return engine_options;
}

int RunDesktopServer(const DesktopServerOptions& options) {
  Registry registry(options.RegistryPath(), [](const std::string& m) { Line(m); });
  SystemClock system_clock;
  // Without the right to set the machine's clock, the time is served held in the process.
  FallbackClock fallback_clock(system_clock);
  VirtualClock virtual_clock;
  Clock& clock = options.virtual_clock ? static_cast<Clock&>(virtual_clock) : fallback_clock;

  MainWindow* window = nullptr;
  LatestBridge<EngineSnapshot> snapshots(nullptr, [&window](const SnapshotPtr& s) {
    if (window) window->ApplySnapshot(s);
  });
  QueueBridge<std::string> lines(nullptr, [](const std::string& l) { Line(l); });
  QueueBridge<EngineEvent> update_events(nullptr, [&window](const EngineEvent& e) {
    if (window) window->ShowUpdateEvent(e);
  });
  BridgeListener listener(snapshots, lines, update_events);

  EngineHandle engine(clock, registry, DesktopEngineOptions(options), &listener);
  desktop::HandlePort port(engine);

  int status = 0;
  {
    MainWindowOptions wo;
    wo.version = QString::fromUtf8(kVersion.data(), static_cast<qsizetype>(kVersion.size()));
    wo.program = options.program;
    wo.program_arguments = options.autostart_arguments;
    wo.set_autostart = [program = options.program, args = options.autostart_arguments](bool on) {
      return SetAutostart("QOR_MDL_Server", "Meridel Server", program, args, on);
    };
    wo.update_check = [&port] { port.Post(cmd::CheckForUpdates{}); };
    QtTrayIcon tray(nullptr);
    MainWindow main_window(port, tray, wo);
    window = &main_window;
    Line("starting in " + options.home.string() +
         (options.virtual_clock ? " (virtual clock: the machine's clock is never set)" : ""));
    QObject::connect(&main_window, &MainWindow::closed, qApp, &QApplication::quit, Qt::QueuedConnection);
    main_window.show();
    engine.StartThread();
    main_window.FinishStartUp(options.run_from_tray);
    if (options.after_start) options.after_start(main_window);
    status = QApplication::exec();
    // The shutdown (posted by the window's close) is waited for here.
    engine.Stop();
    window = nullptr;
  }
  Line("stopped");
  return status;
}

}  // namespace mdl::ui
