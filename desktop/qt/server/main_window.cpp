// The server's main window.
#include "desktop/qt/server/main_window.h"

#include <QMessageBox>
#include <QProcess>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QSignalBlocker>
#include <QSplitter>
#include <QStackedWidget>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "common/clock/system_clock.h"
#include "desktop/model/image_numbers.h"
#include "desktop/model/update_prompt.h"
#include "desktop/model/window_texts.h"
#include "desktop/qt/common/controls.h"
#include "desktop/qt/common/desktop_session.h"
#include "desktop/qt/server/about_window.h"
#include "desktop/qt/server/config_dialog.h"
#include "desktop/qt/server/images.h"

namespace mdl::ui {

using desktop::kImageLedOff;
using desktop::kImageLedOn;
using desktop::kImageServer;
using desktop::kNodeCount;
using desktop::NodeAction;
using desktop::NodeCaption;
using desktop::NodeService;
using desktop::ServiceNode;
namespace text = desktop::server_text;

namespace {

struct ControlNames {
  const char* enable;
  const char* tcp;
  const char* udp;
  const char* port;
};
// In panel-slot order.
constexpr ControlNames kNames[kServiceCount] = {
    {"eNTP", "eTCP37", "eUDP37", "NTP_Ptxt"},       {"eDTS", "eTCP13", "eUDP13", "DS_Ptxt"},
    {"eSNTP", "eTCP123", "eUDP123", "SNTP_Ptxt"},   {"eUnix", "eTCP519", "eUDP519", "Unix_Ptxt"},
    {"eMDLS", "eTCP3777", "eUDP3777", "MDLS_Ptxt"},
};

// A framed status text of `lines` lines that can be selected.
QLabel* NewStatusLabel(const char* name, const char* accessible_name, int lines) {
  auto* label = new QLabel;
  label->setObjectName(name);
  label->setAccessibleName(accessible_name);
  label->setFrameShape(QFrame::StyledPanel);
  label->setMinimumHeight(label->fontMetrics().lineSpacing() * lines + 8);
  label->setTextInteractionFlags(Qt::TextSelectableByMouse);
  return label;
}

}  // namespace

MainWindow::MainWindow(desktop::EnginePort& engine, TrayIcon& tray, MainWindowOptions options)
    : engine_(engine), model_(engine), tray_(tray), options_(std::move(options)) {
  setObjectName("MDLServerWindow");
  setWindowTitle(Q(model_.view().caption));
  setWindowIcon(ImageIcon(kImageServer));

  auto* central = new QWidget(this);
  auto* outer = new QVBoxLayout(central);
  auto* top = new QHBoxLayout;
  BuildTree();
  top->addWidget(tree_, 0);
  auto* right = new QVBoxLayout;
  right->addWidget(BuildPanels());
  right->addWidget(BuildClockBox());
  top->addLayout(right, 1);
  outer->addLayout(top, 1);
  outer->addWidget(BuildSync());
  outer->addWidget(BuildIndicators());
  setCentralWidget(central);

  BuildTrayMenu();
  tray_.SetMenu(tray_menu_);
  tray_.on_click = [this](TrayIcon::Click c) {
    // Left button up or double click: back to the normal state. A right
    // click opens `mnuMain` (the tray icon's context menu).
    if (c == TrayIcon::Click::kLeft || c == TrayIcon::Click::kDouble) RestoreFromTray();
  };
  tray_window_ = new TrayWindow(this, tray_);
  tray_window_->on_state_changed = [this](bool minimised) { OnStateChanged(minimised); };

  clock_timer_ = new QTimer(this);
  clock_timer_->setInterval(1000);
  connect(clock_timer_, &QTimer::timeout, this, &MainWindow::ClockTick);
  clock_timer_->start();

  ShowView();
  resize(minimumSizeHint().expandedTo(QSize(760, 520)));
}

MainWindow::~MainWindow() { tray_.on_click = nullptr; }

void MainWindow::BuildTree() {
  tree_ = new QTreeWidget;
  tree_->setObjectName("MDL_TV");
  tree_->setAccessibleName("Services");
  tree_->setHeaderHidden(true);
  tree_->setColumnCount(1);
  tree_->setRootIsDecorated(true);
  tree_->setMinimumWidth(tree_->fontMetrics().horizontalAdvance("MDL Server Client Server") + 70);
  auto* root = new QTreeWidgetItem(tree_, QStringList{Q(NodeCaption(1))});
  root->setIcon(0, ImageIcon(desktop::NodeImage(1)));
  root->setData(0, Qt::UserRole, 1);
  nodes_[0] = root;
  for (int node = 2; node <= kNodeCount; ++node) {
    auto* item = new QTreeWidgetItem(root, QStringList{Q(NodeCaption(node))});
    item->setIcon(0, ImageIcon(desktop::NodeImage(node)));
    item->setData(0, Qt::UserRole, node);
    nodes_[node - 1] = item;
  }
  tree_->expandItem(root);
  tree_->setCurrentItem(root);
  auto node_of = [](QTreeWidgetItem* item) { return item ? item->data(0, Qt::UserRole).toInt() : 0; };
  // The arrow keys move through the service panels; the About window and the
  // configuration dialog open on a click or Enter, not when the keys pass by.
  connect(tree_, &QTreeWidget::currentItemChanged, this, [this, node_of](QTreeWidgetItem* item) {
    const int node = node_of(item);
    if (NodeService(node)) SelectNode(node);
  });
  connect(tree_, &QTreeWidget::itemClicked, this, [this, node_of](QTreeWidgetItem* item) {
    const int node = node_of(item);
    if (!NodeService(node)) SelectNode(node);
  });
  connect(tree_, &QTreeWidget::itemActivated, this, [this, node_of](QTreeWidgetItem* item) {
    const int node = node_of(item);
    if (!NodeService(node)) SelectNode(node);
  });
}

QWidget* MainWindow::BuildPanels() {
  auto* box = new QWidget;
  auto* layout = new QVBoxLayout(box);
  layout->setContentsMargins(0, 0, 0, 0);
  panels_ = new QStackedWidget;
  for (Service s : kAllServices) {
    const size_t i = Index(s);
    const QString caption = Q(NodeCaption(ServiceNode(s)));
    Panel& p = panel_[i];
    p.frame = new QGroupBox(caption);
    p.frame->setObjectName(QString("proto_f%1").arg(i));
    auto* g = new QGridLayout(p.frame);
    p.enable = new QCheckBox(text::kEnabled);
    p.enable->setObjectName(kNames[i].enable);
    p.enable->setAccessibleName(caption + " enabled");
    p.tcp = new QCheckBox(text::kTcp);
    p.tcp->setObjectName(kNames[i].tcp);
    p.tcp->setAccessibleName(caption + " over TCP");
    p.udp = new QCheckBox(text::kUdp);
    p.udp->setObjectName(kNames[i].udp);
    p.udp->setAccessibleName(caption + " over UDP");
    p.port = new QLineEdit;
    p.port->setObjectName(kNames[i].port);
    p.port->setAccessibleName(caption + " port");
    p.port->setMaxLength(text::kPortMaxLength);
    p.port->setMaximumWidth(p.port->fontMetrics().horizontalAdvance("0000000000"));
    p.requester = new QLineEdit;
    p.requester->setObjectName(QString("MDLRemHost%1").arg(i));
    p.requester->setAccessibleName(caption + " last requester");
    p.requester->setReadOnly(true);
    auto* port_label = new QLabel(text::kPortLabel);
    port_label->setBuddy(p.port);
    auto* req_label = new QLabel(text::kRequesterLabel);
    req_label->setBuddy(p.requester);
    g->addWidget(p.enable, 0, 0);
    g->addWidget(p.tcp, 0, 1);
    g->addWidget(p.udp, 0, 2);
    g->addWidget(port_label, 1, 0);
    g->addWidget(p.port, 1, 1, 1, 2, Qt::AlignLeft);
    g->addWidget(req_label, 2, 0);
    g->addWidget(p.requester, 2, 1, 1, 2);
    g->setColumnStretch(2, 1);
    g->setRowStretch(3, 1);
    panels_->addWidget(p.frame);

    connect(p.enable, &QCheckBox::clicked, this, [this, s](bool on) {
      model_.EnableClicked(s, on);
      ShowView();
    });
    connect(p.tcp, &QCheckBox::clicked, this, [this, s](bool on) { model_.TcpClicked(s, on); });
    connect(p.udp, &QCheckBox::clicked, this, [this, s](bool on) { model_.UdpClicked(s, on); });
    connect(p.port, &QLineEdit::textEdited, this,
            [this, s](const QString& t) { model_.PortEdited(s, t.toStdString()); });
    connect(p.port, &QLineEdit::returnPressed, this, [this, s] { model_.PortEnter(s); });
  }
  layout->addWidget(panels_);
  svr_stat_ = NewStatusLabel("svrStatlbl", "Service status", 3);
  layout->addWidget(svr_stat_);
  return box;
}

QWidget* MainWindow::BuildClockBox() {
  clock_ = new QPlainTextEdit;
  clock_->setObjectName("svrCurrent");
  clock_->setAccessibleName("Local time and UTC");
  clock_->setReadOnly(true);
  clock_->setFocusPolicy(Qt::TabFocus);
  clock_->setLineWrapMode(QPlainTextEdit::NoWrap);
  clock_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  mono.setBold(true);
  clock_->setFont(mono);
  const QFontMetrics fm(mono);
  clock_->setFixedHeight(fm.lineSpacing() * 3 + 14);
  clock_->setMinimumWidth(fm.horizontalAdvance("   WED SEPTEMBER 30 2026 12:00:00 PM") + 24);
  clock_->setPlainText(Q(model_.view().clock_text));
  return clock_;
}

QWidget* MainWindow::BuildSync() {
  options_frame_ = new QGroupBox(text::kSyncFrame);
  options_frame_->setObjectName("Options");
  options_frame_->setToolTip(text::kSyncFrameTooltip);
  options_frame_->installEventFilter(this);
  auto* g = new QGridLayout(options_frame_);
  servers_ = new QComboBox;
  servers_->setObjectName("Servers");
  servers_->setAccessibleName("Atomic time server");
  servers_->setIconSize(QSize(16, 11));
  servers_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  servers_->setMinimumContentsLength(40);
  auto* servers_label = new QLabel(text::kServersLabel);
  servers_label->setBuddy(servers_);
  random_ = new QCheckBox(text::kRandom);
  random_->setObjectName("RandomCheck");
  sync_n_ = new QLineEdit;
  sync_n_->setObjectName("SyncN");
  sync_n_->setAccessibleName("Synchronization interval count");
  sync_n_->setMaximumWidth(sync_n_->fontMetrics().horizontalAdvance("0000000") + 12);
  sync_unit_ = new QComboBox;
  sync_unit_->setObjectName("SyncIntC");
  sync_unit_->setAccessibleName("Synchronization interval unit");
  sync_unit_->setEditable(true);
  sync_unit_->setInsertPolicy(QComboBox::NoInsert);
  for (const char* unit : text::kUnits) sync_unit_->addItem(unit);
  sync_unit_->setCurrentIndex(model_.view().interval_unit_item);
  sync_unit_->setEditText(Q(model_.view().interval_unit));
  auto* every = new QLabel(text::kEveryLabel);
  every->setBuddy(sync_n_);
  g->addWidget(servers_label, 0, 0);
  g->addWidget(servers_, 0, 1, 1, 4);
  g->addWidget(random_, 1, 0, 1, 2);
  g->addWidget(every, 1, 2, Qt::AlignRight);
  g->addWidget(sync_n_, 1, 3);
  g->addWidget(sync_unit_, 1, 4);
  g->setColumnStretch(1, 1);

  connect(servers_, QOverload<int>::of(&QComboBox::activated), this,
          [this](int index) { model_.ServerChosen(index); });
  connect(random_, &QCheckBox::clicked, this, [this](bool on) { model_.RandomClicked(on); });
  connect(sync_n_, &QLineEdit::textEdited, this,
          [this](const QString& t) { SetText(sync_n_, Q(model_.CountEdited(t.toStdString()))); });
  connect(sync_n_, &QLineEdit::returnPressed, this, &MainWindow::PostInterval);
  connect(sync_unit_, QOverload<int>::of(&QComboBox::activated), this, [this](int) { PostInterval(); });
  return options_frame_;
}

QWidget* MainWindow::BuildIndicators() {
  auto* box = new QWidget;
  auto* layout = new QVBoxLayout(box);
  layout->setContentsMargins(0, 0, 0, 0);
  auto* row = new QHBoxLayout;
  for (size_t i = 0; i < kIndicatorCount; ++i) {
    leds_[i] = new QLabel;
    leds_[i]->setObjectName(QString("LED%1").arg(i));
    leds_[i]->setAccessibleName(QString("%1 indicator").arg(text::kLedNames[i]));
    leds_[i]->setToolTip(Q(desktop::LedTooltip(static_cast<int>(i))));
    auto* name = new QLabel(text::kLedNames[i]);
    row->addWidget(leds_[i]);
    row->addWidget(name);
    row->addSpacing(10);
  }
  row->addStretch(1);
  layout->addLayout(row);
  status_ = NewStatusLabel("Status", "Server status", 4);
  layout->addWidget(status_);
  return box;
}

void MainWindow::BuildTrayMenu() {
  tray_menu_ = new QMenu(this);
  tray_menu_->setObjectName("mnuMain");
  mnu_show_ = tray_menu_->addAction(text::kMenuShow);
  mnu_show_->setObjectName("mnuShow");
  mnu_exit_ = tray_menu_->addAction(text::kMenuExit);
  mnu_exit_->setObjectName("mnuExit");
  connect(mnu_show_, &QAction::triggered, this, &MainWindow::RestoreFromTray);
  connect(mnu_exit_, &QAction::triggered, this, &MainWindow::ExitFromMenu);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (watched == options_frame_ && event->type() == QEvent::MouseButtonDblClick) {
    model_.SyncNowDoubleClick();
    return true;
  }
  return QMainWindow::eventFilter(watched, event);
}

void MainWindow::PostInterval() {
  model_.IntervalEntered(sync_n_->text().toStdString(), sync_unit_->currentText().toStdString());
}

int MainWindow::ShownSlot() const { return panels_->currentIndex(); }

void MainWindow::SelectNode(int node) {
  switch (model_.SelectNode(node)) {
    case NodeAction::kShowPanel:
      ShowPanel(model_.view());
      break;
    case NodeAction::kOpenAbout:
      ShowAbout();
      break;
    case NodeAction::kOpenConfig:
      ShowConfig();
      break;
    case NodeAction::kNone:
      break;
  }
  // About and the configuration open a window of their own: the highlight
  // goes back to the node whose panel is shown.
  ShowPanel(model_.view());
}

void MainWindow::ShowAbout() {
  if (!about_) about_ = new AboutWindow(options_.version, this);
  about_->show();
  about_->raise();
  about_->activateWindow();
}

void MainWindow::ShowConfig() {
  if (!config_) {
    ConfigHooks hooks;
    hooks.update_check = options_.update_check;
    hooks.open_time_settings = options_.open_time_settings ? options_.open_time_settings : [] {
      // A failure to start it is ignored.
      StartDateTimeSettings();
    };
    hooks.set_autostart = options_.set_autostart;
    config_ = new ConfigDialog(engine_, std::move(hooks), this);
  }
  config_->Load(model_.snapshot().get(), windowTitle());
  config_->show();
  config_->raise();
  config_->activateWindow();
}

bool MainWindow::Normal() const { return !tray_window_->InTray() && !(windowState() & Qt::WindowMinimized); }

void MainWindow::SetLed(int index, bool lit) {
  if (index < 0 || index >= static_cast<int>(kIndicatorCount)) return;
  // The first time, and on changes only: the picture stays while the state does.
  if (leds_[index]->pixmap().isNull() || led_lit_[index] != lit) {
    led_lit_[index] = lit;
    leds_[index]->setPixmap(ImagePixmap(lit ? kImageLedOn : kImageLedOff, 16, devicePixelRatioF() * 2));
  }
}

void MainWindow::ApplySnapshot(const SnapshotPtr& snapshot) {
  if (!snapshot) return;
  const bool open_minimised = model_.ApplySnapshot(snapshot, MonotonicNow());
  ShowView();
  if (config_) config_->SetUpdateButton(model_.view().update_button_enabled);
  // "OpenMinimized": the window starts minimised.
  if (open_minimised) MinimiseToTray();
}

void MainWindow::ShowPanel(const desktop::ServerWindowView& v) {
  // One frame and its requester box visible, the others hidden.
  const int slot = static_cast<int>(Index(v.shown_service));
  if (panels_->currentIndex() != slot) panels_->setCurrentIndex(slot);
  QTreeWidgetItem* item = nodes_[static_cast<size_t>(v.shown_node - 1)];
  if (tree_->currentItem() != item) {
    QSignalBlocker block(tree_);
    tree_->setCurrentItem(item);
  }
}

void MainWindow::ShowView() {
  const desktop::ServerWindowView& v = model_.view();
  ShowPanel(v);
  for (Service svc : kAllServices) {
    const desktop::ServicePanelView& pv = v.panels[Index(svc)];
    Panel& p = panel_[Index(svc)];
    SetChecked(p.enable, pv.enabled);
    SetChecked(p.tcp, pv.tcp);
    SetChecked(p.udp, pv.udp);
    SetEnabled(p.tcp, pv.transports_enabled);
    SetEnabled(p.udp, pv.transports_enabled);
    // What the operator is typing stays until the field is left.
    if (!p.port->hasFocus()) SetText(p.port, Q(pv.port_text));
    SetToolTip(p.port, Q(pv.port_tooltip));
    SetText(p.requester, Q(pv.requester));
    SetToolTip(p.requester, Q(pv.requester_tooltip));
  }
  SetLabel(svr_stat_, Q(v.service_status));
  SetLabel(status_, Q(v.status_line));
  ShowServers(v);
  SetChecked(random_, v.random);
  if (!sync_n_->hasFocus()) SetText(sync_n_, Q(v.interval_count));
  if (!sync_unit_->hasFocus() && (sync_unit_->currentText() != Q(v.interval_unit) ||
                                  sync_unit_->currentIndex() != v.interval_unit_item)) {
    QSignalBlocker block(sync_unit_);
    // The list's current entry is the unit shown, so that the open list
    // starts there and Enter keeps it; the text stays as the engine has it.
    sync_unit_->setCurrentIndex(v.interval_unit_item);
    sync_unit_->setEditText(Q(v.interval_unit));
  }
  if (const QString caption = Q(v.caption); windowTitle() != caption) setWindowTitle(caption);
  for (size_t i = 0; i < kIndicatorCount; ++i) SetLed(static_cast<int>(i), v.indicators_lit[i]);
  if (const QString clock = Q(v.clock_text); clock_->toPlainText() != clock) clock_->setPlainText(clock);
  SetToolTip(clock_, Q(v.clock_tooltip));
  ShowTray(v);
}

void MainWindow::ShowServers(const desktop::ServerWindowView& v) {
  QSignalBlocker block(servers_);
  if (v.servers != shown_servers_) {
    shown_servers_ = v.servers;
    servers_->clear();
    for (const desktop::ServerItemView& e : v.servers) servers_->addItem(ImageIcon(e.image), Q(e.text));
  }
  if (v.selected_server >= -1 && v.selected_server < servers_->count() &&
      servers_->currentIndex() != v.selected_server)
    servers_->setCurrentIndex(v.selected_server);
  SetToolTip(servers_, Q(v.servers_tooltip));
}

void MainWindow::ShowTray(const desktop::ServerWindowView& v) {
  if (v.tray_picture != shown_tray_picture_) {
    shown_tray_picture_ = v.tray_picture;
    tray_.SetIcon(ImageIcon(v.tray_picture));
  }
  if (v.tray_tip != shown_tray_tip_) {
    shown_tray_tip_ = v.tray_tip;
    tray_.SetToolTip(Q(v.tray_tip));
  }
}

void MainWindow::ShowUpdateEvent(const EngineEvent& event) {
  if (std::optional<desktop::UpdatePrompt> prompt = desktop::PromptFor(event)) {
    auto* box = new QMessageBox(
        prompt->icon == UpdateIcon::kExclamation ? QMessageBox::Warning : QMessageBox::Information,
        Q(prompt->title), Q(prompt->text),
        prompt->yes_no ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setObjectName("UpdateMessage");
    if (prompt->question) {
      connect(box, &QMessageBox::finished, this, [this, p = *prompt](int result) {
        if (auto answer = desktop::AnswerFor(p, result == QMessageBox::Yes)) engine_.Post(std::move(*answer));
      });
    }
    box->open();
  } else if (auto start = desktop::UpdaterStartFor(event, windowTitle().toStdString())) {
    if (options_.start_program) {
      options_.start_program(start->program, start->arguments);
    } else {
      QStringList list;
      for (const std::string& a : start->arguments) list << Q(a);
      // A failure to start it is ignored, as for the date and time settings.
      QProcess::startDetached(QString::fromStdString(start->program.string()), list);
    }
  }
}

void MainWindow::ClockTick() {
  model_.ClockTick(MonotonicNow());
  ShowView();
}

void MainWindow::OnStateChanged(bool) {
  // The selected panel again, and the tray icon's picture and tip.
  model_.SetShownNormal(Normal());
  ShowView();
}

void MainWindow::MinimiseToTray() { tray_window_->Minimise(); }

void MainWindow::RestoreFromTray() { tray_window_->Restore(); }

void MainWindow::FinishStartUp(bool run_from_tray) {
  if (run_from_tray) MinimiseToTray();
}

void MainWindow::ExitFromMenu() {
  exit_requested_ = true;
  close();
}

void MainWindow::closeEvent(QCloseEvent* event) {
  // The engine closes its sockets and saves the settings.
  if (model_.Closing()) {
    clock_timer_->stop();
    if (config_) config_->close();
    if (about_) about_->close();
    tray_.Remove();
    emit closed();
  }
  event->accept();
}

}  // namespace mdl::ui
