// What the two desktop programs' main() share: stop signals that close the
// window (also when they came before it existed), and the arguments the
// autostart entry starts the program with.
#pragma once

#include <QApplication>
#include <QMetaObject>
#include <QPointer>
#include <QWidget>
#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "server/hosting/signal_loop.h"

namespace mdl {

// Make it after the QApplication (it ends before it), with the service
// signals blocked since before any thread existed (BlockServiceSignals).
class DesktopStopSignals {
 public:
  DesktopStopSignals() {
    thread_ = std::thread([this] {
      service::SignalHandlers handlers;
      handlers.stop = [this](int) {
        stop_requested_ = true;
        QMetaObject::invokeMethod(
            qApp,
            [this] {
              if (window_) window_->close();
            },
            Qt::QueuedConnection);
      };
      service::RunSignalLoop(handlers);
    });
  }
  // Ends the signal loop, which takes this like any stop signal.
  ~DesktopStopSignals() {
    service::RequestStop();
    thread_.join();
  }
  DesktopStopSignals(const DesktopStopSignals&) = delete;
  DesktopStopSignals& operator=(const DesktopStopSignals&) = delete;

  // The window a stop signal closes (on the window's thread).
  void Attach(QWidget* window) {
    window_ = window;
    if (stop_requested_)
      QMetaObject::invokeMethod(
          window, [window] { window->close(); }, Qt::QueuedConnection);
  }

 private:
  QPointer<QWidget> window_;  // read on the window's thread only
  std::atomic<bool> stop_requested_{false};
  std::thread thread_;
};

inline std::vector<std::string> AutostartArguments(const std::filesystem::path& home,
                                                   const std::filesystem::path& registry) {
  std::vector<std::string> args = {"--home", home.string()};
  if (!registry.empty()) {
    std::error_code ec;
    args.push_back("--registry");
    args.push_back(std::filesystem::absolute(registry, ec).string());
  }
  return args;
}

}  // namespace mdl
