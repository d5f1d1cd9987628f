// The screenshot tour of scripts/screenshots: the desktop server as
// QOR_MDL_Server runs it (engine, window, tray), driven through the views an
// operator sees, each written as a PNG. Run it in an X display with a tray.
//   mdl_ui_tour --home DIR --out DIR [--ntp-port N --time-port N]
#include <QApplication>
#include <QComboBox>
#include <QCursor>
#include <QMenu>
#include <QScreen>
#include <QTimer>
#include <QTreeWidget>
#include <cstdio>
#include <deque>
#include <functional>
#include <string>

#include "desktop/qt/server/about_window.h"
#include "desktop/qt/server/config_dialog.h"
#include "desktop/qt/server/desktop_server.h"
#include "desktop/qt/server/main_window.h"
#include "tests/support/loopback_ask.h"

namespace {

struct Args {
  std::string home, out;
  uint16_t ntp_port = 0, time_port = 0, unix_port = 0;
};

// A few requests, so that counters, requesters and indicators show something.
void Traffic(const Args& a) {
  std::string ntp(48, '\0');
  ntp[0] = 0x23;
  ntp[40] = 0x12;
  for (int i = 0; i < 3; ++i)
    if (a.ntp_port) mdl::testing::UdpAskText(a.ntp_port, ntp, std::chrono::milliseconds(300));
  if (a.time_port) mdl::testing::TcpAskText(a.time_port, "", std::chrono::milliseconds(300));
  if (a.unix_port) mdl::testing::UdpAskText(a.unix_port, "x", std::chrono::milliseconds(300));
}

void Save(const QPixmap& p, const Args& a, const char* name) {
  const QString path = QString::fromStdString(a.out) + "/" + name + ".png";
  if (!p.save(path)) std::fprintf(stderr, "mdl_ui_tour: cannot write %s\n", qPrintable(path));
  std::fprintf(stderr, "mdl_ui_tour: %s\n", qPrintable(path));
}

}  // namespace

int main(int argc, char** argv) {
  Args a;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string k = argv[i], v = argv[i + 1];
    if (k == "--home") a.home = v;
    if (k == "--out") a.out = v;
    if (k == "--ntp-port") a.ntp_port = static_cast<uint16_t>(std::stoi(v));
    if (k == "--time-port") a.time_port = static_cast<uint16_t>(std::stoi(v));
    if (k == "--unix-port") a.unix_port = static_cast<uint16_t>(std::stoi(v));
  }
  if (a.home.empty() || a.out.empty()) {
    std::fputs("usage: mdl_ui_tour --home DIR --out DIR [--ntp-port N] [--time-port N] [--unix-port N]\n",
               stderr);
    return 2;
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName("QOR_MDL_Server");
  QApplication::setQuitOnLastWindowClosed(false);

  mdl::ui::DesktopServerOptions options;
  options.home = a.home;
  options.virtual_clock = true;
  options.program = "/usr/lib/meridel/QOR_MDL_Server";
  options.after_start = [&a](mdl::ui::MainWindow& w) {
    auto steps = std::make_shared<std::deque<std::function<void()>>>();
    auto node = [&w](int n) {
      auto* tree = w.findChild<QTreeWidget*>("MDL_TV");
      QTreeWidgetItem* root = tree->topLevelItem(0);
      tree->setCurrentItem(n == 1 ? root : root->child(n - 2));
      if (n >= 7) w.SelectNode(n);
    };
    steps->push_back([&a] { Traffic(a); });
    const std::pair<int, const char*> panels[] = {
        {2, "main-time"}, {3, "main-daytime"}, {4, "main-ntp"}, {5, "main-unixtime"}, {6, "main-private"}};
    for (auto [n, name] : panels) {
      steps->push_back([node, n] { node(n); });
      steps->push_back([&w, &a, name] {
        // Requests just before the picture, so that the indicators are lit in it.
        Traffic(a);
        QTimer::singleShot(250, &w, [&w, &a, name] { Save(w.grab(), a, name); });
      });
    }
    steps->push_back([&w] { w.findChild<QComboBox*>("Servers")->showPopup(); });
    steps->push_back([&w, &a] {
      auto* servers = w.findChild<QComboBox*>("Servers");
      const QRect r = w.frameGeometry();
      Save(QGuiApplication::primaryScreen()->grabWindow(0, r.x(), r.y(), r.width(), r.height() + 260), a,
           "server-list");
      servers->hidePopup();
    });
    steps->push_back([node] { node(7); });
    steps->push_back([&w, &a] {
      Save(w.about_window()->grab(), a, "about");
      w.about_window()->close();
    });
    steps->push_back([node] { node(8); });
    steps->push_back([&w, &a] {
      Save(w.config_dialog()->grab(), a, "config-dialog");
      w.config_dialog()->close();
    });
    steps->push_back([&w] { w.MinimiseToTray(); });
    steps->push_back([&w] {
      QScreen* screen = QGuiApplication::primaryScreen();
      const QRect s = screen->geometry();
      w.tray_menu()->popup(QPoint(s.right() - 120, s.bottom() - 90));
    });
    steps->push_back([&w, &a] {
      QScreen* screen = QGuiApplication::primaryScreen();
      const QRect s = screen->geometry();
      Save(screen->grabWindow(0, s.right() - 260, s.bottom() - 110, 260, 110), a, "tray-menu");
      w.tray_menu()->hide();
    });
    steps->push_back([&w] { w.close(); });
    auto* timer = new QTimer(&w);
    timer->setInterval(700);
    auto waited = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, &w, [steps, timer, waited, &w] {
      // First the synchronisation (at most about 20 s).
      if (!(w.snapshot() && w.snapshot()->time_synced) && ++*waited < 30) return;
      if (steps->empty()) {
        timer->stop();
        return;
      }
      auto step = steps->front();
      steps->pop_front();
      step();
    });
    timer->start();
  };
  return mdl::ui::RunDesktopServer(options);
}
