// The server's main window: the tree of services, the selected service's
// panel, the clock box, the upstream server list with the synchronisation
// controls, the activity indicators and the status texts; minimised, the
// tray icon. The Qt controls over the view model (ServerWindowModel), which
// decides what they show and which command an action posts; it never reads
// engine state, and nothing in it runs per request (snapshots come at most
// ten a second, the clock once a second).
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <array>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "desktop/model/engine_port.h"
#include "desktop/model/server_window_model.h"
#include "desktop/qt/common/tray.h"
#include "desktop/qt/server/about_window.h"
#include "desktop/qt/server/config_dialog.h"
#include "server/core/engine_snapshot.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QAction;
class QPlainTextEdit;
class QStackedWidget;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;

namespace mdl::ui {

struct MainWindowOptions {
  QString version;                             // the version text, for the About window
  std::filesystem::path program;               // this program, for the autostart entry
  std::vector<std::string> program_arguments;  // what the autostart entry passes
  // Starts the product update check; null: the update check is not available.
  std::function<void()> update_check;
  // Writes or removes the autostart entry (default: the XDG entry); returns an error text.
  std::function<std::string(bool on)> set_autostart;
  // Starts the date and time settings (default: the desktop's program).
  std::function<void()> open_time_settings;
  // Starts the updater (default: detached, as its own process); false when it could not start.
  std::function<bool(const std::filesystem::path& program, const std::vector<std::string>& arguments)>
      start_program;
};

class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  MainWindow(desktop::EnginePort& engine, TrayIcon& tray, MainWindowOptions options = {});
  ~MainWindow() override;

  // A snapshot of the engine, on the window's thread.
  void ApplySnapshot(const SnapshotPtr& snapshot);
  // The update check's questions and notices as message boxes (a question's
  // answer is posted when its box closes; closing counts as No), and the
  // start of the updater.
  void ShowUpdateEvent(const EngineEvent& event);
  // End of start-up: "-rs" hides the window (the server runs from the tray).
  void FinishStartUp(bool run_from_tray);

  // The clock tick (every second): indicators dark, clock box, zone tooltip.
  void ClockTick();
  // As a click on tree node 1 to 8.
  void SelectNode(int node);
  // Minimise to the tray, restore from it (the tray's clicks and `mnuShow`).
  void MinimiseToTray();
  void RestoreFromTray();
  // `mnuExit`: closes the window, which ends the program.
  void ExitFromMenu();

  bool InTray() const { return tray_window_->InTray(); }
  int ShownSlot() const;
  bool exit_requested() const { return exit_requested_; }
  ConfigDialog* config_dialog() const { return config_; }
  AboutWindow* about_window() const { return about_; }
  QMenu* tray_menu() const { return tray_menu_; }
  const SnapshotPtr& snapshot() const { return model_.snapshot(); }
  // The tray icon's picture: its image number (1 the server, else a flag).
  int tray_picture() const { return model_.view().tray_picture; }

 signals:
  // The window was closed: the shutdown was posted; the program ends.
  void closed();

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  struct Panel {
    QGroupBox* frame = nullptr;  // `proto_f`
    QCheckBox* enable = nullptr;
    QCheckBox* tcp = nullptr;
    QCheckBox* udp = nullptr;
    QLineEdit* port = nullptr;
    QLineEdit* requester = nullptr;  // `MDLRemHost`
  };
  void BuildTree();
  QWidget* BuildPanels();
  QWidget* BuildClockBox();
  QWidget* BuildSync();
  QWidget* BuildIndicators();
  void BuildTrayMenu();
  void ShowAbout();
  void ShowConfig();
  void OnStateChanged(bool minimised);
  void SetLed(int index, bool lit);
  // Every control as the model's view says, each touched only when it differs.
  void ShowView();
  void ShowPanel(const desktop::ServerWindowView& v);
  void ShowServers(const desktop::ServerWindowView& v);
  void ShowTray(const desktop::ServerWindowView& v);
  void PostInterval();
  bool Normal() const;

  desktop::EnginePort& engine_;
  desktop::ServerWindowModel model_;
  TrayIcon& tray_;
  MainWindowOptions options_;
  TrayWindow* tray_window_ = nullptr;
  QTreeWidget* tree_ = nullptr;  // `MDL_TV`
  std::array<QTreeWidgetItem*, 8> nodes_{};
  QStackedWidget* panels_ = nullptr;
  std::array<Panel, kServiceCount> panel_{};
  QLabel* svr_stat_ = nullptr;                   // `svrStatlbl`
  QPlainTextEdit* clock_ = nullptr;              // `svrCurrent`
  QGroupBox* options_frame_ = nullptr;           // `Options`
  QComboBox* servers_ = nullptr;                 // `Servers`
  QCheckBox* random_ = nullptr;                  // `RandomCheck`
  QLineEdit* sync_n_ = nullptr;                  // `SyncN`
  QComboBox* sync_unit_ = nullptr;               // `SyncIntC`
  std::array<QLabel*, kIndicatorCount> leds_{};  // `LED`
  std::array<bool, kIndicatorCount> led_lit_{};
  QLabel* status_ = nullptr;    // `Status`
  QMenu* tray_menu_ = nullptr;  // `mnuMain`
  QAction* mnu_show_ = nullptr;
  QAction* mnu_exit_ = nullptr;
  QTimer* clock_timer_ = nullptr;  // `SvrTime`
  QPointer<ConfigDialog> config_;
  QPointer<AboutWindow> about_;

  // What the list and the tray icon were last given.
  std::vector<desktop::ServerItemView> shown_servers_;
  int shown_tray_picture_ = 0;
  std::string shown_tray_tip_;
  bool exit_requested_ = false;
};

}  // namespace mdl::ui
