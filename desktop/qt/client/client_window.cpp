// The desktop client's window.
#include "desktop/qt/client/client_window.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QSignalBlocker>
#include <QUrl>

#include "desktop/qt/client/client_icon.h"
#include "desktop/qt/common/controls.h"

namespace mdl::ui {
namespace {

namespace text = desktop::client_text;

}  // namespace

ClientWindow::ClientWindow(desktop::ClientPort& engine, TrayIcon& tray, ClientWindowOptions options)
    : model_(engine,
             [&options] {
               // Without a page opener of the host's: the desktop's browser (a failure is ignored).
               if (!options.open_help)
                 options.open_help = [] { QDesktopServices::openUrl(QUrl(desktop::kClientHelpUrl)); };
               return std::move(options);
             }()),
      tray_(tray) {
  const desktop::ClientWindowView& v = model_.view();
  setObjectName("MDLClientWindow");
  setWindowTitle(Q(v.caption));
  setWindowIcon(ClientIcon());

  auto* central = new QWidget(this);
  auto* g = new QGridLayout(central);
  host_ = new QLineEdit;
  host_->setObjectName("MDLSHost");
  host_->setAccessibleName("MDL server host");
  host_->setToolTip(text::kHostTooltip);
  auto* host_label = new QLabel(text::kHostLabel);
  host_label->setBuddy(host_);
  number_ = new QLineEdit;
  number_->setObjectName("svrFreN");
  number_->setAccessibleName("Synchronization interval count");
  number_->setMaxLength(text::kNumberMaxLength);
  number_->setMaximumWidth(number_->fontMetrics().horizontalAdvance("0000000000") + 12);
  unit_ = new QComboBox;
  unit_->setObjectName("svrFreQ");
  unit_->setAccessibleName("Synchronization interval unit");
  auto* every = new QLabel(text::kEveryLabel);
  every->setBuddy(number_);
  run_min_ = new QCheckBox(text::kRunMinimized);
  run_min_->setObjectName("RunMin");
  run_start_ = new QCheckBox(text::kRunAtStart);
  run_start_->setObjectName("RunStart");
  run_start_->setToolTip(" Also starts it with the desktop session (XDG autostart) ");
  autostart_problem_ = NewAutostartProblemLabel();
  report_ = new QPlainTextEdit;
  report_->setObjectName("t3777");
  report_->setAccessibleName("Report of the last synchronization");
  report_->setReadOnly(true);
  report_->setLineWrapMode(QPlainTextEdit::NoWrap);
  const QFontMetrics fm(report_->font());
  report_->setMinimumHeight(fm.lineSpacing() * 5 + 16);
  report_->setMinimumWidth(fm.horizontalAdvance("Drift: -999,999,999 milliseconds. Latency rTT: 2000ms") +
                           30);

  g->addWidget(host_label, 0, 0);
  g->addWidget(host_, 0, 1, 1, 2);
  g->addWidget(every, 1, 0);
  g->addWidget(number_, 1, 1);
  g->addWidget(unit_, 1, 2, Qt::AlignLeft);
  g->addWidget(run_min_, 2, 0, 1, 3);
  g->addWidget(run_start_, 3, 0, 1, 3);
  g->addWidget(autostart_problem_, 4, 0, 1, 3);
  g->addWidget(report_, 5, 0, 1, 3);
  g->setColumnStretch(2, 1);
  g->setRowStretch(5, 1);
  setCentralWidget(central);

  connect(host_, &QLineEdit::textEdited, this,
          [this](const QString& t) { model_.HostEdited(t.toStdString()); });
  connect(number_, &QLineEdit::textEdited, this,
          [this](const QString& t) { model_.NumberEdited(t.toStdString()); });
  connect(unit_, QOverload<int>::of(&QComboBox::activated), this,
          [this](int) { model_.UnitChosen(unit_->currentText().toStdString()); });
  connect(run_min_, &QCheckBox::clicked, this, [this](bool on) { model_.RunMinimizedClicked(on); });
  connect(run_start_, &QCheckBox::clicked, this, [this](bool on) {
    model_.RunAtStartClicked(on);
    ShowView(false);
  });

  BuildMenu();
  tray_.SetMenu(main_menu_);
  tray_.SetIcon(ClientIcon());
  shown_tip_ = v.tray_tip;
  tray_.SetToolTip(Q(shown_tip_));
  tray_.on_click = [this](TrayIcon::Click c) {
    // Left button up or double click: back to the normal state. A right
    // click opens the menu (the tray icon's context menu).
    if (c == TrayIcon::Click::kLeft || c == TrayIcon::Click::kDouble) RestoreFromTray();
  };
  tray_window_ = new TrayWindow(this, tray_);
  tray_window_->on_state_changed = [this](bool minimised) { OnStateChanged(minimised); };
  ShowView(true);
  resize(minimumSizeHint().expandedTo(QSize(440, 300)));
}

ClientWindow::~ClientWindow() { tray_.on_click = nullptr; }

void ClientWindow::BuildMenu() {
  main_menu_ = menuBar()->addMenu(text::kMenu);
  main_menu_->setObjectName("mnuMain");
  for (const desktop::ClientMenuEntry& e : desktop::kClientMenu) {
    if (e.separator_before) main_menu_->addSeparator();
    QAction* action = main_menu_->addAction(e.text);
    action->setObjectName(e.name);
    if (*e.shortcut) action->setShortcut(QKeySequence(e.shortcut));
    // Shown bold; the tray's menu opens with it.
    if (e.is_default) main_menu_->setDefaultAction(action);
    connect(action, &QAction::triggered, this, [this, item = e.item] { MenuChosen(item); });
  }
}

void ClientWindow::MenuChosen(desktop::ClientMenuItem item) {
  switch (model_.MenuChosen(item)) {
    case desktop::ClientMenuEffect::kRestore:
      RestoreFromTray();
      break;
    case desktop::ClientMenuEffect::kClose:
      close();
      break;
    case desktop::ClientMenuEffect::kNone:
      break;
  }
}

void ClientWindow::ShowView(bool load) {
  const desktop::ClientWindowView& v = model_.view();
  if (load) {
    SetText(host_, Q(v.host));
    SetText(number_, Q(v.number));
    QSignalBlocker block(unit_);
    for (int i = unit_->count(); i < static_cast<int>(v.units.size()); ++i)
      unit_->addItem(Q(v.units[static_cast<size_t>(i)]));
    unit_->setCurrentText(Q(v.unit));
  }
  SetChecked(run_min_, v.run_minimized);
  SetChecked(run_start_, v.run_at_start);
  SetToolTip(number_, Q(v.interval_tooltip));
  ShowAutostartProblem(autostart_problem_, v.autostart_problem);
  // The tray icon changes only for a new tip.
  if (v.tray_tip != shown_tip_) {
    shown_tip_ = v.tray_tip;
    tray_.SetToolTip(Q(shown_tip_));
  }
}

void ClientWindow::ApplySnapshot(const std::shared_ptr<const ClientSnapshot>& snapshot) {
  const desktop::ClientSnapshotEffects effects = model_.ApplySnapshot(snapshot);
  ShowView(effects.controls_loaded);
  if (effects.report_changed) {
    const QString text = Q(model_.view().report);
    report_->setPlainText(text);
    emit reportShown(text);
  }
  if (effects.go_to_tray) MinimiseToTray();
}

void ClientWindow::OnStateChanged(bool minimised) {
  model_.SetInTray(minimised && InTray());
  ShowView(false);
}

void ClientWindow::MinimiseToTray() { tray_window_->Minimise(); }

void ClientWindow::RestoreFromTray() { tray_window_->Restore(); }

void ClientWindow::FinishStartUp(bool run_from_tray) {
  if (run_from_tray) MinimiseToTray();
}

void ClientWindow::closeEvent(QCloseEvent* event) {
  // The engine stops its exchange and saves what changed.
  if (model_.Closing()) {
    tray_.Remove();
    emit closed();
  }
  event->accept();
}

}  // namespace mdl::ui
