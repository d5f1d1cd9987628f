// The server's main window: the tree of services, the selected service's
// panel, the status label, the clock box, the "Server Synchronization"
// frame with the server list and the interval, the activity lamps and the
// status line; minimised, the tray icon. A thin layer over
// desktop::ServerWindowModel: control events go to the model, which posts
// the commands, and the controls show its view(). Snapshots and update
// events come from the engine's thread through the window's bridges.
#pragma once

#include <windows.h>

#include <array>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "desktop/model/config_model.h"
#include "desktop/model/engine_port.h"
#include "desktop/model/server_window_model.h"
#include "desktop/model/update_prompt.h"
#include "desktop/model/window_texts.h"
#include "desktop/win32/common/controls.h"
#include "desktop/win32/common/images.h"
#include "desktop/win32/common/tray_icon.h"
#include "desktop/win32/common/window_bridge.h"
#include "server/core/engine_snapshot.h"

namespace mdl::win32 {

class AboutWindow;
class ConfigWindow;

struct ServerWindowOptions {
  std::string version;  // for the About window
  // Where the settings are kept, as the About window names it.
  std::string settings_place = desktop::kSettingsFileName;
  // What the configuration dialog starts (the update check, the date and
  // time settings, the Run value); a null hook is not available.
  desktop::ConfigHooks config_hooks;
  // Starts the updater; default StartProgram. False when it could not start.
  std::function<bool(const desktop::ProgramStart&)> start_program;
  // Shows an update message box and returns the button (IDYES, IDNO, IDOK);
  // default MessageBoxW owned by the window.
  std::function<int(HWND owner, const desktop::UpdatePrompt&)> message_box;
};

class ServerWindow {
 public:
  ServerWindow(desktop::EnginePort& engine, ServerWindowOptions options);
  ~ServerWindow();
  ServerWindow(const ServerWindow&) = delete;
  ServerWindow& operator=(const ServerWindow&) = delete;

  // Makes the window with its controls, hidden; false when it could not.
  bool Create();
  HWND hwnd() const { return hwnd_; }
  // Shows it normally, or (-rs) goes straight to the tray.
  void Show(bool run_from_tray);

  // The bridges the engine's listener pushes into (from its thread).
  LatestBridge<EngineSnapshot>& snapshots() { return snapshots_; }
  QueueBridge<EngineEvent>& events() { return events_; }

  // What the bridges deliver, on the window's thread (tests call them directly).
  void ApplySnapshot(const SnapshotPtr& snapshot);
  void ShowEngineEvent(const EngineEvent& event);
  // The clock tick (`SvrTime`, every second).
  void ClockTick();

  // Minimise to the tray, restore from it (the tray's clicks and `mnuShow`).
  void MinimiseToTray();
  void RestoreFromTray();
  // `mnuExit`: closes the window, which ends the program.
  void ExitFromMenu();
  bool in_tray() const { return in_tray_; }
  bool exit_requested() const { return exit_requested_; }

  // Runs once the window is destroyed (the program's loop ends).
  std::function<void()> on_destroyed;
  // Windows ends the session: runs after the shutdown was posted and must
  // wait for it (the process may end as soon as the message returns).
  std::function<void()> on_session_end;

  const desktop::ServerWindowModel& model() const { return model_; }
  TrayIcon* tray() { return tray_.get(); }
  ConfigWindow* config_window() { return config_.get(); }
  AboutWindow* about_window() { return about_.get(); }
  // The tooltip a control (by ID) shows; empty for none.
  std::wstring TooltipOf(int control_id) const;
  // The control with that ID (the tree, a panel's box, ...).
  HWND Control(int control_id) const { return GetDlgItem(hwnd_, control_id); }
  // The tray menu `mnuMain` (Show, Exit); owned by the window.
  HMENU tray_menu() const { return tray_menu_; }
  // For the program's message loop: Tab, Enter and Escape in the window and
  // its dialogs; true when the message was taken.
  bool PreTranslate(MSG& msg);

  // The window procedure (ObjectWindowProc).
  LRESULT Handle(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);

 private:
  struct Panel {
    HWND frame = nullptr;
    HWND enable = nullptr;
    HWND tcp = nullptr;
    HWND udp = nullptr;
    HWND port_label = nullptr;
    HWND port = nullptr;
    HWND requester_label = nullptr;
    HWND requester = nullptr;
  };

  void OnCreate();
  void OnCommand(int id, int code, HWND control);
  LRESULT OnNotify(const NMHDR& header);
  void OnSize(WPARAM kind);
  void OnDpiChanged(UINT dpi, const RECT& suggested);
  void OnClose();
  void OnTray(LPARAM lparam);

  void MakeControls();
  void MakeFonts();
  void Layout();
  // Shows the model's view: every control whose text or state changed.
  void Render();
  void RenderServers();
  void RenderTree();
  void SetLamp(size_t index, bool lit);
  void SelectNode(int node);
  void OpenAbout();
  void OpenConfig();
  int PanelSlotOf(int control_id, int* part) const;
  void PostInterval(bool from_list);

  desktop::EnginePort& engine_;
  ServerWindowOptions options_;
  desktop::ServerWindowModel model_;
  HWND hwnd_ = nullptr;
  UINT dpi_ = 96;
  Font font_;
  Font clock_font_;
  Font bold_font_;
  std::unique_ptr<ImageSet> images_;
  std::unique_ptr<Tooltips> tips_;
  std::unique_ptr<TrayIcon> tray_;
  HICON big_icon_ = nullptr;
  HICON small_icon_ = nullptr;
  HMENU tray_menu_ = nullptr;

  HWND tree_ = nullptr;  // `MDL_TV`
  std::array<HTREEITEM, 8> nodes_{};
  std::array<Panel, 5> panels_{};
  HWND svr_stat_ = nullptr;  // `svrStatlbl`
  HWND svr_stat_frame_ = nullptr;
  HWND clock_ = nullptr;       // `svrCurrent`
  HWND sync_frame_ = nullptr;  // `Options`
  HWND servers_label_ = nullptr;
  HWND servers_ = nullptr;  // `Servers`
  HWND random_ = nullptr;   // `RandomCheck`
  HWND every_label_ = nullptr;
  HWND sync_n_ = nullptr;     // `SyncN`
  HWND sync_unit_ = nullptr;  // `SyncIntC`
  std::array<HWND, 5> leds_{};
  std::array<HWND, 5> led_names_{};
  std::array<int, 5> led_shown_{-1, -1, -1, -1, -1};  // picture shown: -1 none, 0 dark, 1 lit
  HWND status_ = nullptr;                             // `Status`
  HWND status_frame_ = nullptr;

  std::unique_ptr<ConfigWindow> config_;
  std::unique_ptr<AboutWindow> about_;

  LatestBridge<EngineSnapshot> snapshots_;
  QueueBridge<EngineEvent> events_;

  ComboChoice server_choice_;
  ComboChoice unit_choice_;
  std::vector<desktop::ServerItemView> shown_servers_;
  int tree_node_shown_ = 0;  // the model's node the tree was last set to
  bool applying_ = false;    // the window sets controls: their notifications are not the operator's
  bool minimised_ = false;   // minimised: in the tray, or on the task bar without one
  bool in_tray_ = false;
  HWND focus_ = nullptr;  // the control with the keyboard when the window was left
  bool exit_requested_ = false;
  bool closing_ = false;
};

}  // namespace mdl::win32
