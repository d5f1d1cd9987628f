// The desktop client's window: the server host, the interval, the two start
// options, the report box and the menus; minimised, the tray icon with the
// last exchange's tip. It posts the user's edits and menu choices as
// commands and shows the engine's snapshots; it never reads engine state.
#pragma once

#include <QMainWindow>
#include <QString>
#include <functional>
#include <memory>
#include <string>

#include "client/client_handle.h"
#include "desktop/qt/client/client_port.h"
#include "desktop/qt/common/tray.h"

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;

namespace mdl::ui {

// The help page the Help menu opens.
inline constexpr const char* kClientHelpUrl = "https://www.meridel-time.example/help/client.html";

struct ClientWindowOptions {
  // A first-argument switch was given: a stored "start minimised" does not
  // minimise the window at start.
  bool switch_given = false;
  // Writes or removes the autostart entry; returns an error text. Null: none.
  std::function<std::string(bool on)> set_autostart;
  // Opens the help page (default: the desktop's browser).
  std::function<void()> open_help;
};

class ClientWindow : public QMainWindow {
  Q_OBJECT

 public:
  ClientWindow(ClientPort& engine, TrayIcon& tray, ClientWindowOptions options = {});
  ~ClientWindow() override;

  // A snapshot of the engine, on the window's thread.
  void ApplySnapshot(const std::shared_ptr<const ClientSnapshot>& snapshot);
  // End of start-up: "-rs" puts the window in the tray.
  void FinishStartUp(bool run_from_tray);

  void MinimiseToTray();
  void RestoreFromTray();
  bool InTray() const { return tray_window_->InTray(); }

  QMenu* main_menu() const { return main_menu_; }
  // The tray tip as it stands (shown in the tray while minimised).
  const QString& tray_tip() const { return tip_; }
  const std::shared_ptr<const ClientSnapshot>& snapshot() const { return snapshot_; }

 signals:
  // The window was closed: the shutdown was posted; the program ends.
  void closed();
  // The report box took a new report.
  void reportShown(const QString& text);

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildMenu();
  void UpdateSZTIP();
  void OnStateChanged(bool minimised);
  void LoadControls(const ClientSnapshot& s);

  ClientPort& engine_;
  TrayIcon& tray_;
  ClientWindowOptions options_;
  TrayWindow* tray_window_ = nullptr;
  QLineEdit* host_ = nullptr;       // `MDLSHost`
  QLineEdit* number_ = nullptr;     // `svrFreN`
  QComboBox* unit_ = nullptr;       // `svrFreQ`
  QCheckBox* run_min_ = nullptr;    // `RunMin`
  QCheckBox* run_start_ = nullptr;  // `RunStart`
  QLabel* autostart_problem_ = nullptr;
  QPlainTextEdit* report_ = nullptr;  // `t3777`
  QMenu* main_menu_ = nullptr;
  QAction* mnu_sync_ = nullptr;
  QAction* mnu_set_ = nullptr;
  QAction* mnu_help_ = nullptr;
  QAction* mnu_exit_ = nullptr;

  std::shared_ptr<const ClientSnapshot> snapshot_;
  std::string report_text_;
  QString tip_;        // the tray icon record's tip
  QString shown_tip_;  // the tip last given to the tray icon
  bool loaded_ = false;
  bool closing_ = false;
};

}  // namespace mdl::ui
