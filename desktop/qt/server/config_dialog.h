// The advanced configuration dialog: region of the upstream servers, request
// logging, start with the desktop session, open minimised, the date and time
// settings and the update check. Each change is posted to the engine at once;
// the engine saves them at shutdown.
#pragma once

#include <QDialog>
#include <functional>
#include <string>

#include "desktop/qt/server/engine_port.h"
#include "server/core/engine_snapshot.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;

namespace mdl::ui {

struct ConfigHooks {
  std::function<void()> update_check;  // null: not available
  std::function<void()> open_time_settings;
  std::function<std::string(bool on)> set_autostart;  // error text, empty on success
};

class ConfigDialog : public QDialog {
 public:
  ConfigDialog(EnginePort& engine, ConfigHooks hooks, QWidget* parent);

  // The dialog's load: caption, region line, boxes from the latest snapshot.
  void Load(const EngineSnapshot* snapshot, const QString& main_caption);
  // The update check has finished: the button can be used again.
  void UpdateCheckDone();
  // The button follows the engine: enabled while no check runs.
  void SetUpdateButton(bool enabled);

 private:
  EnginePort& engine_;
  ConfigHooks hooks_;
  QComboBox* regions_;
  QCheckBox* logs_;
  QCheckBox* run_;
  QCheckBox* open_min_;
  QPushButton* time_zone_;
  QPushButton* check_update_;
  QPushButton* ok_;
  QLabel* autostart_problem_;
};

}  // namespace mdl::ui
