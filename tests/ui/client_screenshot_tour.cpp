// The desktop client's part of scripts/screenshots: QOR_MDLSC as it runs
// (client application, window, tray) against a running server, its window
// after the first exchange and its tray menu written as PNGs. Run it in an X
// display with a tray.
//   mdl_client_tour --home DIR --out DIR
#include <QApplication>
#include <QMenu>
#include <QScreen>
#include <QTimer>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "desktop/qt/client/client_window.h"
#include "desktop/qt/client/desktop_client.h"

namespace {

void Save(const QPixmap& p, const std::string& out, const char* name) {
  const QString path = QString::fromStdString(out) + "/" + name + ".png";
  if (!p.save(path)) std::fprintf(stderr, "mdl_client_tour: cannot write %s\n", qPrintable(path));
  std::fprintf(stderr, "mdl_client_tour: %s\n", qPrintable(path));
}

}  // namespace

int main(int argc, char** argv) {
  std::string home, out;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string k = argv[i], v = argv[i + 1];
    if (k == "--home") home = v;
    if (k == "--out") out = v;
  }
  if (home.empty() || out.empty()) {
    std::fputs("usage: mdl_client_tour --home DIR --out DIR\n", stderr);
    return 2;
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName("QOR_MDLSC");
  QApplication::setQuitOnLastWindowClosed(false);

  mdl::ui::DesktopClientOptions options;
  options.home = home;
  options.virtual_clock = true;
  options.program = "/usr/lib/meridel/QOR_MDLSC";
  int status = 1;
  options.after_start = [&out, &status](mdl::ui::ClientWindow& w) {
    auto steps = std::make_shared<std::deque<std::function<void()>>>();
    steps->push_back([&w, &out] { Save(w.grab(), out, "client-window"); });
    steps->push_back([&w] { w.MinimiseToTray(); });
    steps->push_back([&w] {
      const QRect s = QGuiApplication::primaryScreen()->geometry();
      w.main_menu()->popup(QPoint(s.right() - 230, s.bottom() - 140));
    });
    steps->push_back([&w, &out] {
      QScreen* screen = QGuiApplication::primaryScreen();
      const QRect s = screen->geometry();
      Save(screen->grabWindow(0, s.right() - 300, s.bottom() - 160, 300, 160), out, "client-tray-menu");
      w.main_menu()->hide();
    });
    steps->push_back([&w, &status] {
      status = 0;
      w.close();
    });
    auto reported = std::make_shared<bool>(false);
    QObject::connect(&w, &mdl::ui::ClientWindow::reportShown, &w, [reported] { *reported = true; });
    auto* timer = new QTimer(&w);
    timer->setInterval(700);
    auto waited = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, &w, [steps, timer, waited, reported, &w] {
      // First the exchange's report (at most about 20 s).
      if (!*reported && ++*waited < 30) return;
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
  const int run = mdl::ui::RunDesktopClient(options);
  return run != 0 ? run : status;
}
