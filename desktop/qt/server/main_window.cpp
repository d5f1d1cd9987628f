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
#include "common/time/clock_box_text.h"
#include "desktop/qt/common/desktop_session.h"
#include "desktop/qt/server/about_window.h"
#include "desktop/qt/server/config_dialog.h"
#include "desktop/qt/server/images.h"
#include "desktop/qt/server/window_texts.h"

namespace mdl::ui {
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

QString Q(const std::string& s) { return QString::fromStdString(s); }

void SetChecked(QCheckBox* box, bool on) {
  if (box->isChecked() == on) return;
  QSignalBlocker block(box);
  box->setChecked(on);
}

void SetText(QLineEdit* edit, const QString& text) {
  if (edit->text() == text) return;
  QSignalBlocker block(edit);
  edit->setText(text);
}

void SetLabel(QLabel* label, const QString& text) {
  if (label->text() != text) label->setText(text);
}

}  // namespace

MainWindow::MainWindow(EnginePort& engine, TrayIcon& tray, MainWindowOptions options)
    : engine_(engine), tray_(tray), options_(std::move(options)) {
  setObjectName("MDLServerWindow");
  setWindowTitle(WindowCaption(-1));
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
  tray_.SetIcon(ImageIcon(kImageServer));
  tray_.SetToolTip(DefaultTrayTip());
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

  for (int i = 0; i < static_cast<int>(kIndicatorCount); ++i) SetLed(i, false);
  ShowPanel(Service::kTime);
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
  auto* root = new QTreeWidgetItem(tree_, QStringList{NodeCaption(1)});
  root->setIcon(0, ImageIcon(kImageServer));
  root->setData(0, Qt::UserRole, 1);
  nodes_[0] = root;
  for (int node = 2; node <= kNodeCount; ++node) {
    auto* item = new QTreeWidgetItem(root, QStringList{NodeCaption(node)});
    item->setIcon(0, ImageIcon(node <= 6 ? kImageService : kImageServer));
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
    Panel& p = panel_[i];
    p.frame = new QGroupBox(NodeCaption(ServiceNode(s)));
    p.frame->setObjectName(QString("proto_f%1").arg(i));
    auto* g = new QGridLayout(p.frame);
    p.enable = new QCheckBox("&Enabled");
    p.enable->setObjectName(kNames[i].enable);
    p.enable->setAccessibleName(NodeCaption(ServiceNode(s)) + " enabled");
    p.tcp = new QCheckBox("&TCP");
    p.tcp->setObjectName(kNames[i].tcp);
    p.tcp->setAccessibleName(NodeCaption(ServiceNode(s)) + " over TCP");
    p.udp = new QCheckBox("&UDP");
    p.udp->setObjectName(kNames[i].udp);
    p.udp->setAccessibleName(NodeCaption(ServiceNode(s)) + " over UDP");
    p.port = new QLineEdit;
    p.port->setObjectName(kNames[i].port);
    p.port->setAccessibleName(NodeCaption(ServiceNode(s)) + " port");
    p.port->setMaxLength(10);
    p.port->setMaximumWidth(p.port->fontMetrics().horizontalAdvance("0000000000"));
    p.requester = new QLineEdit;
    p.requester->setObjectName(QString("MDLRemHost%1").arg(i));
    p.requester->setAccessibleName(NodeCaption(ServiceNode(s)) + " last requester");
    p.requester->setReadOnly(true);
    auto* port_label = new QLabel("&Port:");
    port_label->setBuddy(p.port);
    auto* req_label = new QLabel("&Last request from:");
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
      engine_.Post(cmd::SetEnabled{s, on});
      // The transport boxes follow at once; the snapshot confirms.
      panel_[Index(s)].tcp->setEnabled(on);
      panel_[Index(s)].udp->setEnabled(on);
    });
    connect(p.tcp, &QCheckBox::clicked, this, [this, s](bool on) { engine_.Post(cmd::SetTcp{s, on}); });
    connect(p.udp, &QCheckBox::clicked, this, [this, s](bool on) { engine_.Post(cmd::SetUdp{s, on}); });
    connect(p.port, &QLineEdit::textEdited, this, [this, s](const QString& text) {
      engine_.Post(cmd::SetPortText{s, text.toStdString()});
    });
    // The private protocol's port takes effect when its socket is next opened.
    if (s != Service::kPrivate) {
      connect(p.port, &QLineEdit::returnPressed, this, [this, s] { engine_.Post(cmd::PortEnter{s}); });
    }
  }
  layout->addWidget(panels_);
  svr_stat_ = new QLabel;
  svr_stat_->setObjectName("svrStatlbl");
  svr_stat_->setAccessibleName("Service status");
  svr_stat_->setFrameShape(QFrame::StyledPanel);
  svr_stat_->setMinimumHeight(svr_stat_->fontMetrics().lineSpacing() * 3 + 8);
  svr_stat_->setTextInteractionFlags(Qt::TextSelectableByMouse);
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
  clock_->setPlainText(" \n \n   " + QString::fromLatin1(kProductLine));
  return clock_;
}

QWidget* MainWindow::BuildSync() {
  options_frame_ = new QGroupBox("Server Synchronization");
  options_frame_->setObjectName("Options");
  options_frame_->setToolTip(" Double-click to synchronize now ");
  options_frame_->installEventFilter(this);
  auto* g = new QGridLayout(options_frame_);
  servers_ = new QComboBox;
  servers_->setObjectName("Servers");
  servers_->setAccessibleName("Atomic time server");
  servers_->setIconSize(QSize(16, 11));
  servers_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  servers_->setMinimumContentsLength(40);
  auto* servers_label = new QLabel("Atomic time &server:");
  servers_label->setBuddy(servers_);
  random_ = new QCheckBox("&Randomize Atomic Time Servers");
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
  sync_unit_->addItems({"Second/s", "Minute/s", "Hour/s", "Day/s"});
  sync_unit_->setEditText("Minute/s");
  auto* every = new QLabel("Synchronize e&very:");
  every->setBuddy(sync_n_);
  g->addWidget(servers_label, 0, 0);
  g->addWidget(servers_, 0, 1, 1, 4);
  g->addWidget(random_, 1, 0, 1, 2);
  g->addWidget(every, 1, 2, Qt::AlignRight);
  g->addWidget(sync_n_, 1, 3);
  g->addWidget(sync_unit_, 1, 4);
  g->setColumnStretch(1, 1);

  connect(servers_, QOverload<int>::of(&QComboBox::activated), this,
          [this](int index) { engine_.Post(cmd::SelectServer{index + 1}); });
  connect(random_, &QCheckBox::clicked, this, [this](bool on) { engine_.Post(cmd::SetRandom{on}); });
  connect(sync_n_, &QLineEdit::textEdited, this, [this](const QString& text) {
    const QString kept = GuardCountText(text);
    if (kept != text) SetText(sync_n_, kept);
  });
  connect(sync_n_, &QLineEdit::returnPressed, this, &MainWindow::PostInterval);
  connect(sync_unit_, QOverload<int>::of(&QComboBox::activated), this, [this](int) { PostInterval(); });
  return options_frame_;
}

QWidget* MainWindow::BuildIndicators() {
  auto* box = new QWidget;
  auto* layout = new QVBoxLayout(box);
  layout->setContentsMargins(0, 0, 0, 0);
  auto* row = new QHBoxLayout;
  static const char* const kLedNames[kIndicatorCount] = {"SRC", "IN", "OUT", "UDP", "TCP"};
  static const char* const kLedMeanings[kIndicatorCount] = {
      "querying the atomic time server", "request received", "reply sent", "UDP request", "TCP connection"};
  for (size_t i = 0; i < kIndicatorCount; ++i) {
    leds_[i] = new QLabel;
    leds_[i]->setObjectName(QString("LED%1").arg(i));
    leds_[i]->setAccessibleName(QString("%1 indicator").arg(kLedNames[i]));
    leds_[i]->setToolTip(QString(" %1: %2 ").arg(kLedNames[i], kLedMeanings[i]));
    auto* name = new QLabel(kLedNames[i]);
    row->addWidget(leds_[i]);
    row->addWidget(name);
    row->addSpacing(10);
  }
  row->addStretch(1);
  layout->addLayout(row);
  status_ = new QLabel;
  status_->setObjectName("Status");
  status_->setAccessibleName("Server status");
  status_->setFrameShape(QFrame::StyledPanel);
  status_->setMinimumHeight(status_->fontMetrics().lineSpacing() * 4 + 8);
  status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(status_);
  return box;
}

void MainWindow::BuildTrayMenu() {
  tray_menu_ = new QMenu(this);
  tray_menu_->setObjectName("mnuMain");
  mnu_show_ = tray_menu_->addAction("Show");
  mnu_show_->setObjectName("mnuShow");
  mnu_exit_ = tray_menu_->addAction("Exit");
  mnu_exit_->setObjectName("mnuExit");
  connect(mnu_show_, &QAction::triggered, this, &MainWindow::RestoreFromTray);
  connect(mnu_exit_, &QAction::triggered, this, &MainWindow::ExitFromMenu);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (watched == options_frame_ && event->type() == QEvent::MouseButtonDblClick) {
    engine_.Post(cmd::SyncNow{});
    return true;
  }
  return QMainWindow::eventFilter(watched, event);
}

void MainWindow::PostInterval() {
  engine_.Post(cmd::SetInterval{sync_n_->text().toStdString(), sync_unit_->currentText().toStdString()});
}

int MainWindow::ShownSlot() const { return panels_->currentIndex(); }

void MainWindow::ShowPanel(Service s) {
  // One frame and its requester box visible, the others hidden.
  panels_->setCurrentIndex(static_cast<int>(Index(s)));
}

void MainWindow::SelectNode(int node) {
  if (node < 1 || node > kNodeCount) return;
  if (auto s = NodeService(node)) {
    current_node_ = node;
    ShowPanel(*s);
    engine_.Post(cmd::ShowService{*s});
    if (tree_->currentItem() != nodes_[node - 1]) {
      QSignalBlocker block(tree_);
      tree_->setCurrentItem(nodes_[node - 1]);
    }
    return;
  }
  if (node == kNodeAbout) ShowAbout();
  if (node == kNodeConfig) ShowConfig();
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
  config_->Load(snapshot_.get(), windowTitle());
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
  snapshot_ = snapshot;
  snapshot_tick_ = MonotonicNow();
  const EngineSnapshot& s = *snapshot;

  for (Service svc : kAllServices) {
    const ServiceView& v = s.services[Index(svc)];
    Panel& p = panel_[Index(svc)];
    SetChecked(p.enable, v.enabled);
    SetChecked(p.tcp, v.tcp_box);
    SetChecked(p.udp, v.udp_box);
    p.tcp->setEnabled(v.boxes_enabled);
    p.udp->setEnabled(v.boxes_enabled);
    // What the operator is typing stays until the field is left.
    if (!p.port->hasFocus()) SetText(p.port, Q(v.port_text));
    if (p.port->toolTip() != Q(v.port_tooltip)) p.port->setToolTip(Q(v.port_tooltip));
    SetText(p.requester, Q(v.last_requester));
    if (p.requester->toolTip() != Q(v.last_requester_tooltip))
      p.requester->setToolTip(Q(v.last_requester_tooltip));
  }
  SetLabel(svr_stat_, LabelText(s.status_text));
  SetLabel(status_, LabelText(s.status_line));
  ApplyServers(s);
  SetChecked(random_, s.random);
  if (!sync_n_->hasFocus()) SetText(sync_n_, Q(s.interval_count));
  if (!sync_unit_->hasFocus() && sync_unit_->currentText() != Q(s.interval_unit)) {
    QSignalBlocker block(sync_unit_);
    sync_unit_->setEditText(Q(s.interval_unit));
  }
  if (const QString caption = WindowCaption(s.last_ntp_millis); windowTitle() != caption)
    setWindowTitle(caption);

  // Indicators: lit by activity since the previous snapshot, while the window is shown.
  if (Normal()) {
    for (Indicator i : {Indicator::kDataIn, Indicator::kDataOut, Indicator::kUdpIn, Indicator::kTcpIn}) {
      if (s.indicators & Bit(i)) SetLed(static_cast<int>(i), true);
    }
    SetLed(static_cast<int>(Indicator::kSource), s.query_pending);
  }
  if (s.tray_tip != tray_tip_) {
    tray_tip_ = s.tray_tip;
    UpdateSZTIP();
  }
  if (config_) config_->SetUpdateButton(s.update_button_enabled);
  if (first_snapshot_) {
    first_snapshot_ = false;
    clock_->setToolTip(TimeZoneTooltip(s.zone));
    RefreshClock();
    // "OpenMinimized": the window starts minimised.
    if (s.open_minimized) MinimiseToTray();
  }
}

void MainWindow::ShowUpdateEvent(const EngineEvent& event) {
  auto box_for = [this](const std::string& title, const std::string& text, UpdateIcon icon,
                        UpdateButtons buttons) {
    auto* box = new QMessageBox(
        icon == UpdateIcon::kExclamation ? QMessageBox::Warning : QMessageBox::Information, Q(title),
        Q(text).replace("\r\n", "\n"),
        buttons == UpdateButtons::kYesNo ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setObjectName("UpdateMessage");
    return box;
  };
  if (const auto* q = std::get_if<UpdateQuestion>(&event)) {
    QMessageBox* box = box_for(q->title, q->text, q->icon, q->buttons);
    connect(box, &QMessageBox::finished, this, [this, id = q->id](int result) {
      engine_.Post(cmd::AnswerUpdate{id, result == QMessageBox::Yes});
    });
    box->open();
  } else if (const auto* n = std::get_if<UpdateNotice>(&event)) {
    box_for(n->title, n->text, n->icon, n->buttons)->open();
  } else if (const auto* u = std::get_if<UpdaterStart>(&event)) {
    std::vector<std::string> args = u->arguments;
    args.push_back("/t" + windowTitle().toStdString());
    if (options_.start_program) {
      options_.start_program(u->program, args);
    } else {
      QStringList list;
      for (const std::string& a : args) list << Q(a);
      // A failure to start it is ignored, as for the date and time settings.
      QProcess::startDetached(QString::fromStdString(u->program.string()), list);
    }
  }
}

void MainWindow::ApplyServers(const EngineSnapshot& s) {
  bool same = shown_servers_.size() == s.servers.size();
  for (size_t i = 0; same && i < s.servers.size(); ++i)
    same = shown_servers_[i].display_text == s.servers[i].display_text &&
           shown_servers_[i].image == s.servers[i].image;
  QSignalBlocker block(servers_);
  if (!same) {
    shown_servers_ = s.servers;
    servers_->clear();
    for (const ServerEntryView& e : s.servers) servers_->addItem(ImageIcon(e.image), Q(e.display_text));
  }
  const int index = s.selected_server - 1;
  if (index >= 0 && index < servers_->count() && servers_->currentIndex() != index)
    servers_->setCurrentIndex(index);
  if (servers_->toolTip() != Q(s.servers_tooltip)) servers_->setToolTip(Q(s.servers_tooltip));
}

void MainWindow::ClockTick() {
  // Indicators go dark once their activity has passed.
  if (Normal()) {
    for (Indicator i : {Indicator::kDataIn, Indicator::kDataOut, Indicator::kUdpIn, Indicator::kTcpIn})
      SetLed(static_cast<int>(i), false);
  }
  RefreshClock();
}

void MainWindow::RefreshClock() {
  if (!snapshot_) return;
  ticks_ = (ticks_ + 1) % 10;
  if (ticks_ == 0) clock_->setToolTip(TimeZoneTooltip(snapshot_->zone));
  // The engine clock's time: the snapshot's, moved on by the time since it came.
  const UtcTime now = snapshot_->taken_at + (MonotonicNow() - snapshot_tick_);
  const QString text = LabelText(ClockBoxText(now, snapshot_->zone));
  if (clock_->toPlainText() != text) clock_->setPlainText(text);
}

void MainWindow::UpdateSZTIP() {
  if (!InTray() && !(windowState() & Qt::WindowMinimized)) {
    SetLed(static_cast<int>(Indicator::kSource), false);
    return;
  }
  switch (TrayPictureFor(tray_tip_)) {
    case TrayPicture::kKeep:
      break;
    case TrayPicture::kServer:
      tray_picture_ = kImageServer;
      break;
    case TrayPicture::kSelectedServerFlag: {
      const int index = servers_->currentIndex();
      if (index >= 0 && index < static_cast<int>(shown_servers_.size()))
        tray_picture_ = shown_servers_[index].image;
      break;
    }
  }
  tray_.SetIcon(ImageIcon(tray_picture_));
  tray_.SetToolTip(tray_tip_.empty() ? DefaultTrayTip() : Q(tray_tip_));
}

void MainWindow::OnStateChanged(bool) {
  // The selected panel again, and the tray icon's picture and tip.
  SelectNode(current_node_);
  UpdateSZTIP();
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
  if (!closing_) {
    closing_ = true;
    clock_timer_->stop();
    // The engine closes its sockets and saves the settings.
    engine_.Post(cmd::Shutdown{});
    if (config_) config_->close();
    if (about_) about_->close();
    tray_.Remove();
    emit closed();
  }
  event->accept();
}

}  // namespace mdl::ui
