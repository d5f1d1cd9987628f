// RunDesktopServer.
#include "desktop/win32/server/desktop_server.h"

#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>
#include <utility>

#include "common/clock/fallback_clock.h"
#include "common/clock/system_clock.h"
#include "common/clock/virtual_clock.h"
#include "common/registry/registry.h"
#include "desktop/model/engine_port.h"
#include "desktop/win32/common/shell.h"
#include "desktop/win32/common/wide.h"
#include "desktop/win32/server/server_window.h"
#include "server/core/engine_handle.h"
#include "server/core/settings.h"
#include "version.h"

namespace mdl::win32 {
namespace {

// Where the settings are kept when --registry names no file.
constexpr const char* kServerSettingsKey = "HKEY_LOCAL_MACHINE\\Software\\Meridel Server";

void Line(const std::string& text) {
  std::fprintf(stderr, "QOR_MDL_Server: %s\n", text.c_str());
  std::fflush(stderr);
}

// Runs on the engine's thread: snapshots and update events go to the
// window's bridges, diagnostic lines to stderr.
class WindowListener : public EngineListener {
 public:
  explicit WindowListener(ServerWindow& window) : window_(window) {}
  void OnSnapshot(const SnapshotPtr& s) override { window_.snapshots().Push(s); }
  void OnEvent(const EngineEvent& e) override {
    if (const auto* d = std::get_if<DiagnosticEvent>(&e)) {
      Line(d->line);
    } else if (const auto* r = std::get_if<SyncReport>(&e)) {
      Line(r->message);
    } else {
      window_.events().Push(e);
    }
  }

 private:
  ServerWindow& window_;
};

}  // namespace

std::wstring RunValueCommand(const std::filesystem::path& program,
                             const std::vector<std::string>& arguments) {
  return CommandLine(program, arguments);
}

int RunDesktopServer(const DesktopServerOptions& options) {
  // An empty path is the Windows registry.
  Registry registry(options.registry.empty() ? DefaultStoreFile(options.home) : options.registry,
                    [](const std::string& m) { Line(m); });
  SystemClock system_clock;
  // Without the right to set the machine's clock, the time is served held in the process.
  FallbackClock fallback_clock(system_clock);
  VirtualClock virtual_clock;
  Clock& clock = options.virtual_clock ? static_cast<Clock&>(virtual_clock) : fallback_clock;
  const std::wstring run_command = RunValueCommand(options.program, options.run_arguments);

  EngineOptions engine_options;
  engine_options.home = options.home;
  engine_options.service_build = false;
  engine_options.run_value_data = Narrow(run_command);

  // The window first: the listener hands it what the engine publishes.
  std::unique_ptr<EngineHandle> engine;
  struct LatePort : desktop::EnginePort {
    EngineHandle* handle = nullptr;
    void Post(EngineCommand command) override {
      if (handle) handle->Post(std::move(command));
    }
  } port;

  ServerWindowOptions window_options;
  window_options.version = std::string(kVersion);
  window_options.settings_place = options.registry.empty() ? kServerSettingsKey : options.registry.string();
  window_options.config_hooks.update_check = [&port] { port.Post(cmd::CheckForUpdates{}); };
  window_options.config_hooks.open_time_settings = [] {
    // A failure to start it is ignored.
    OpenTimeDateSettings();
  };
  window_options.config_hooks.set_autostart = [run_command](bool on) {
    return SetRunValue(Widen(kRunValueName), run_command, on);
  };
  ServerWindow window(port, window_options);
  WindowListener listener(window);
  engine = std::make_unique<EngineHandle>(clock, registry, engine_options, &listener);
  port.handle = engine.get();

  if (!window.Create()) {
    Line("the window could not be made: " + ErrorText(GetLastError()));
    return 1;
  }
  window.on_destroyed = [] { PostQuitMessage(0); };
  bool stopped = false;
  auto stop = [&] {
    if (!std::exchange(stopped, true)) engine->Stop();
  };
  window.on_session_end = stop;
  Line("starting in " + options.home.string() +
       (options.virtual_clock ? " (virtual clock: the machine's clock is never set)" : ""));
  window.Show(options.run_from_tray);
  engine->StartThread();

  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (window.PreTranslate(msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  // The shutdown (posted by the window's close) is waited for here.
  stop();
  engine.reset();
  Line("stopped");
  return static_cast<int>(msg.wParam);
}

}  // namespace mdl::win32
