// The desktop client's window: the server host, the interval, the two start
// options, the report box and the menus; minimised, the tray icon with the
// last exchange's tip. The Qt controls over ClientWindowModel, which posts
// the user's edits and menu choices as commands and decides what the
// controls show for the engine's snapshots; it never reads engine state.
#pragma once

#include <QMainWindow>
#include <QString>
#include <functional>
#include <memory>
#include <string>

#include "client/client_handle.h"
#include "desktop/model/client_port.h"
#include "desktop/model/client_window_model.h"
#include "desktop/qt/common/tray.h"

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;

namespace mdl::ui {

// Without an `open_help`, the Help menu opens the page in the desktop's browser.
using desktop::ClientWindowOptions;

class ClientWindow : public QMainWindow {
  Q_OBJECT

 public:
  ClientWindow(desktop::ClientPort& engine, TrayIcon& tray, ClientWindowOptions options = {});
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
  QString tray_tip() const { return QString::fromStdString(model_.view().tip); }
  const std::shared_ptr<const ClientSnapshot>& snapshot() const { return model_.snapshot(); }

 signals:
  // The window was closed: the shutdown was posted; the program ends.
  void closed();
  // The report box took a new report.
  void reportShown(const QString& text);

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildMenu();
  void OnStateChanged(bool minimised);
  void MenuChosen(desktop::ClientMenuItem item);
  // The controls as the model's view says (the edit fields and boxes only
  // when `load` is set: after their first load, the user's edits lead).
  void ShowView(bool load);

  desktop::ClientWindowModel model_;
  TrayIcon& tray_;
  TrayWindow* tray_window_ = nullptr;
  QLineEdit* host_ = nullptr;       // `MDLSHost`
  QLineEdit* number_ = nullptr;     // `svrFreN`
  QComboBox* unit_ = nullptr;       // `svrFreQ`
  QCheckBox* run_min_ = nullptr;    // `RunMin`
  QCheckBox* run_start_ = nullptr;  // `RunStart`
  QLabel* autostart_problem_ = nullptr;
  QPlainTextEdit* report_ = nullptr;  // `t3777`
  QMenu* main_menu_ = nullptr;

  std::string shown_tip_;  // the tip last given to the tray icon
};

}  // namespace mdl::ui
