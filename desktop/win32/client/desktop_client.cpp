// RunDesktopClient.
#include "desktop/win32/client/desktop_client.h"

#include <cstdio>
#include <memory>
#include <string>
#include <variant>

#include "client/client_handle.h"
#include "client/client_settings.h"
#include "common/clock/system_clock.h"
#include "common/clock/virtual_clock.h"
#include "common/registry/registry.h"
#include "desktop/model/client_port.h"
#include "desktop/win32/client/client_window.h"
#include "desktop/win32/common/shell.h"
#include "desktop/win32/common/wide.h"

namespace mdl::win32 {
namespace {

void Line(const std::string& text) {
  std::fprintf(stderr, "QOR_MDLSC: %s\n", text.c_str());
  std::fflush(stderr);
}

}  // namespace

std::string ClientRunValueDataFor(const std::filesystem::path& program) {
  std::string folder = Narrow(program.parent_path().wstring());
  // A drive's root (C:\ with its separator) needs none added.
  if (folder.empty() || folder.back() != '\\') folder += '\\';
  return folder + "QOR_MDLSC.exe";
}

int RunDesktopClient(HINSTANCE instance, const DesktopClientOptions& options) {
  const bool system_store = options.registry.empty();
  Registry registry(system_store ? DefaultStoreFile(options.home) : options.registry,
                    [](const std::string& m) { Line(m); });
  SystemClock system_clock;
  VirtualClock virtual_clock;
  Clock& clock = options.virtual_clock ? static_cast<Clock&>(virtual_clock) : system_clock;

  desktop::ClientWindowOptions window_options;
  window_options.switch_given = options.run_from_tray || options.run_once;
  ClientAppOptions app_options;
  app_options.run_once = options.run_once;
  app_options.virtual_clock = options.virtual_clock;
  if (!options.program.empty()) {
    app_options.run_value_data = ClientRunValueDataFor(options.program);
    // With the Windows registry as the store the Run value is also written
    // at once, so that a refusal shows under the box (the engine writes it
    // again at the end, as it always has). A file store keeps its own Run
    // value and leaves the system's alone.
    if (system_store) {
      window_options.set_autostart = [data = Widen(app_options.run_value_data)](bool on) {
        return SetRunValue(Widen(kClientRunValueName), data, on);
      };
    }
  }
  // Set while the window exists; the engine runs only meanwhile (a handle
  // that never started shuts down on this thread when it goes).
  ClientWindow* window = nullptr;
  ClientHandleOutputs outputs;
  outputs.on_snapshot = [&window](std::shared_ptr<const ClientSnapshot> s) {
    if (window) window->snapshots().Push(std::move(s));
  };
  outputs.on_event = [&window](const ClientEvent& e) {
    if (window) window->events().Push(e);
  };
  ClientHandle handle(clock, registry, app_options, outputs);
  desktop::ClientHandlePort port(handle);

  int status = 0;
  bool stopped = false;
  bool exit_requested = false;
  {
    ClientWindow client_window(port, window_options);
    // Before the engine starts: its outputs reach the window's bridges.
    window = &client_window;
    if (!client_window.Create(instance)) {
      window = nullptr;
      Line("cannot create the window: " + ErrorText(GetLastError()));
      return 1;
    }
    client_window.on_event = [&](const ClientEvent& e) {
      if (const auto* d = std::get_if<client_event::Diagnostic>(&e)) {
        Line(d->line);
      } else if (std::holds_alternative<client_event::ExitRequest>(e)) {
        // "-ro" is done: the window closes, which ends the program.
        exit_requested = true;
        client_window.Close();
      }
    };
    client_window.on_report_shown = [](const std::string& text) {
      size_t start = 0;
      for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
        Line("report: " + text.substr(start, end - start));
        start = end + 1;
      }
      Line("report: " + text.substr(start));
    };
    client_window.on_closed = [] { PostQuitMessage(0); };
    // Windows ends the session: the settings are saved before the process goes.
    client_window.on_session_end = [&] {
      status = handle.Stop();
      stopped = true;
    };
    Line("starting in " + Narrow(options.home.wstring()) +
         (options.virtual_clock ? " (virtual clock: the machine's clock is never set)" : ""));
    ShowWindow(client_window.hwnd(), options.show_command);
    handle.Start();
    client_window.FinishStartUp(options.run_from_tray);
    if (options.after_start) options.after_start(client_window);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
      if (client_window.TranslateMessageFor(&msg)) continue;
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    // The shutdown (posted by the window's close) is waited for here.
    if (!stopped) status = handle.Stop();
    window = nullptr;
  }
  // Closed before its exchange was done, "-ro" has not set the clock.
  if (options.run_once && !exit_requested) status = 1;
  Line("stopped");
  return status;
}

}  // namespace mdl::win32
