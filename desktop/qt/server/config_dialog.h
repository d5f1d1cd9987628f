// The advanced configuration dialog: region of the upstream servers, request
// logging, start with the desktop session, open minimised, the date and time
// settings and the update check. The Qt controls over ConfigModel, which
// posts each change to the engine at once; the engine saves them at shutdown.
#pragma once

#include <QDialog>
#include <functional>
#include <string>

#include "desktop/model/config_model.h"
#include "desktop/model/engine_port.h"
#include "server/core/engine_snapshot.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;

namespace mdl::ui {

using desktop::ConfigHooks;

class ConfigDialog : public QDialog {
 public:
  ConfigDialog(desktop::EnginePort& engine, ConfigHooks hooks, QWidget* parent);

  // The dialog's load: caption, region line, boxes from the latest snapshot.
  void Load(const EngineSnapshot* snapshot, const QString& main_caption);
  // The update check has finished: the button can be used again.
  void UpdateCheckDone();
  // The button follows the engine: enabled while no check runs.
  void SetUpdateButton(bool enabled);

 private:
  // Every control as the model's view says.
  void ShowView();

  desktop::ConfigModel model_;
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
