// The desktop client's window on Windows: the server host, the interval, the
// two start options, the report box and the "MDL Client" menu (F5, F1);
// minimised, the tray icon with the last exchange's tip. Every edit and menu
// choice goes through the client window model, which posts the commands;
// the window shows the model's view and never reads engine state.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "client/client_handle.h"
#include "desktop/model/client_port.h"
#include "desktop/model/client_window_model.h"
#include "desktop/win32/client/client_layout.h"
#include "desktop/win32/common/controls.h"
#include "desktop/win32/common/tray_icon.h"
#include "desktop/win32/common/window_bridge.h"

namespace mdl::win32 {

class ClientWindow {
 public:
  // Without options.open_help, Help opens the help page with ShellExecuteW.
  explicit ClientWindow(desktop::ClientPort& engine, desktop::ClientWindowOptions options = {});
  ~ClientWindow();
  ClientWindow(const ClientWindow&) = delete;
  ClientWindow& operator=(const ClientWindow&) = delete;

  // Makes the window (hidden) with its controls, menu and tray icon; false
  // when Windows refused. Show it with ShowWindow(hwnd(), ...).
  bool Create(HINSTANCE instance);
  HWND hwnd() const { return hwnd_; }

  // The engine thread pushes here; the window takes them as posted messages
  // (ApplySnapshot, on_event). Values pushed before Create wait for it.
  LatestBridge<ClientSnapshot>& snapshots() { return snapshots_; }
  QueueBridge<ClientEvent>& events() { return events_; }

  // A snapshot of the engine, on the window's thread.
  void ApplySnapshot(const std::shared_ptr<const ClientSnapshot>& snapshot);
  // End of start-up: "-rs" puts the window in the tray.
  void FinishStartUp(bool run_from_tray);

  void MinimiseToTray();
  void RestoreFromTray();
  bool InTray() const { return in_tray_; }
  // Closes the window as its close box does (the shutdown is posted once).
  void Close();

  // Keyboard messages of the message loop: the menu's accelerators and the
  // tab order between the controls. True when the message was taken.
  bool TranslateMessageFor(MSG* msg);

  HMENU main_menu() const { return main_menu_; }
  const TrayIcon* tray() const { return tray_.get(); }
  const Tooltips* tooltips() const { return tooltips_.get(); }
  // The tray tip as it stands (shown in the tray while minimised).
  const std::string& tray_tip() const { return model_.view().tip; }

  // The window was closed: the shutdown was posted; the program ends.
  std::function<void()> on_closed;
  // Windows ends the session: the engine must be stopped (settings saved) before it returns.
  std::function<void()> on_session_end;
  // The report box took a new report (lines joined by "\n").
  std::function<void(const std::string&)> on_report_shown;
  // The engine's events, in order, on the window's thread.
  std::function<void(const ClientEvent&)> on_event;

 private:
  static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT Handle(UINT message, WPARAM wparam, LPARAM lparam);
  void CreateControls();
  void BuildMenu();
  void ApplyDpi();  // font and icons for the window's DPI
  void Measure();   // the layout's text sizes
  void LayOut();
  int ProblemLines(int width) const;
  void OnCommand(int id, int code);
  void OnSize(WPARAM kind);
  // Sets every control from the model's view; the field with the focus
  // only when `fill_fields`.
  void Show(bool fill_fields = false);
  HWND Item(int id) const { return GetDlgItem(hwnd_, id); }

  desktop::ClientWindowModel model_;
  LatestBridge<ClientSnapshot> snapshots_;
  QueueBridge<ClientEvent> events_;
  HWND hwnd_ = nullptr;
  HMENU menu_bar_ = nullptr;
  HMENU main_menu_ = nullptr;
  HACCEL accelerators_ = nullptr;
  Font font_;
  HICON icon_ = nullptr;
  HICON small_icon_ = nullptr;
  std::unique_ptr<TrayIcon> tray_;
  std::unique_ptr<Tooltips> tooltips_;
  ClientLayoutMetrics metrics_;
  HWND focus_ = nullptr;  // the control that had the focus when the window was left
  bool in_tray_ = false;
  bool closing_ = false;
  int updating_ = 0;  // > 0 while the window sets controls itself: no edit events
  ComboChoice unit_choice_;
};

}  // namespace mdl::win32
