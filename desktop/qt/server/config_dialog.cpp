// The advanced configuration dialog.
#include "desktop/qt/server/config_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "desktop/model/window_texts.h"
#include "desktop/qt/common/controls.h"

namespace mdl::ui {
namespace {

namespace text = desktop::config_text;

}  // namespace

ConfigDialog::ConfigDialog(desktop::EnginePort& engine, ConfigHooks hooks, QWidget* parent)
    : QDialog(parent), model_(engine, std::move(hooks)) {
  setObjectName("frmConfig");
  setModal(false);
  auto* layout = new QVBoxLayout(this);
  auto* region_label = new QLabel(text::kRegionLabel);
  region_label->setObjectName("RegionLbl");
  regions_ = new QComboBox;
  regions_->setObjectName("Regions");
  regions_->setAccessibleName("Region");
  for (const std::string& line : desktop::RegionLines()) regions_->addItem(QString::fromStdString(line));
  region_label->setBuddy(regions_);
  auto* closest = new QLabel(text::kClosest);
  closest->setObjectName("closelbl");
  logs_ = new QCheckBox(text::kLogs);
  logs_->setObjectName("wc3Logs");
  run_ = new QCheckBox(text::kRun);
  run_->setObjectName("RunMDL");
  run_->setToolTip(" Also starts it with the desktop session (XDG autostart) ");
  autostart_problem_ = NewAutostartProblemLabel();
  open_min_ = new QCheckBox(text::kOpenMinimized);
  open_min_->setObjectName("OpenMin");
  time_zone_ = new QPushButton(text::kTimeZone);
  time_zone_->setObjectName("SelTimeZone");
  check_update_ = new QPushButton(text::kCheckUpdate);
  check_update_->setObjectName("CheckUpdate");
  ok_ = new QPushButton(text::kOk);
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

  connect(regions_, QOverload<int>::of(&QComboBox::activated), this,
          [this](int index) { model_.RegionChosen(index); });
  connect(logs_, &QCheckBox::clicked, this, [this](bool on) { model_.LogsClicked(on); });
  connect(run_, &QCheckBox::clicked, this, [this](bool on) {
    model_.RunClicked(on);
    ShowView();
  });
  connect(open_min_, &QCheckBox::clicked, this, [this](bool on) { model_.OpenMinimizedClicked(on); });
  connect(time_zone_, &QPushButton::clicked, this, [this] { model_.TimeZoneClicked(); });
  connect(check_update_, &QPushButton::clicked, this, [this] {
    model_.CheckUpdateClicked();
    ShowView();
  });
  connect(ok_, &QPushButton::clicked, this, &QDialog::close);
  ShowView();
}

void ConfigDialog::ShowView() {
  const desktop::ConfigView& v = model_.view();
  if (const QString caption = Q(v.caption); windowTitle() != caption) setWindowTitle(caption);
  {
    QSignalBlocker block(regions_);
    if (regions_->currentIndex() != v.region_index) regions_->setCurrentIndex(v.region_index);
  }
  SetChecked(logs_, v.logging);
  SetChecked(run_, v.run_at_start);
  SetChecked(open_min_, v.open_minimized);
  SetEnabled(check_update_, v.update_enabled);
  SetToolTip(check_update_, Q(v.update_tooltip));
  ShowAutostartProblem(autostart_problem_, v.autostart_problem);
}

void ConfigDialog::Load(const EngineSnapshot* s, const QString& main_caption) {
  model_.Load(s, main_caption.toStdString());
  ShowView();
}

void ConfigDialog::UpdateCheckDone() {
  model_.UpdateCheckDone();
  ShowView();
}

void ConfigDialog::SetUpdateButton(bool enabled) {
  model_.SetUpdateButton(enabled);
  ShowView();
}

}  // namespace mdl::ui
