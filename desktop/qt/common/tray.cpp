// Tray icon and the window's minimise/restore through it.
#include "desktop/qt/common/tray.h"

#include <QEvent>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>
#include <QWindowStateChangeEvent>

namespace mdl::ui {

QtTrayIcon::QtTrayIcon(QObject* parent) : icon_(new QSystemTrayIcon(parent)) {
  QObject::connect(icon_, &QSystemTrayIcon::activated, icon_, [this](QSystemTrayIcon::ActivationReason r) {
    if (!on_click) return;
    switch (r) {
      case QSystemTrayIcon::Trigger:
        on_click(Click::kLeft);
        break;
      case QSystemTrayIcon::DoubleClick:
        on_click(Click::kDouble);
        break;
      case QSystemTrayIcon::Context:
        on_click(Click::kRight);
        break;
      default:
        on_click(Click::kOther);
        break;
    }
  });
}

QtTrayIcon::~QtTrayIcon() {
  icon_->hide();
  if (!icon_->parent()) delete icon_;
}

bool QtTrayIcon::Available() const { return QSystemTrayIcon::isSystemTrayAvailable(); }
void QtTrayIcon::Add() { icon_->show(); }
void QtTrayIcon::Remove() { icon_->hide(); }
bool QtTrayIcon::Shown() const { return icon_->isVisible(); }
void QtTrayIcon::SetIcon(const QIcon& icon) { icon_->setIcon(icon); }
void QtTrayIcon::SetToolTip(const QString& tip) { icon_->setToolTip(tip); }
void QtTrayIcon::SetMenu(QMenu* menu) { icon_->setContextMenu(menu); }

TrayWindow::TrayWindow(QWidget* window, TrayIcon& tray) : QObject(window), window_(window), tray_(tray) {
  window_->installEventFilter(this);
}

void TrayWindow::Minimise() {
  if (in_tray_) return;
  // Without a tray the window stays as it is: hidden or iconified it could not be found again.
  if (!tray_.Available()) return;
  window_->setWindowState(window_->windowState() | Qt::WindowMinimized);
  EnterTray();
}

void TrayWindow::Restore() {
  LeaveTray();
  window_->setWindowState(window_->windowState() & ~Qt::WindowMinimized);
  window_->show();
  window_->raise();
  window_->activateWindow();
}

void TrayWindow::EnterTray() {
  if (in_tray_ || !tray_.Available()) return;
  in_tray_ = true;
  tray_.Add();
  window_->hide();
  Report(true);
}

void TrayWindow::LeaveTray() {
  if (!in_tray_) return;
  in_tray_ = false;
  tray_.Remove();
  Report(false);
}

void TrayWindow::Report(bool minimised) {
  if (reported_ == int{minimised}) return;
  reported_ = minimised;
  if (on_state_changed) on_state_changed(minimised);
}

bool TrayWindow::eventFilter(QObject* watched, QEvent* event) {
  // Only the changes of a shown window count: hiding into the tray, and the
  // platform's late reports about a hidden window, are no operator's doing.
  if (watched == window_ && event->type() == QEvent::WindowStateChange && window_->isVisible()) {
    const bool was = static_cast<QWindowStateChangeEvent*>(event)->oldState() & Qt::WindowMinimized;
    const bool minimised = window_->windowState() & Qt::WindowMinimized;
    if (minimised && !was && !in_tray_) {
      if (tray_.Available()) {
        // Hiding inside the state change confuses some window managers: a moment later.
        QTimer::singleShot(0, this, [this] {
          if ((window_->windowState() & Qt::WindowMinimized) && window_->isVisible()) EnterTray();
        });
      } else {
        Report(true);
      }
    } else if (!minimised && was) {
      if (in_tray_) {
        LeaveTray();
      } else {
        Report(false);
      }
    }
  }
  return QObject::eventFilter(watched, event);
}

}  // namespace mdl::ui
