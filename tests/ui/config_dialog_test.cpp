// The configuration dialog, and the pieces beside the window: the pure
// texts, the autostart entry, the engine-to-window bridges.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>
#include <fstream>
#include <sstream>

#include "desktop/qt/common/desktop_session.h"
#include "desktop/qt/common/latest_bridge.h"
#include "desktop/qt/server/config_dialog.h"
#include "tests/ui/ui_test_support.h"

using namespace mdl;
using namespace mdl::ui;
using namespace mdl::desktop;
using namespace mdl::ui::testing;

class ConfigDialogTest : public QObject {
  Q_OBJECT

 private:
  template <typename T>
  static T* Find(QWidget* w, const char* name) {
    T* c = w->findChild<T*>(name);
    if (!c) qFatal("no control %s", name);
    return c;
  }

 private slots:
  void loadShowsCaptionRegionAndFlagsAndPostsNothing() {
    FakeEngine engine;
    ConfigDialog dialog(engine, {}, nullptr);
    auto s = BaseSnapshot();
    s->region = "AE";
    s->run_at_start = true;
    s->open_minimized = false;
    s->logging = true;
    dialog.Load(s.get(), "NTPms 12");
    dialog.show();
    QCOMPARE(dialog.windowTitle(), QString("CONFIG - NTPms 12"));
    auto* regions = Find<QComboBox>(&dialog, "Regions");
    QCOMPARE(regions->count(), 7);
    QCOMPARE(regions->itemText(1), QString("SA - South America [Chile , Brazil, Columbia]"));
    QCOMPARE(regions->currentText(), QString("AE - East Asia [Bangladesh, Thailand, India, China]"));
    QCOMPARE(Find<QLabel>(&dialog, "RegionLbl")->text(),
             QString("Select What Region this Server will Operate in"));
    QCOMPARE(Find<QLabel>(&dialog, "closelbl")->text(), QString("Select the closest region to you."));
    QCOMPARE(Find<QCheckBox>(&dialog, "wc3Logs")->text(), QString("Enable Extended WC3 Logging."));
    QCOMPARE(Find<QCheckBox>(&dialog, "RunMDL")->text(), QString("Run Meridel Server when Windows Starts."));
    QCOMPARE(Find<QCheckBox>(&dialog, "OpenMin")->text(), QString("Open Minimized?"));
    QCOMPARE(Find<QPushButton>(&dialog, "SelTimeZone")->text(), QString("Time Zone"));
    QCOMPARE(Find<QPushButton>(&dialog, "CheckUpdate")->text(), QString("Check for Software Updates"));
    QVERIFY(Find<QCheckBox>(&dialog, "RunMDL")->isChecked());
    QVERIFY(!Find<QCheckBox>(&dialog, "OpenMin")->isChecked());
    QVERIFY(Find<QCheckBox>(&dialog, "wc3Logs")->isChecked());
    // Without an update check the button cannot start one.
    QVERIFY(!Find<QPushButton>(&dialog, "CheckUpdate")->isEnabled());
    // A code that matches no line: no selection.
    s->region = "XX";
    dialog.Load(s.get(), "Meridel Server");
    QCOMPARE(regions->currentIndex(), -1);
    // Closing without a change posts nothing.
    QTest::mouseClick(Find<QPushButton>(&dialog, "cfgsvrOK"), Qt::LeftButton);
    QVERIFY(!dialog.isVisible());
    QVERIFY(engine.posted.empty());
  }

  void eachChangeIsPostedAtOnce() {
    FakeEngine engine;
    std::vector<bool> autostart;
    int time_settings = 0, update_checks = 0;
    ConfigHooks hooks;
    hooks.set_autostart = [&](bool on) {
      autostart.push_back(on);
      return std::string(on ? "" : "cannot remove it");
    };
    hooks.open_time_settings = [&] { ++time_settings; };
    hooks.update_check = [&] { ++update_checks; };
    ConfigDialog dialog(engine, hooks, nullptr);
    auto s = BaseSnapshot();
    dialog.Load(s.get(), "Meridel Server");
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));

    auto* regions = Find<QComboBox>(&dialog, "Regions");
    regions->setFocus();
    QTest::keyClick(regions, Qt::Key_Down);
    QTest::keyClick(regions, Qt::Key_Down);
    auto r = engine.Of<cmd::SetRegion>();
    QCOMPARE(r.size(), size_t{2});
    QCOMPARE(r[1].region, std::string("EU"));

    ClickBox(Find<QCheckBox>(&dialog, "wc3Logs"));
    QCOMPARE(engine.Last<cmd::SetLogging>().on, false);
    ClickBox(Find<QCheckBox>(&dialog, "OpenMin"));
    QCOMPARE(engine.Last<cmd::SetOpenMinimized>().on, true);
    auto* run = Find<QCheckBox>(&dialog, "RunMDL");
    ClickBox(run);
    ClickBox(run);
    auto runs = engine.Of<cmd::SetRunAtStart>();
    QCOMPARE(runs.size(), size_t{2});
    QVERIFY(runs[0].on && !runs[1].on);
    QCOMPARE(autostart, (std::vector<bool>{true, false}));
    // A failed autostart change is told, not hidden.
    QVERIFY(Find<QLabel>(&dialog, "autostartProblem")->isVisible());
    QVERIFY(Find<QLabel>(&dialog, "autostartProblem")->text().contains("cannot remove it"));

    QTest::mouseClick(Find<QPushButton>(&dialog, "SelTimeZone"), Qt::LeftButton);
    QCOMPARE(time_settings, 1);
    auto* update = Find<QPushButton>(&dialog, "CheckUpdate");
    QVERIFY(update->isEnabled());
    QTest::mouseClick(update, Qt::LeftButton);
    QCOMPARE(update_checks, 1);
    QVERIFY(!update->isEnabled());
    dialog.UpdateCheckDone();
    QVERIFY(update->isEnabled());
  }

  void autostartEntryIsWrittenAndRemoved() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    qputenv("XDG_CONFIG_HOME", dir.path().toUtf8());
    const auto path = AutostartEntryPath("QOR_MDL_Server");
    QCOMPARE(QString::fromStdString(path.string()), dir.path() + "/autostart/QOR_MDL_Server.desktop");
    QCOMPARE(SetAutostart("QOR_MDL_Server", "Meridel Server", "/opt/meridel/QOR_MDL_Server",
                          {"--home", "/srv/my time$dir"}, true),
             std::string());
    std::ifstream f(path);
    std::stringstream text;
    text << f.rdbuf();
    QVERIFY(text.str().find("[Desktop Entry]\nType=Application\nName=Meridel Server\n") == 0);
    QVERIFY(text.str().find("\nExec=/opt/meridel/QOR_MDL_Server --home \"/srv/my time\\\\$dir\"\n") !=
            std::string::npos);
    QCOMPARE(SetAutostart("QOR_MDL_Server", "Meridel Server", "/x", {}, false), std::string());
    QVERIFY(!std::filesystem::exists(path));
    // Removing what is not there is no error.
    QCOMPARE(SetAutostart("QOR_MDL_Server", "Meridel Server", "/x", {}, false), std::string());
    // A relative XDG_CONFIG_HOME is ignored for ~/.config.
    qputenv("XDG_CONFIG_HOME", "relative/dir");
    qputenv("HOME", dir.path().toUtf8());
    QCOMPARE(QString::fromStdString(AutostartEntryPath("x").string()),
             dir.path() + "/.config/autostart/x.desktop");
    qunsetenv("XDG_CONFIG_HOME");
  }

  void bridgesHandOverTheLatestSnapshotAndEveryLine() {
    QObject owner;
    std::vector<uint64_t> got;
    LatestBridge<EngineSnapshot> snapshots(&owner, [&](const SnapshotPtr& s) { got.push_back(s->sequence); });
    std::vector<std::string> lines;
    QueueBridge<std::string> queue(&owner, [&](const std::string& l) { lines.push_back(l); });
    std::unique_ptr<QThread> engine(QThread::create([&] {
      for (uint64_t i = 1; i <= 2000; ++i) {
        auto s = std::make_shared<EngineSnapshot>();
        s->sequence = i;
        snapshots.Push(s);
        if (i % 100 == 0) queue.Push("line " + std::to_string(i));
      }
    }));
    engine->start();
    QVERIFY(engine->wait(10000));
    QTRY_VERIFY(!got.empty() && got.back() == 2000);
    QTRY_COMPARE(lines.size(), size_t{20});
    // Coalesced: never more deliveries than pushes, in order, the last one delivered.
    QVERIFY(got.size() <= 2000);
    QVERIFY(std::is_sorted(got.begin(), got.end()));
    QCOMPARE(snapshots.pushed(), uint64_t{2000});
    for (size_t i = 0; i < lines.size(); ++i) QCOMPARE(lines[i], "line " + std::to_string((i + 1) * 100));
  }
};

MDL_UI_TEST_MAIN(ConfigDialogTest)
#include "config_dialog_test.moc"
