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

#include "client/client_core.h"
#include "desktop/qt/client/client_icon.h"

namespace mdl::ui {
namespace {

namespace cmd = client_command;

QString Q(const std::string& s) { return QString::fromStdString(s); }
QString Q(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

const QString kUnits[] = {"Hour/s", "Minute/s", "Second/s", "Day/s"};

QString DefaultTip() { return " " + Q(kClientName); }

}  // namespace

ClientWindow::ClientWindow(ClientPort& engine, TrayIcon& tray, ClientWindowOptions options)
    : engine_(engine), tray_(tray), options_(std::move(options)), tip_(DefaultTip()) {
  setObjectName("MDLClientWindow");
  setWindowTitle(Q(kClientName));
  setWindowIcon(ClientIcon());

  auto* central = new QWidget(this);
  auto* g = new QGridLayout(central);
  host_ = new QLineEdit("hostname");
  host_->setObjectName("MDLSHost");
  host_->setAccessibleName("MDL server host");
  host_->setToolTip(" The MDL server: host, host:port or [IPv6]:port ");
  auto* host_label = new QLabel("MDL &Server:");
  host_label->setBuddy(host_);
  number_ = new QLineEdit("5");
  number_->setObjectName("svrFreN");
  number_->setAccessibleName("Synchronization interval count");
  number_->setMaxLength(10);
  number_->setMaximumWidth(number_->fontMetrics().horizontalAdvance("0000000000") + 12);
  unit_ = new QComboBox;
  unit_->setObjectName("svrFreQ");
  unit_->setAccessibleName("Synchronization interval unit");
  for (const QString& u : kUnits) unit_->addItem(u);
  unit_->setCurrentText("Minute/s");
  auto* every = new QLabel("Synchronize &every:");
  every->setBuddy(number_);
  run_min_ = new QCheckBox("Run Minimized in the System Tray.");
  run_min_->setObjectName("RunMin");
  run_min_->setChecked(true);
  run_start_ = new QCheckBox("Run when Windows Starts.");
  run_start_->setObjectName("RunStart");
  run_start_->setToolTip(" Also starts it with the desktop session (XDG autostart) ");
  autostart_problem_ = new QLabel;
  autostart_problem_->setObjectName("autostartProblem");
  autostart_problem_->setWordWrap(true);
  autostart_problem_->hide();
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
          [this](const QString& text) { engine_.Post(cmd::SetHost{text.trimmed().toStdString()}); });
  // The engine applies a number only; other text leaves the interval.
  connect(number_, &QLineEdit::textEdited, this,
          [this](const QString& text) { engine_.Post(cmd::SetIntervalNumber{text.toStdString()}); });
  connect(unit_, QOverload<int>::of(&QComboBox::activated), this,
          [this](int) { engine_.Post(cmd::SetIntervalUnit{unit_->currentText().toStdString()}); });
  connect(run_min_, &QCheckBox::clicked, this, [this](bool on) { engine_.Post(cmd::SetRunMinimized{on}); });
  connect(run_start_, &QCheckBox::clicked, this, [this](bool on) {
    // The Run value follows at the end; the autostart entry at once.
    engine_.Post(cmd::SetRunAtStart{on});
    if (!options_.set_autostart) return;
    const std::string problem = options_.set_autostart(on);
    autostart_problem_->setText(problem.empty() ? QString() : "Autostart entry: " + Q(problem));
    autostart_problem_->setVisible(!problem.empty());
  });

  BuildMenu();
  tray_.SetMenu(main_menu_);
  tray_.SetIcon(ClientIcon());
  tray_.SetToolTip(tip_);
  shown_tip_ = tip_;
  tray_.on_click = [this](TrayIcon::Click c) {
    // Left button up or double click: back to the normal state. A right
    // click opens the menu (the tray icon's context menu).
    if (c == TrayIcon::Click::kLeft || c == TrayIcon::Click::kDouble) RestoreFromTray();
  };
  tray_window_ = new TrayWindow(this, tray_);
  tray_window_->on_state_changed = [this](bool minimised) { OnStateChanged(minimised); };
  resize(minimumSizeHint().expandedTo(QSize(440, 300)));
}

ClientWindow::~ClientWindow() { tray_.on_click = nullptr; }

void ClientWindow::BuildMenu() {
  main_menu_ = menuBar()->addMenu("&MDL Client");
  main_menu_->setObjectName("mnuMain");
  mnu_sync_ = main_menu_->addAction("Synchronize Now");
  mnu_sync_->setObjectName("mnuSync");
  mnu_sync_->setShortcut(QKeySequence(Qt::Key_F5));
  mnu_set_ = main_menu_->addAction("MDL Server Client Settings");
  mnu_set_->setObjectName("mnuSet");
  mnu_help_ = main_menu_->addAction("Help");
  mnu_help_->setObjectName("mnuHelp");
  mnu_help_->setShortcut(QKeySequence(Qt::Key_F1));
  main_menu_->addSeparator();
  mnu_exit_ = main_menu_->addAction("Exit");
  mnu_exit_->setObjectName("mnuExit");
  // Shown bold; the tray's menu opens with it.
  main_menu_->setDefaultAction(mnu_set_);
  connect(mnu_sync_, &QAction::triggered, this, [this] { engine_.Post(cmd::SyncNow{}); });
  connect(mnu_set_, &QAction::triggered, this, &ClientWindow::RestoreFromTray);
  connect(mnu_help_, &QAction::triggered, this, [this] {
    if (options_.open_help) {
      options_.open_help();
    } else {
      // A failure to start the browser is ignored.
      QDesktopServices::openUrl(QUrl(kClientHelpUrl));
    }
  });
  connect(mnu_exit_, &QAction::triggered, this, &ClientWindow::close);
}

void ClientWindow::LoadControls(const ClientSnapshot& s) {
  QSignalBlocker b1(host_), b2(number_), b3(unit_), b4(run_min_), b5(run_start_);
  host_->setText(Q(s.settings.host));
  number_->setText(Q(s.settings.number));
  // A stored unit that is none of the list's stays as it is (its first three letters count).
  if (unit_->findText(Q(s.settings.unit)) < 0) unit_->addItem(Q(s.settings.unit));
  unit_->setCurrentText(Q(s.settings.unit));
  run_min_->setChecked(s.settings.run_minimized);
  run_start_->setChecked(s.run_at_start);
}

void ClientWindow::ApplySnapshot(const std::shared_ptr<const ClientSnapshot>& snapshot) {
  if (!snapshot || !snapshot->loaded) return;
  snapshot_ = snapshot;
  const ClientSnapshot& s = *snapshot;
  if (!loaded_) {
    // The stored settings fill the controls once; from then on the user's edits lead.
    loaded_ = true;
    LoadControls(s);
    if (s.settings.run_minimized && !options_.switch_given) MinimiseToTray();
  }
  const QString every = QString(" Every %1 seconds ").arg(s.interval_seconds);
  if (number_->toolTip() != every) number_->setToolTip(every);
  if (s.report != report_text_) {
    report_text_ = s.report;
    QString text = Q(s.report);
    text.replace("\r\n", "\n");
    report_->setPlainText(text);
    emit reportShown(text);
  }
  if (!s.tray_tip.empty() && Q(s.tray_tip) != tip_) {
    tip_ = Q(s.tray_tip);
    UpdateSZTIP();
  }
}

void ClientWindow::UpdateSZTIP() {
  // The tray icon changes only while it is shown, and only for a new tip.
  if (!InTray() || tip_ == shown_tip_) return;
  tray_.SetToolTip(tip_);
  shown_tip_ = tip_;
}

void ClientWindow::OnStateChanged(bool minimised) {
  if (minimised) UpdateSZTIP();
}

void ClientWindow::MinimiseToTray() { tray_window_->Minimise(); }

void ClientWindow::RestoreFromTray() { tray_window_->Restore(); }

void ClientWindow::FinishStartUp(bool run_from_tray) {
  if (run_from_tray) MinimiseToTray();
}

void ClientWindow::closeEvent(QCloseEvent* event) {
  if (!closing_) {
    closing_ = true;
    // The engine stops its exchange and saves what changed.
    engine_.Post(cmd::Shutdown{});
    tray_.Remove();
    emit closed();
  }
  event->accept();
}

}  // namespace mdl::ui
