// The main window against a fake engine: tree and panels, the commands its
// controls post, what snapshots show, the clock box, the indicators, the
// tray icon and the shutdown.
#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSet>
#include <QSignalSpy>
#include <QTreeWidget>

#include "desktop/model/window_texts.h"
#include "desktop/qt/server/about_window.h"
#include "desktop/qt/server/config_dialog.h"
#include "desktop/qt/server/desktop_server.h"
#include "desktop/qt/server/images.h"
#include "desktop/qt/server/main_window.h"
#include "tests/ui/ui_test_support.h"

using namespace mdl;
using namespace mdl::ui;
using namespace mdl::desktop;
using namespace mdl::ui::testing;

class MainWindowTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<FakeEngine> engine_;
  std::unique_ptr<FakeTray> tray_;
  std::unique_ptr<MainWindow> window_;

  template <typename T>
  T* Find(const char* name) {
    T* w = window_->findChild<T*>(name);
    if (!w) qFatal("no control %s", name);
    return w;
  }
  bool LedLit(int i) {
    const QImage shown = Find<QLabel>(qPrintable(QString("LED%1").arg(i)))->pixmap().toImage();
    const QImage lit = ImagePixmap(kImageLedOn, 16, window_->devicePixelRatioF() * 2).toImage();
    return shown == lit;
  }
  void Feed(std::shared_ptr<EngineSnapshot> s) { window_->ApplySnapshot(s); }

 private slots:
  void init() {
    engine_ = std::make_unique<FakeEngine>();
    tray_ = std::make_unique<FakeTray>();
    window_ = std::make_unique<MainWindow>(*engine_, *tray_);
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
  }
  void cleanup() {
    window_.reset();
    tray_.reset();
    engine_.reset();
  }

  void updateQuestionsNoticesButtonAndUpdaterGoThroughTheWindow() {
    std::vector<std::vector<std::string>> started;
    MainWindowOptions o;
    o.update_check = [this] { engine_->Post(cmd::CheckForUpdates{}); };
    o.start_program = [&](const std::filesystem::path& program, const std::vector<std::string>& args) {
      std::vector<std::string> call{program.string()};
      call.insert(call.end(), args.begin(), args.end());
      started.push_back(call);
      return true;
    };
    window_ = std::make_unique<MainWindow>(*engine_, *tray_, o);
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    window_->SelectNode(8);
    auto* button = window_->config_dialog()->findChild<QPushButton*>("CheckUpdate");
    QVERIFY(button && button->isEnabled());
    button->click();
    QCOMPARE(engine_->Of<cmd::CheckForUpdates>().size(), size_t{1});
    QVERIFY(!button->isEnabled());
    // The engine says when a check runs and when it has ended.
    auto s = std::make_shared<EngineSnapshot>();
    s->update_button_enabled = false;
    Feed(s);
    QVERIFY(!button->isEnabled());
    s = std::make_shared<EngineSnapshot>(*s);
    s->update_button_enabled = true;
    Feed(s);
    QVERIFY(button->isEnabled());

    // A question: Yes posts the answer with its id; closing the box posts No.
    for (bool yes : {true, false}) {
      UpdateQuestion q;
      q.id = yes ? 7 : 8;
      q.title = "Meridel Server Update";
      q.text = "A new version is available.\r\nUpdate now?";
      window_->ShowUpdateEvent(q);
      auto boxes = window_->findChildren<QMessageBox*>("UpdateMessage");
      QCOMPARE(boxes.size(), 1);
      QCOMPARE(boxes[0]->windowTitle(), QString("Meridel Server Update"));
      QCOMPARE(boxes[0]->text(), QString("A new version is available.\nUpdate now?"));
      QCOMPARE(boxes[0]->icon(), QMessageBox::Information);
      if (yes) {
        boxes[0]->button(QMessageBox::Yes)->click();
      } else {
        boxes[0]->reject();
      }
      QTRY_COMPARE(window_->findChildren<QMessageBox*>("UpdateMessage").size(), 0);
      const auto answers = engine_->Of<cmd::AnswerUpdate>();
      QCOMPARE(answers.back().id, q.id);
      QCOMPARE(answers.back().yes, yes);
    }
    UpdateNotice n;
    n.title = "Meridel Server";
    n.text = "No Updates Available.";
    window_->ShowUpdateEvent(n);
    auto notice = window_->findChildren<QMessageBox*>("UpdateMessage");
    QCOMPARE(notice.size(), 1);
    QCOMPARE(notice[0]->icon(), QMessageBox::Warning);
    QVERIFY(notice[0]->button(QMessageBox::Ok));
    notice[0]->button(QMessageBox::Ok)->click();

    window_->ShowUpdateEvent(UpdaterStart{"/opt/meridel/QORUpdate", {"/v5.2.0"}});
    QCOMPARE(started.size(), size_t{1});
    QCOMPARE(started[0], (std::vector<std::string>{"/opt/meridel/QORUpdate", "/v5.2.0",
                                                   "/t" + window_->windowTitle().toStdString()}));
  }

  void treeHoldsTheServicesInOrderAndEachNodeShowsItsPanelOrWindow() {
    auto* tree = Find<QTreeWidget>("MDL_TV");
    QCOMPARE(tree->topLevelItemCount(), 1);
    QTreeWidgetItem* root = tree->topLevelItem(0);
    QCOMPARE(root->text(0), QString("MDL Servers"));
    QVERIFY(root->isExpanded());
    const QStringList expected = {"Time Service Server",      "Daytime Service Server",
                                  "SNTP v4 Service Server",   "UnixTime Service Server",
                                  "MDL Server Client Server", "MDL About/Help",
                                  "MDL Advanced Config"};
    QCOMPARE(root->childCount(), expected.size());
    for (int i = 0; i < expected.size(); ++i) QCOMPARE(root->child(i)->text(0), expected[i]);

    // Nodes 2 to 6 show the panels of slots 0 to 4 (Time, Daytime, NTP, UnixTime, private).
    const int kSlot[] = {0, 1, 2, 3, 4};
    for (int i = 0; i < 5; ++i) {
      tree->setCurrentItem(root->child(i));
      QCOMPARE(window_->ShownSlot(), kSlot[i]);
      QVERIFY(Find<QGroupBox>(qPrintable(QString("proto_f%1").arg(kSlot[i])))->isVisible());
      QVERIFY(Find<QLineEdit>(qPrintable(QString("MDLRemHost%1").arg(kSlot[i])))->isVisible());
      for (int other = 0; other < 5; ++other) {
        if (other != kSlot[i])
          QVERIFY(!Find<QGroupBox>(qPrintable(QString("proto_f%1").arg(other)))->isVisible());
      }
    }
    // The root shows the Time panel.
    tree->setCurrentItem(root);
    QCOMPARE(window_->ShownSlot(), 0);
    std::vector<Service> shown;
    for (auto& c : engine_->Of<cmd::ShowService>()) shown.push_back(c.service);
    QVERIFY(shown == (std::vector<Service>{Service::kTime, Service::kDaytime, Service::kNtp,
                                           Service::kUnixTime, Service::kPrivate, Service::kTime}));
    // The view model's mapping both ways; About, the configuration and strays name no service.
    for (Service s : kAllServices) QVERIFY(NodeService(ServiceNode(s)) == s);
    for (int node : {0, kNodeAbout, kNodeConfig, kNodeCount + 1, -1}) QVERIFY(!NodeService(node));

    // About and the configuration open their windows and leave the panel alone.
    window_->SelectNode(4);
    engine_->posted.clear();
    window_->SelectNode(7);
    QVERIFY(window_->about_window() && window_->about_window()->isVisible());
    window_->SelectNode(8);
    QVERIFY(window_->config_dialog() && window_->config_dialog()->isVisible());
    QCOMPARE(window_->config_dialog()->windowTitle(), QString("CONFIG - Meridel Server"));
    QCOMPARE(window_->ShownSlot(), 2);
    QVERIFY(engine_->posted.empty());
  }

  void treeHighlightGoesBackToTheShownPanelAfterAboutOrTheConfiguration() {
    auto* tree = Find<QTreeWidget>("MDL_TV");
    QTreeWidgetItem* root = tree->topLevelItem(0);
    auto click = [&](QTreeWidgetItem* item) {
      QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualItemRect(item).center());
    };
    click(root->child(1));  // Daytime
    QCOMPARE(window_->ShownSlot(), 1);
    click(root->child(6));  // MDL Advanced Config
    QVERIFY(window_->config_dialog() && window_->config_dialog()->isVisible());
    QCOMPARE(tree->currentItem(), root->child(1));
    QCOMPARE(window_->ShownSlot(), 1);
    // Enter on About (the keys move the highlight there first).
    window_->activateWindow();
    tree->setFocus();
    QTest::keyClick(tree, Qt::Key_Down);  // NTP
    QCOMPARE(window_->ShownSlot(), 2);
    tree->setCurrentItem(root->child(5));  // MDL About/Help: passing by opens nothing
    QVERIFY(!window_->about_window() || !window_->about_window()->isVisible());
    QTest::keyClick(tree, Qt::Key_Return);
    QVERIFY(window_->about_window() && window_->about_window()->isVisible());
    QCOMPARE(tree->currentItem(), root->child(2));
    QCOMPARE(window_->ShownSlot(), 2);
  }

  void unitListsCurrentEntryIsTheUnitShownSoEnterKeepsIt() {
    auto* unit = Find<QComboBox>("SyncIntC");
    // Before any snapshot: the list stands on the text's unit.
    QCOMPARE(unit->currentText(), QString("Minute/s"));
    QCOMPARE(unit->currentIndex(), 1);
    auto s = BaseSnapshot();
    for (auto [text, index] : {std::pair{"Hour/s", 2}, std::pair{"Second/s", 0}, std::pair{"Minutes/s", 1},
                               std::pair{"Weeks", -1}, std::pair{"Day/s", 3}}) {
      auto next = std::make_shared<EngineSnapshot>(*s);
      next->interval_unit = text;
      Feed(next);
      QCOMPARE(unit->currentText(), QString(text));
      QCOMPARE(unit->currentIndex(), index);
    }
    // The open list, and Enter without moving: the unit shown is the one posted.
    auto minutes = std::make_shared<EngineSnapshot>(*s);
    minutes->interval_unit = "Minute/s";
    Feed(minutes);
    engine_->posted.clear();
    unit->showPopup();
    QTRY_VERIFY(unit->view()->isVisible());
    QTest::keyClick(unit->view(), Qt::Key_Return);
    QCOMPARE(engine_->Of<cmd::SetInterval>().size(), size_t{1});
    QCOMPARE(engine_->Last<cmd::SetInterval>().unit_text, std::string("Minute/s"));
  }

  void aRegionWithoutServerShowsNoEntryAndSaysSo() {
    auto s = BaseSnapshot();
    Feed(s);
    auto* servers = Find<QComboBox>("Servers");
    QCOMPARE(servers->currentIndex(), 0);
    auto eu_less = std::make_shared<EngineSnapshot>(*s);
    eu_less->region = "AF";
    eu_less->region_without_server = true;
    eu_less->status_line = "No server of region AF in the list.\r# 0 | /T 0";
    Feed(eu_less);
    QCOMPARE(servers->currentIndex(), -1);
    QVERIFY(servers->currentText().isEmpty());
    QVERIFY(Find<QLabel>("Status")->text().startsWith("No server of region AF in the list.\n"));
    // The operator may still pick an entry; the next snapshot leaves it shown.
    emit servers->activated(2);
    servers->setCurrentIndex(2);
    auto picked = std::make_shared<EngineSnapshot>(*eu_less);
    picked->selected_server = 3;
    Feed(picked);
    QCOMPARE(servers->currentIndex(), 2);
    // A region with servers: its entry again.
    auto na = std::make_shared<EngineSnapshot>(*s);
    Feed(na);
    QCOMPARE(servers->currentIndex(), 0);
  }

  void desktopEngineOptionsNameTheProgramItselfAsTheRunValue() {
    DesktopProgramOptions o;
    o.home = "/var/lib/meridel/desk";
    o.program = "/opt/meridel/bin/../bin/QOR_MDL_Server";
    const EngineOptions e = DesktopEngineOptions(o);
    QCOMPARE(QString::fromStdString(e.run_value_data), QString("/opt/meridel/bin/QOR_MDL_Server"));
    QCOMPARE(e.home, o.home);
    QVERIFY(!e.service_build);
    // Without a program path the engine's own rule (the program folder) applies.
    o.program.clear();
    QVERIFY(DesktopEngineOptions(o).run_value_data.empty());
  }

  void boxesAndPortFieldsPostTheirCommands() {
    Feed(BaseSnapshot());
    window_->SelectNode(3);
    ClickBox(Find<QCheckBox>("eTCP13"));
    ClickBox(Find<QCheckBox>("eUDP13"));
    window_->SelectNode(4);
    ClickBox(Find<QCheckBox>("eSNTP"));
    auto tcp = engine_->Of<cmd::SetTcp>();
    auto udp = engine_->Of<cmd::SetUdp>();
    auto en = engine_->Of<cmd::SetEnabled>();
    QCOMPARE(tcp.size(), size_t{1});
    QVERIFY(tcp[0].service == Service::kDaytime && !tcp[0].on);
    QCOMPARE(udp.size(), size_t{1});
    QVERIFY(udp[0].service == Service::kDaytime && !udp[0].on);
    QCOMPARE(en.size(), size_t{1});
    QVERIFY(en[0].service == Service::kNtp && !en[0].on);
    // Disabling greys the transport boxes at once.
    QVERIFY(!Find<QCheckBox>("eTCP123")->isEnabled());

    window_->SelectNode(2);
    auto* port = Find<QLineEdit>("NTP_Ptxt");
    port->setFocus();
    port->selectAll();
    QTest::keyClicks(port, "1037");
    auto texts = engine_->Of<cmd::SetPortText>();
    QVERIFY(!texts.empty());
    QVERIFY(texts.back().service == Service::kTime);
    QCOMPARE(texts.back().text, std::string("1037"));
    QVERIFY(engine_->Of<cmd::PortEnter>().empty());
    // A snapshot that has not seen the typing yet leaves the field alone while it has the focus.
    Feed(BaseSnapshot());
    QCOMPARE(port->text(), QString("1037"));
    QTest::keyClick(port, Qt::Key_Return);
    auto enters = engine_->Of<cmd::PortEnter>();
    QCOMPARE(enters.size(), size_t{1});
    QVERIFY(enters[0].service == Service::kTime);

    // The private protocol's port field registers nothing on Enter.
    window_->SelectNode(6);
    auto* mdl_port = Find<QLineEdit>("MDLS_Ptxt");
    mdl_port->setFocus();
    QTest::keyClicks(mdl_port, "4");
    QTest::keyClick(mdl_port, Qt::Key_Return);
    QCOMPARE(engine_->Of<cmd::PortEnter>().size(), size_t{1});
    QCOMPARE(engine_->Last<cmd::SetPortText>().text, std::string("37774"));
  }

  void snapshotsSetLabelsBoxesTooltipsAndCaption() {
    auto s = BaseSnapshot();
    s->status_text = "Server is: Enabled\r\nTCP: ON - UDP: OFF\r\nIN: 12/t - 0/u";
    s->status_line =
        "Server Status: 07/12/2026 15:03:09\r# 3 | /T 1 | /D 0 | /S 2 | /U 0 | /MDL 0\r# UDP: 2 --- # TCP: "
        "1\rLast Atomic Update: Never";
    ServiceView& day = s->services[Index(Service::kDaytime)];
    day.enabled = false;
    day.boxes_enabled = false;
    day.udp_box = false;
    day.port_tooltip = " Change Registered Successfully ";
    ServiceView& ntp = s->services[Index(Service::kNtp)];
    ntp.last_requester = "192.0.2.7";
    ntp.last_requester_tooltip = " 07/12/2026 15:03:08 ";
    s->last_ntp_millis = 537;
    s->servers_tooltip = " 07/12/2026 14:3:9.250 | Adjusted by: 1.5 ms.  MDL Server is Synchronized.";
    s->selected_server = 2;
    s->random = false;
    s->interval_count = "2";
    s->interval_unit = "Day/s";
    Feed(s);

    QCOMPARE(Find<QLabel>("svrStatlbl")->text(),
             QString("Server is: Enabled\nTCP: ON - UDP: OFF\nIN: 12/t - 0/u"));
    QCOMPARE(Find<QLabel>("Status")->text(),
             QString("Server Status: 07/12/2026 15:03:09\n# 3 | /T 1 | /D 0 | /S 2 | /U 0 | /MDL 0\n"
                     "# UDP: 2 --- # TCP: 1\nLast Atomic Update: Never"));
    QVERIFY(!Find<QCheckBox>("eDTS")->isChecked());
    QVERIFY(Find<QCheckBox>("eTCP13")->isChecked());
    QVERIFY(!Find<QCheckBox>("eUDP13")->isChecked());
    QVERIFY(!Find<QCheckBox>("eTCP13")->isEnabled());
    QCOMPARE(Find<QLineEdit>("DS_Ptxt")->toolTip(), QString(" Change Registered Successfully "));
    QCOMPARE(Find<QLineEdit>("MDLRemHost2")->text(), QString("192.0.2.7"));
    QCOMPARE(Find<QLineEdit>("MDLRemHost2")->toolTip(), QString(" 07/12/2026 15:03:08 "));
    QCOMPARE(window_->windowTitle(), QString("NTPms 537"));
    auto* servers = Find<QComboBox>("Servers");
    QCOMPARE(servers->count(), 3);
    QCOMPARE(servers->itemText(1), QString("ptbtime1.ptb.de - PTB, Germany - EU"));
    QVERIFY(!servers->itemIcon(1).isNull());
    QCOMPARE(servers->currentIndex(), 1);
    QCOMPARE(servers->toolTip(), QString::fromStdString(s->servers_tooltip));
    QVERIFY(!Find<QCheckBox>("RandomCheck")->isChecked());
    QCOMPARE(Find<QLineEdit>("SyncN")->text(), QString("2"));
    QCOMPARE(Find<QComboBox>("SyncIntC")->currentText(), QString("Day/s"));
    // No command answers a snapshot.
    QVERIFY(engine_->posted.empty());
    // The dialog's caption follows the window's.
    window_->SelectNode(8);
    QCOMPARE(window_->config_dialog()->windowTitle(), QString("CONFIG - NTPms 537"));
  }

  void clockBoxShowsLocalTimeAndUtcWithTheZoneTooltip() {
    Feed(BaseSnapshot());
    window_->ClockTick();
    // CET: local = UTC + 1 h. The box moves on from the snapshot's time (well under a second here).
    QCOMPARE(Find<QPlainTextEdit>("svrCurrent")->toPlainText(),
             QString("   MON DECEMBER 7 2026 03:03:09 PM\n   UTC DECEMBER 7 2026 02:03:09 PM\n   Meridel "
                     "Server 5110"));
    QCOMPARE(Find<QPlainTextEdit>("svrCurrent")->toolTip(), QString(" Time Zone: CET "));
    auto summer = BaseSnapshot();
    summer->zone.daylight = true;
    Feed(summer);
    // Refreshed every tenth tick.
    for (int i = 0; i < 9; ++i) window_->ClockTick();
    QCOMPARE(Find<QPlainTextEdit>("svrCurrent")->toolTip(), QString(" Time Zone: CEST "));
  }

  void indicatorsLightFromSnapshotsAndGoDarkOnTheClockTick() {
    auto s = BaseSnapshot();
    s->indicators = Bit(Indicator::kDataIn) | Bit(Indicator::kUdpIn);
    s->query_pending = true;
    Feed(s);
    QVERIFY(LedLit(0));
    QVERIFY(LedLit(1));
    QVERIFY(!LedLit(2));
    QVERIFY(LedLit(3));
    QVERIFY(!LedLit(4));
    window_->ClockTick();
    QVERIFY(!LedLit(1));
    QVERIFY(!LedLit(3));
    QVERIFY(LedLit(0));  // the source lamp stays while the query is out
    s = BaseSnapshot();
    Feed(s);
    QVERIFY(!LedLit(0));
    // Minimised: the pictures do not change.
    window_->MinimiseToTray();
    s = BaseSnapshot();
    s->indicators = Bit(Indicator::kDataOut) | Bit(Indicator::kTcpIn);
    Feed(s);
    QVERIFY(!LedLit(2));
    QVERIFY(!LedLit(4));
  }

  void trayPictureAndTipFollowTheSynchronisation() {
    auto s = BaseSnapshot();
    s->selected_server = 2;  // flag image 46
    Feed(s);
    window_->MinimiseToTray();
    QCOMPARE(tray_->tip, QString(" Meridel Server 5110"));
    QCOMPARE(window_->tray_picture(), kImageServer);
    s = BaseSnapshot();
    s->selected_server = 2;
    s->tray_tip = " Checking Time Server: ptbtime1.ptb.de - PTB, Germany - EU ";
    Feed(s);
    QCOMPARE(window_->tray_picture(), 46);
    QCOMPARE(tray_->tip, QString::fromStdString(s->tray_tip));
    s = BaseSnapshot();
    s->tray_tip = " Adjusted by: 1.5 ms.  MDL Server is Synchronized. ";
    Feed(s);
    QCOMPARE(window_->tray_picture(), kImageServer);
    s = BaseSnapshot();
    s->selected_server = 2;
    s->tray_tip = " Checking Time Server: x ";
    Feed(s);
    s = BaseSnapshot();
    s->tray_tip = " No Adjustment needed ";
    Feed(s);
    QCOMPARE(window_->tray_picture(), 46);  // kept
    QCOMPARE(tray_->tip, QString(" No Adjustment needed "));
  }

  void minimiseAndRestoreTenTimesAddAndRemoveOneTrayIconEachTime() {
    Feed(BaseSnapshot());
    for (int i = 1; i <= 10; ++i) {
      window_->showMinimized();  // the window manager's minimise
      QTRY_VERIFY(window_->InTray());
      QVERIFY(tray_->shown);
      QVERIFY(!window_->isVisible());
      QCOMPARE(tray_->adds, i);
      // A left click on the icon restores.
      tray_->on_click(i % 2 ? TrayIcon::Click::kLeft : TrayIcon::Click::kDouble);
      QVERIFY(!window_->InTray());
      QVERIFY(!tray_->shown);
      QVERIFY(window_->isVisible());
      QVERIFY(!(window_->windowState() & Qt::WindowMinimized));
      QCOMPARE(tray_->removes, i);
    }
    // A right click leaves the window where it is (the menu opens).
    window_->MinimiseToTray();
    tray_->on_click(TrayIcon::Click::kRight);
    QVERIFY(window_->InTray());
  }

  void withoutATrayTheWindowStaysReachable() {
    tray_->available = false;
    window_->FinishStartUp(/*run_from_tray=*/true);
    QVERIFY(window_->isVisible());
    QVERIFY(!(window_->windowState() & Qt::WindowMinimized));
    QCOMPARE(tray_->adds, 0);
    // Minimised by the window manager it stays in the task bar, not hidden.
    window_->showMinimized();
    QTest::qWait(20);
    QVERIFY(!window_->InTray());
    QCOMPARE(tray_->adds, 0);
  }

  void runFromTraySwitchHidesTheWindow() {
    window_->FinishStartUp(/*run_from_tray=*/true);
    QVERIFY(window_->InTray());
    QVERIFY(!window_->isVisible());
    QCOMPARE(tray_->adds, 1);
  }

  void openMinimizedSettingStartsInTheTray() {
    auto s = BaseSnapshot();
    s->open_minimized = true;
    Feed(s);
    QVERIFY(window_->InTray());
    // Only at start-up: later snapshots leave the window where the operator put it.
    window_->RestoreFromTray();
    Feed(s);
    QVERIFY(!window_->InTray());
  }

  void trayMenuShowsAndExitsWithTheShutdown() {
    QMenu* menu = window_->tray_menu();
    QCOMPARE(tray_->menu, menu);
    QCOMPARE(menu->actions().size(), 2);
    QCOMPARE(menu->actions()[0]->text(), QString("Show"));
    QCOMPARE(menu->actions()[0]->objectName(), QString("mnuShow"));
    QCOMPARE(menu->actions()[1]->text(), QString("Exit"));
    window_->MinimiseToTray();
    menu->actions()[0]->trigger();
    QVERIFY(window_->isVisible() && !window_->InTray());
    window_->MinimiseToTray();
    QSignalSpy closed(window_.get(), &MainWindow::closed);
    engine_->posted.clear();
    menu->actions()[1]->trigger();
    QVERIFY(window_->exit_requested());
    QCOMPARE(closed.count(), 1);
    QCOMPARE(engine_->Of<cmd::Shutdown>().size(), size_t{1});
    QVERIFY(!tray_->shown);
    // A second close request shuts down nothing more.
    window_->close();
    QCOMPARE(engine_->Of<cmd::Shutdown>().size(), size_t{1});
  }

  void everyControlIsReachableWithTabAndNamed() {
    // Tab from the tree visits the shown panel's controls and the synchronisation controls.
    auto* tree = Find<QTreeWidget>("MDL_TV");
    tree->setFocus();
    QSet<QString> visited;
    for (int i = 0; i < 40; ++i) {
      QWidget* w = QApplication::focusWidget();
      if (!w) break;
      visited.insert(w->objectName());
      QTest::keyClick(w, Qt::Key_Tab);
    }
    for (const char* name : {"MDL_TV", "eNTP", "eTCP37", "eUDP37", "NTP_Ptxt", "MDLRemHost0", "svrCurrent",
                             "Servers", "RandomCheck", "SyncN", "SyncIntC"})
      QVERIFY2(visited.contains(name), name);
    // The arrow keys walk the tree's service nodes.
    tree->setFocus();
    tree->setCurrentItem(tree->topLevelItem(0));
    QTest::keyClick(tree, Qt::Key_Down);
    QTest::keyClick(tree, Qt::Key_Down);
    QCOMPARE(window_->ShownSlot(), 1);
    for (const char* name : {"eNTP", "eTCP37", "NTP_Ptxt", "MDLRemHost0", "SyncN", "SyncIntC", "LED3"})
      QVERIFY2(!Find<QWidget>(name)->accessibleName().isEmpty(), name);
  }

  void synchronisationControlsPostTheirCommands() {
    Feed(BaseSnapshot());
    auto* n = Find<QLineEdit>("SyncN");
    n->setFocus();
    n->clear();
    QTest::keyClicks(n, "5");
    QTest::keyClick(n, Qt::Key_A);
    QCOMPARE(n->text(), QString("5"));                 // the letter is taken off again
    QVERIFY(engine_->Of<cmd::SetInterval>().empty());  // typing alone changes nothing
    QTest::keyClick(n, Qt::Key_Return);
    auto iv = engine_->Of<cmd::SetInterval>();
    QCOMPARE(iv.size(), size_t{1});
    QCOMPARE(iv[0].count_text, std::string("5"));
    QCOMPARE(iv[0].unit_text, std::string("Minutes/s"));
    auto* unit = Find<QComboBox>("SyncIntC");
    unit->setCurrentIndex(2);  // a click on "Hour/s"
    emit unit->activated(2);
    QCOMPARE(engine_->Last<cmd::SetInterval>().unit_text, std::string("Hour/s"));

    auto* servers = Find<QComboBox>("Servers");
    emit servers->activated(2);
    QCOMPARE(engine_->Last<cmd::SelectServer>().position, 3);
    ClickBox(Find<QCheckBox>("RandomCheck"));
    QCOMPARE(engine_->Last<cmd::SetRandom>().on, false);
    auto* frame = Find<QGroupBox>("Options");
    QTest::mouseDClick(frame, Qt::LeftButton, {}, QPoint(5, 5));
    QCOMPARE(engine_->Of<cmd::SyncNow>().size(), size_t{1});
  }
};

MDL_UI_TEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
