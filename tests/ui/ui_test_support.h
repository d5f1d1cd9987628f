// What the window tests share: a fake engine that records the posted
// commands, a fake tray icon that counts its appearances, a snapshot to
// start from, and a main() for the offscreen platform.
#pragma once

#include <QApplication>
#include <QDir>
#include <QTest>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "desktop/model/engine_port.h"
#include "desktop/qt/common/tray.h"
#include "server/core/engine_snapshot.h"

namespace mdl::ui::testing {

class FakeEngine : public desktop::EnginePort {
 public:
  void Post(EngineCommand c) override { posted.push_back(std::move(c)); }
  template <typename T>
  std::vector<T> Of() const {
    std::vector<T> out;
    for (const EngineCommand& c : posted)
      if (auto* t = std::get_if<T>(&c)) out.push_back(*t);
    return out;
  }
  // The last command of a kind; the test stops when there is none.
  template <typename T>
  T Last() const {
    std::vector<T> all = Of<T>();
    if (all.empty()) qFatal("no such command was posted");
    return all.back();
  }
  std::vector<EngineCommand> posted;
};

// A click on a check box's box (its middle may lie beyond the caption).
inline void ClickBox(QWidget* box) {
  QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, box->height() / 2));
}

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
  void SetIcon(const QIcon&) override { ++icon_changes; }
  void SetToolTip(const QString& t) override { tip = t; }
  void SetMenu(QMenu* m) override { menu = m; }
  bool available = true;
  bool shown = false;
  int adds = 0, removes = 0, icon_changes = 0;
  QString tip;
  QMenu* menu = nullptr;
};

// 2026-12-07 14:03:09.250 UTC.
inline constexpr int64_t kSnapshotNs = 1'796'652'189'250'000'000;

inline std::shared_ptr<EngineSnapshot> BaseSnapshot() {
  auto s = std::make_shared<EngineSnapshot>();
  s->sequence = 1;
  s->taken_at = UtcFromNs(kSnapshotNs);
  s->zone.standard_name = "CET";
  s->zone.daylight_name = "CEST";
  s->zone.bias_minutes = -60;
  for (auto& v : s->services) {
    v.enabled = v.tcp_box = v.udp_box = v.boxes_enabled = true;
  }
  s->services[Index(Service::kTime)].port_text = "37";
  s->services[Index(Service::kDaytime)].port_text = "13";
  s->services[Index(Service::kNtp)].port_text = "123";
  s->services[Index(Service::kUnixTime)].port_text = "519";
  s->services[Index(Service::kPrivate)].port_text = "3777";
  s->servers = {{"time.nist.gov - NIST, USA - NA", 40},
                {"ptbtime1.ptb.de - PTB, Germany - EU", 46},
                {"pool.ntp.org - NTP Pool - NA", 2}};
  s->selected_server = 1;
  s->region = "NA";
  s->interval_count = "59";
  s->interval_unit = "Minutes/s";
  s->logging = true;
  return s;
}

// The offscreen platform and a private runtime folder, before the application exists.
inline void PrepareOffscreen() {
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  if (!std::getenv("XDG_RUNTIME_DIR")) {
    std::string dir = QDir::tempPath().toStdString() + "/mdl-ui-test-XXXXXX";
    if (mkdtemp(dir.data())) setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
  }
}

}  // namespace mdl::ui::testing

#define MDL_UI_TEST_MAIN(TestClass)                 \
  int main(int argc, char** argv) {                 \
    mdl::ui::testing::PrepareOffscreen();           \
    QApplication app(argc, argv);                   \
    QApplication::setQuitOnLastWindowClosed(false); \
    TestClass t;                                    \
    return QTest::qExec(&t, argc, argv);            \
  }
