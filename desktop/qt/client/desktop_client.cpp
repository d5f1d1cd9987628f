// RunDesktopClient.
#include "desktop/qt/client/desktop_client.h"

#include <QApplication>
#include <QStringList>
#include <cstdio>
#include <memory>

#include "client/client_handle.h"
#include "common/clock/system_clock.h"
#include "common/clock/virtual_clock.h"
#include "common/registry/registry.h"
#include "desktop/model/client_port.h"
#include "desktop/qt/client/client_window.h"
#include "desktop/qt/common/desktop_session.h"
#include "desktop/qt/common/latest_bridge.h"

namespace mdl::ui {
namespace {

void Line(const std::string& text) { std::fprintf(stderr, "QOR_MDLSC: %s\n", text.c_str()); }

}  // namespace

int RunDesktopClient(const DesktopClientOptions& options) {
  Registry registry(options.RegistryPath(), [](const std::string& m) { Line(m); });
  SystemClock system_clock;
  VirtualClock virtual_clock;
  Clock& clock = options.virtual_clock ? static_cast<Clock&>(virtual_clock) : system_clock;

  ClientWindow* window = nullptr;
  bool exit_requested = false;
  LatestBridge<ClientSnapshot> snapshots(nullptr, [&window](const std::shared_ptr<const ClientSnapshot>& s) {
    if (window) window->ApplySnapshot(s);
  });
  QueueBridge<ClientEvent> events(nullptr, [&](const ClientEvent& e) {
    if (const auto* d = std::get_if<client_event::Diagnostic>(&e)) {
      Line(d->line);
    } else if (std::holds_alternative<client_event::ExitRequest>(e)) {
      // "-ro" is done: the window closes, which ends the program.
      exit_requested = true;
      if (window) window->close();
    }
  });

  ClientAppOptions app_options;
  app_options.run_once = options.run_once;
  app_options.virtual_clock = options.virtual_clock;
  if (!options.program.empty())
    app_options.run_value_data = ClientRunValueData(options.program.parent_path().string());
  ClientHandleOutputs outputs;
  outputs.on_snapshot = [&snapshots](std::shared_ptr<const ClientSnapshot> s) {
    snapshots.Push(std::move(s));
  };
  outputs.on_event = [&events](const ClientEvent& e) { events.Push(e); };
  ClientHandle handle(clock, registry, app_options, outputs);
  desktop::ClientHandlePort port(handle);

  int status = 0;
  {
    ClientWindowOptions wo;
    wo.switch_given = options.run_from_tray || options.run_once;
    if (!options.program.empty()) {
      wo.set_autostart = [program = options.program, args = options.autostart_arguments](bool on) {
        return SetAutostart("QOR_MDLSC", "MDL Server Client", program, args, on);
      };
    }
    QtTrayIcon tray(nullptr);
    ClientWindow client_window(port, tray, wo);
    window = &client_window;
    QObject::connect(&client_window, &ClientWindow::reportShown, [](const QString& text) {
      for (const QString& line : text.split('\n')) Line("report: " + line.toStdString());
    });
    Line("starting in " + options.home.string() +
         (options.virtual_clock ? " (virtual clock: the machine's clock is never set)" : ""));
    QObject::connect(&client_window, &ClientWindow::closed, qApp, &QApplication::quit, Qt::QueuedConnection);
    client_window.show();
    handle.Start();
    client_window.FinishStartUp(options.run_from_tray);
    if (options.after_start) options.after_start(client_window);
    QApplication::exec();
    // The shutdown (posted by the window's close) is waited for here.
    status = handle.Stop();
    window = nullptr;
  }
  // Closed before its exchange was done, "-ro" has not set the clock.
  if (options.run_once && !exit_requested) status = 1;
  Line("stopped");
  return status;
}

}  // namespace mdl::ui
