// The desktop client's window on the offscreen platform: over the real client
// application (polled on the test's thread, frozen virtual clock, a
// temporary registry, a reply server on loopback) behind a port that records
// what the window posts, and with a fake tray icon that counts what it is told.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "client/client_core.h"
#include "common/registry/registry.h"
#include "desktop/qt/client/client_window.h"
#include "desktop/qt/common/desktop_session.h"
#include "tests/client/loopback_peer.h"

using namespace mdl;
using namespace mdl::ui;
using namespace mdl::desktop;
namespace fs = std::filesystem;
namespace cmd = client_command;
using namespace std::chrono;

namespace {

const UtcTime kStart = UtcTime(sys_days(year(2026) / 5 / 4));

// Records every command and hands it on to the application when there is one.
class RecordingPort : public ClientPort {
 public:
  void Post(ClientCommand c) override {
    posted.push_back(c);
    if (handle) handle->Post(std::move(c));
  }
  template <typename T>
  std::vector<T> Of() const {
    std::vector<T> out;
    for (const ClientCommand& c : posted)
      if (auto* t = std::get_if<T>(&c)) out.push_back(*t);
    return out;
  }
  ClientHandle* handle = nullptr;
  std::vector<ClientCommand> posted;
};

class FakeTray : public TrayIcon {
 public:
  bool Available() const override { return available; }
  void Add() override {
    if (!shown) ++adds;
    shown = true;
  }
  void Remove() override {
    if (shown) ++removes;
    shown = false;
  }
  bool Shown() const override { return shown; }
  void SetIcon(const QIcon&) override {}
  void SetToolTip(const QString& t) override {
    tip = t;
    ++tip_changes;
  }
  void SetMenu(QMenu* m) override { menu = m; }
  bool available = true;
  bool shown = false;
  int adds = 0, removes = 0, tip_changes = 0;
  QString tip;
  QMenu* menu = nullptr;
};

std::string ReadText(const fs::path& p) {
  std::ifstream in(p);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

class ClientWindowTest : public QObject {
  Q_OBJECT

 private:
  fs::path dir_;
  std::unique_ptr<VirtualClock> clock_;
  std::unique_ptr<Registry> registry_;
  std::unique_ptr<ClientHandle> handle_;
  std::unique_ptr<RecordingPort> port_;
  std::unique_ptr<FakeTray> tray_;
  std::unique_ptr<ClientWindow> window_;

  fs::path RegistryFile() const { return dir_ / "registry.reg"; }
  void Store(const std::string& name, const std::string& value, std::string_view key = kClientKey) {
    Registry reg(RegistryFile(), [](const std::string&) {});
    QVERIFY(reg.WriteValue(Hive::kLocalMachine, key, name, value));
  }
  std::string Stored(const std::string& name, std::string_view key = kClientKey) {
    Registry reg(RegistryFile(), [](const std::string&) {});
    return reg.ReadValue(key, name);
  }
  template <typename T>
  T* Find(const char* name) {
    T* w = window_->findChild<T*>(name);
    if (!w) qFatal("no control %s", name);
    return w;
  }
  QAction* Action(const char* name) { return Find<QAction>(name); }

  // The application over the stored settings and the window over it.
  void Start(ClientWindowOptions options = {}, std::string run_value_data = "") {
    clock_ = std::make_unique<VirtualClock>(kStart);
    clock_->set_zone(ZoneFacts{});
    registry_ = std::make_unique<Registry>(RegistryFile(), [](const std::string&) {});
    ClientAppOptions o;
    o.timeout = milliseconds(500);
    o.virtual_clock = true;
    o.run_value_data = std::move(run_value_data);
    handle_ = std::make_unique<ClientHandle>(*clock_, *registry_, o);
    port_ = std::make_unique<RecordingPort>();
    port_->handle = handle_.get();
    tray_ = std::make_unique<FakeTray>();
    window_ = std::make_unique<ClientWindow>(*port_, *tray_, std::move(options));
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    Pump();
  }
  // Runs the application until it is idle and hands its snapshot over.
  void Pump() {
    for (int i = 0; i < 100; ++i) {
      const size_t n = handle_->PollFor(milliseconds(5));
      if (n == 0 && handle_->snapshot()->loaded && !handle_->snapshot()->busy) break;
    }
    window_->ApplySnapshot(handle_->snapshot());
    QCoreApplication::processEvents();
  }
  // Closes the window, as the program does at its end, and lets the application save.
  void CloseAndStop() {
    window_->close();
    Pump();
    handle_->Stop();
  }
  std::shared_ptr<const ClientSnapshot> Snap() { return handle_->snapshot(); }
  static void Retype(QLineEdit* edit, const QString& text) {
    edit->setFocus();
    edit->selectAll();
    QTest::keyClicks(edit, text);
  }

 private slots:
  void init() {
    dir_ = fs::temp_directory_path() /
           ("mdl_client_window_" + std::to_string(::getpid()) + "_" + QTest::currentTestFunction());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    Store(std::string(kClientValueName), test::LoopbackHost(test::ClosedPort()) + ":2:Hour/s:NO");
  }
  void cleanup() {
    window_.reset();
    if (handle_) handle_->Stop();
    handle_.reset();
    port_.reset();
    tray_.reset();
    registry_.reset();
    clock_.reset();
    fs::remove_all(dir_);
  }

  void storedSettingsFillTheControlsAndEditsSetTheChangedFlag() {
    Start();
    // "2:Hour/s:NO": 7200 seconds, the window restored.
    QCOMPARE(Snap()->interval_seconds, 7200);
    QVERIFY(window_->isVisible());
    QVERIFY(!window_->InTray());
    QCOMPARE(tray_->adds, 0);
    QCOMPARE(Find<QLineEdit>("svrFreN")->text(), QString("2"));
    QCOMPARE(Find<QComboBox>("svrFreQ")->currentText(), QString("Hour/s"));
    QVERIFY(!Find<QCheckBox>("RunMin")->isChecked());
    QVERIFY(!Find<QCheckBox>("RunStart")->isChecked());
    QVERIFY(Find<QLineEdit>("MDLSHost")->text().startsWith("127.0.0.1:"));
    QCOMPARE(Find<QLineEdit>("svrFreN")->toolTip(), QString(" Every 7200 seconds "));
    // Showing the stored settings posts nothing: nothing has changed yet.
    QVERIFY(port_->posted.empty());
    QVERIFY(!Snap()->settings_changed);
    QCOMPARE(Find<QComboBox>("svrFreQ")->count(), 4);
    QStringList units;
    for (int i = 0; i < 4; ++i) units << Find<QComboBox>("svrFreQ")->itemText(i);
    QCOMPARE(units, (QStringList{"Hour/s", "Minute/s", "Second/s", "Day/s"}));

    Retype(Find<QLineEdit>("svrFreN"), "3");
    Pump();
    QCOMPARE(port_->Of<cmd::SetIntervalNumber>().back().number, std::string("3"));
    QCOMPARE(Snap()->interval_seconds, 10800);
    QVERIFY(Snap()->settings_changed);
    QCOMPARE(Find<QLineEdit>("svrFreN")->toolTip(), QString(" Every 10800 seconds "));
    // Text that is no number leaves the interval.
    QTest::keyClicks(Find<QLineEdit>("svrFreN"), "x");
    Pump();
    QCOMPARE(port_->Of<cmd::SetIntervalNumber>().back().number, std::string("3x"));
    QCOMPARE(Snap()->interval_seconds, 10800);
    // A click in the unit list recomputes with the last number applied.
    auto* unit = Find<QComboBox>("svrFreQ");
    unit->setFocus();
    QTest::keyClick(unit, Qt::Key_Down);
    Pump();
    QCOMPARE(port_->Of<cmd::SetIntervalUnit>().back().unit, std::string("Minute/s"));
    QCOMPARE(Snap()->interval_seconds, 180);

    Retype(Find<QLineEdit>("MDLSHost"), "localhost:4");
    QTest::mouseClick(Find<QCheckBox>("RunMin"), Qt::LeftButton, {}, QPoint(8, 8));
    Pump();
    QCOMPARE(port_->Of<cmd::SetHost>().back().host, std::string("localhost:4"));
    QCOMPARE(port_->Of<cmd::SetRunMinimized>().back().run_minimized, true);
    CloseAndStop();
    QCOMPARE(port_->Of<cmd::Shutdown>().size(), size_t{1});
    QCOMPARE(Stored(std::string(kClientValueName)), std::string("localhost:4:3:Minute/s:YES"));
  }

  void unchangedSettingsAreNotWritten() {
    Start();
    const std::string before = ReadText(RegistryFile());
    // A different value behind the client's back: an unchanged client must not write over it.
    Store(std::string(kClientValueName), "elsewhere:9:Day/s:NO");
    CloseAndStop();
    QCOMPARE(Stored(std::string(kClientValueName)), std::string("elsewhere:9:Day/s:NO"));
    QVERIFY(before.find(":2:Hour/s:NO") != std::string::npos);
  }

  void startMinimisedGoesToTheTrayOnlyWithoutASwitch() {
    Store(std::string(kClientValueName), test::LoopbackHost(test::ClosedPort()) + ":5:Minute/s:YES");
    Start();
    QCOMPARE(Snap()->interval_seconds, 300);
    QVERIFY(Find<QCheckBox>("RunMin")->isChecked());
    QVERIFY(window_->InTray());
    QVERIFY(!window_->isVisible());
    QCOMPARE(tray_->adds, 1);
    cleanup();
    init();
    Store(std::string(kClientValueName), test::LoopbackHost(test::ClosedPort()) + ":5:Minute/s:YES");
    // "-ro" (any switch): the stored choice does not minimise.
    ClientWindowOptions with_switch;
    with_switch.switch_given = true;
    Start(with_switch);
    QVERIFY(!window_->InTray());
    QVERIFY(window_->isVisible());
    QCOMPARE(tray_->adds, 0);
    // "-rs": into the tray; without a tray the window stays shown.
    window_->FinishStartUp(true);
    QVERIFY(window_->InTray());
    window_->RestoreFromTray();
    tray_->available = false;
    window_->FinishStartUp(true);
    QVERIFY(!window_->InTray());
    QVERIFY(window_->isVisible());
  }

  void menusPostTheirCommands() {
    int help_opened = 0;
    ClientWindowOptions o;
    o.open_help = [&] { ++help_opened; };
    Start(o);
    QMenu* menu = window_->main_menu();
    QCOMPARE(tray_->menu, menu);
    QVERIFY(window_->menuBar()->actions().contains(menu->menuAction()));
    QStringList captions;
    for (QAction* a : menu->actions())
      if (!a->isSeparator()) captions << a->text();
    QCOMPARE(captions, (QStringList{"Synchronize Now", "MDL Server Client Settings", "Help", "Exit"}));
    QCOMPARE(menu->defaultAction(), Action("mnuSet"));

    port_->posted.clear();
    Action("mnuSync")->trigger();
    QCOMPARE(port_->posted.size(), size_t{1});
    QVERIFY(std::holds_alternative<cmd::SyncNow>(port_->posted[0]));
    Pump();
    QVERIFY2(Snap()->last_outcome.has_value(), "the exchange ran (and failed on the closed port)");

    // Settings: from the tray back to the window.
    window_->MinimiseToTray();
    QVERIFY(window_->InTray());
    Action("mnuSet")->trigger();
    QVERIFY(!window_->InTray());
    QVERIFY(window_->isVisible());
    QCOMPARE(tray_->removes, 1);

    Action("mnuHelp")->trigger();
    QCOMPARE(help_opened, 1);

    QSignalSpy closed(window_.get(), &ClientWindow::closed);
    port_->posted.clear();
    window_->MinimiseToTray();
    Action("mnuExit")->trigger();
    QCOMPARE(closed.count(), 1);
    QCOMPARE(port_->posted.size(), size_t{1});
    QVERIFY(std::holds_alternative<cmd::Shutdown>(port_->posted[0]));
    QVERIFY2(!tray_->shown, "the tray icon goes with the window");
    // A second close posts nothing more.
    window_->close();
    QCOMPARE(port_->posted.size(), size_t{1});
  }

  void reportBoxShowsTheFiveLinesOfAnExchange() {
    const UtcTime server_time = kStart + hours(3);
    Start();
    test::ReplyServer server(handle_->io(), server_time);
    QSignalSpy shown(window_.get(), &ClientWindow::reportShown);
    Retype(Find<QLineEdit>("MDLSHost"), QString::fromStdString(server.host()));
    Action("mnuSync")->trigger();
    Pump();
    QCOMPARE(server.requests(), 1);
    QCOMPARE(Snap()->last_outcome, std::optional(ExchangeResult::Outcome::kSynchronised));
    const QStringList lines = Find<QPlainTextEdit>("t3777")->toPlainText().split('\n');
    QCOMPARE(lines.size(), 5);
    QCOMPARE(lines[0], QString("MDL Server: MDLS v5 - Zone: UTC"));
    QCOMPARE(lines[1], QString("Server Date: 2026-05-04 3:0:0.0"));
    QCOMPARE(lines[2], QString("MDL Client: 2026-05-04 0:0:0.0"));
    QCOMPARE(lines[3], QString("Drift: 10,800,000 milliseconds. Latency rTT: 0ms"));
    QCOMPARE(lines[4], QString("Adjusted by: 10800000ms"));
    QCOMPARE(shown.count(), 1);
    QCOMPARE(clock_->now(), server_time);

    // A failed exchange keeps the report (and the tip).
    const QString tip = window_->tray_tip();
    QCOMPARE(tip, QString(" MDL Server Client: Time adjusted by 10,800,000ms "));
    Retype(Find<QLineEdit>("MDLSHost"), QString::fromStdString(test::LoopbackHost(test::ClosedPort())));
    Action("mnuSync")->trigger();
    Pump();
    QCOMPARE(Snap()->last_outcome, std::optional(ExchangeResult::Outcome::kConnectFailed));
    QCOMPARE(Find<QPlainTextEdit>("t3777")->toPlainText().split('\n'), lines);
    QCOMPARE(shown.count(), 1);
    QCOMPARE(window_->tray_tip(), tip);
  }

  void trayTipChangesOnlyWhileInTheTrayAndOnlyWhenNew() {
    Start();
    QCOMPARE(tray_->tip, QString(" MDL Server Client"));
    const int at_start = tray_->tip_changes;
    auto feed = [&](const std::string& tip) {
      auto s = std::make_shared<ClientSnapshot>(*Snap());
      s->tray_tip = tip;
      window_->ApplySnapshot(s);
    };
    const std::string adjusted = ClientTrayTip(12, 10, 4);
    const std::string correct = ClientTrayTip(0, 0, 0);
    QCOMPARE(adjusted, std::string(" MDL Server Client: Time adjusted by 14ms "));
    QCOMPARE(correct, std::string(" MDL Server Client: Date/Time is correct. "));
    // Restored: the tip is kept for the tray, the icon is left alone.
    feed(adjusted);
    QCOMPARE(window_->tray_tip(), QString::fromStdString(adjusted));
    QCOMPARE(tray_->tip_changes, at_start);
    // Into the tray: the icon shows it.
    window_->MinimiseToTray();
    QCOMPARE(tray_->tip, QString::fromStdString(adjusted));
    QCOMPARE(tray_->tip_changes, at_start + 1);
    // The same tip again changes nothing; a new one does; a failure (no tip) keeps it.
    feed(adjusted);
    QCOMPARE(tray_->tip_changes, at_start + 1);
    feed(correct);
    QCOMPARE(tray_->tip, QString::fromStdString(correct));
    QCOMPARE(tray_->tip_changes, at_start + 2);
    feed("");
    QCOMPARE(tray_->tip_changes, at_start + 2);
    QCOMPARE(window_->tray_tip(), QString::fromStdString(correct));
    // Restored, then minimised with the tip it had: nothing to change.
    window_->RestoreFromTray();
    window_->MinimiseToTray();
    QCOMPARE(tray_->tip_changes, at_start + 2);
    // A long drift still fits the 63 characters of the tip.
    QVERIFY(ClientTrayTip(1e15, 1e15, 2000).size() <= kTrayTipSize - 1);
  }

  void minimiseAndRestoreAddAndRemoveOneTrayIconEachTime() {
    Start();
    for (int i = 0; i < 10; ++i) {
      if (i % 2 == 0) {
        window_->MinimiseToTray();
      } else {
        // As the window manager minimises it.
        window_->setWindowState(window_->windowState() | Qt::WindowMinimized);
        QTRY_VERIFY_WITH_TIMEOUT(window_->InTray(), 2000);
      }
      QVERIFY(window_->InTray());
      QVERIFY(!window_->isVisible());
      QCOMPARE(tray_->adds, i + 1);
      QCOMPARE(tray_->removes, i);
      // A right click opens the menu and leaves the window in the tray.
      tray_->on_click(TrayIcon::Click::kRight);
      QVERIFY(window_->InTray());
      tray_->on_click(i % 2 == 0 ? TrayIcon::Click::kLeft : TrayIcon::Click::kDouble);
      QVERIFY(!window_->InTray());
      QVERIFY(window_->isVisible());
      QVERIFY(!(window_->windowState() & Qt::WindowMinimized));
      QCOMPARE(tray_->removes, i + 1);
    }
    QCOMPARE(tray_->adds, 10);
    QCOMPARE(tray_->removes, 10);
    QVERIFY(!tray_->shown);
  }

  void runWhenWindowsStartsWritesTheRunValueAndTheAutostartEntry() {
    const QByteArray config = QByteArray::fromStdString((dir_ / "config").string());
    qputenv("XDG_CONFIG_HOME", config);
    const fs::path entry = AutostartEntryPath("QOR_MDLSC");
    QCOMPARE(QString::fromStdString(entry.string()), QString(config + "/autostart/QOR_MDLSC.desktop"));
    const std::string data = ClientRunValueData("/opt/meridel");
    auto options = [&] {
      ClientWindowOptions o;
      o.set_autostart = [](bool on) {
        return SetAutostart("QOR_MDLSC", "MDL Server Client", "/opt/meridel/QOR_MDLSC", {"--home", "/srv/c"},
                            on);
      };
      return o;
    };
    Start(options(), data);
    auto* box = Find<QCheckBox>("RunStart");
    QVERIFY(!box->isChecked());
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, 8));
    QVERIFY(box->isChecked());
    QVERIFY2(fs::exists(entry), "the autostart entry is written at the click");
    QVERIFY(ReadText(entry).find("Exec=/opt/meridel/QOR_MDLSC --home /srv/c\n") != std::string::npos);
    Pump();
    QVERIFY(Snap()->settings_changed);
    // The Run value waits for the end.
    QCOMPARE(Stored(std::string(kClientRunValueName), kClientRunKey), std::string());
    CloseAndStop();
    QCOMPARE(Stored(std::string(kClientRunValueName), kClientRunKey), data);

    // Next start: ticked; cleared, both go.
    window_.reset();
    handle_.reset();
    Start(options(), data);
    box = Find<QCheckBox>("RunStart");
    QVERIFY(box->isChecked());
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, 8));
    QVERIFY(!fs::exists(entry));
    QVERIFY(Find<QLabel>("autostartProblem")->isHidden());
    CloseAndStop();
    QCOMPARE(Stored(std::string(kClientRunValueName), kClientRunKey), std::string());

    // An entry that cannot be written is said beside the box.
    window_.reset();
    handle_.reset();
    ClientWindowOptions failing;
    failing.set_autostart = [](bool) { return std::string("/nowhere: Permission denied"); };
    Start(failing, data);
    QTest::mouseClick(Find<QCheckBox>("RunStart"), Qt::LeftButton, {}, QPoint(8, 8));
    QVERIFY(!Find<QLabel>("autostartProblem")->isHidden());
    QCOMPARE(Find<QLabel>("autostartProblem")->text(),
             QString("Autostart entry: /nowhere: Permission denied"));
    qunsetenv("XDG_CONFIG_HOME");
  }
};

int main(int argc, char** argv) {
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  if (!std::getenv("XDG_RUNTIME_DIR")) {
    std::string dir = QDir::tempPath().toStdString() + "/mdl-ui-test-XXXXXX";
    if (mkdtemp(dir.data())) setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
  }
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  ClientWindowTest t;
  return QTest::qExec(&t, argc, argv);
}

#include "client_window_test.moc"
