// The advanced configuration dialog.
#include "desktop/qt/server/config_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "desktop/qt/server/window_texts.h"

namespace mdl::ui {

ConfigDialog::ConfigDialog(EnginePort& engine, ConfigHooks hooks, QWidget* parent)
    : QDialog(parent), engine_(engine), hooks_(std::move(hooks)) {
  setObjectName("frmConfig");
  setModal(false);
  auto* layout = new QVBoxLayout(this);
  auto* region_label = new QLabel("Select What Region this Server will Operate in");
  region_label->setObjectName("RegionLbl");
  regions_ = new QComboBox;
  regions_->setObjectName("Regions");
  regions_->setAccessibleName("Region");
  regions_->addItems(RegionLines());
  region_label->setBuddy(regions_);
  auto* closest = new QLabel("Select the closest region to you.");
  closest->setObjectName("closelbl");
  logs_ = new QCheckBox("Enable Extended WC3 Logging.");
  logs_->setObjectName("wc3Logs");
  run_ = new QCheckBox("Run Meridel Server when Windows Starts.");
  run_->setObjectName("RunMDL");
  run_->setToolTip(" Also starts it with the desktop session (XDG autostart) ");
  autostart_problem_ = new QLabel;
  autostart_problem_->setObjectName("autostartProblem");
  autostart_problem_->setWordWrap(true);
  autostart_problem_->hide();
  open_min_ = new QCheckBox("Open Minimized?");
  open_min_->setObjectName("OpenMin");
  time_zone_ = new QPushButton("Time Zone");
  time_zone_->setObjectName("SelTimeZone");
  check_update_ = new QPushButton("Check for Software Updates");
  check_update_->setObjectName("CheckUpdate");
  ok_ = new QPushButton("OK");
  ok_->setObjectName("cfgsvrOK");
  ok_->setDefault(true);

  layout->addWidget(region_label);
  layout->addWidget(regions_);
  layout->addWidget(closest);
  layout->addSpacing(8);
  layout->addWidget(logs_);
  layout->addWidget(run_);
  layout->addWidget(autostart_problem_);
  layout->addWidget(open_min_);
  layout->addSpacing(8);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(time_zone_);
  buttons->addWidget(check_update_);
  buttons->addStretch(1);
  buttons->addWidget(ok_);
  layout->addLayout(buttons);

  if (!hooks_.update_check) {
    check_update_->setEnabled(false);
    check_update_->setToolTip(" The update check is not part of this version ");
  }

  connect(regions_, QOverload<int>::of(&QComboBox::activated), this, [this](int index) {
    if (index < 0) return;
    engine_.Post(cmd::SetRegion{regions_->itemText(index).left(2).toStdString()});
  });
  connect(logs_, &QCheckBox::clicked, this, [this](bool on) { engine_.Post(cmd::SetLogging{on}); });
  connect(run_, &QCheckBox::clicked, this, [this](bool on) {
    engine_.Post(cmd::SetRunAtStart{on});
    if (!hooks_.set_autostart) return;
    const std::string problem = hooks_.set_autostart(on);
    autostart_problem_->setText(problem.empty() ? QString()
                                                : "Autostart entry: " + QString::fromStdString(problem));
    autostart_problem_->setVisible(!problem.empty());
  });
  connect(open_min_, &QCheckBox::clicked, this, [this](bool on) { engine_.Post(cmd::SetOpenMinimized{on}); });
  connect(time_zone_, &QPushButton::clicked, this, [this] {
    if (hooks_.open_time_settings) hooks_.open_time_settings();
  });
  connect(check_update_, &QPushButton::clicked, this, [this] {
    if (!hooks_.update_check) return;
    check_update_->setEnabled(false);
    hooks_.update_check();
  });
  connect(ok_, &QPushButton::clicked, this, &QDialog::close);
}

void ConfigDialog::Load(const EngineSnapshot* s, const QString& main_caption) {
  setWindowTitle(ConfigCaption(main_caption));
  QSignalBlocker b1(regions_), b2(logs_), b3(run_), b4(open_min_);
  // A region code that matches no line leaves the list without a selection.
  regions_->setCurrentIndex(s ? RegionLineIndex(s->region) : -1);
  run_->setChecked(s && s->run_at_start);
  open_min_->setChecked(s && s->open_minimized);
  logs_->setChecked(s && s->logging);
  if (s) SetUpdateButton(s->update_button_enabled);
}

void ConfigDialog::UpdateCheckDone() { check_update_->setEnabled(static_cast<bool>(hooks_.update_check)); }

void ConfigDialog::SetUpdateButton(bool enabled) {
  const bool on = enabled && static_cast<bool>(hooks_.update_check);
  if (check_update_->isEnabled() != on) check_update_->setEnabled(on);
}

}  // namespace mdl::ui
