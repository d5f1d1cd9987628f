// The tray icon of a desktop program and the window's life beside it:
// minimised, the window hides and the tray icon appears; restored, the icon
// goes. Where no system tray exists the window stays visible instead.
#pragma once

#include <QIcon>
#include <QObject>
#include <QPoint>
#include <QString>
#include <functional>
#include <memory>

class QMenu;
class QSystemTrayIcon;
class QWidget;

namespace mdl::ui {

// What the window needs of a tray icon; QtTrayIcon is the real one, tests use a fake.
class TrayIcon {
 public:
  enum class Click { kLeft, kDouble, kRight, kOther };
  virtual ~TrayIcon() = default;
  // A system tray exists now.
  virtual bool Available() const = 0;
  virtual void Add() = 0;     // shown in the tray
  virtual void Remove() = 0;  // gone from the tray
  virtual bool Shown() const = 0;
  virtual void SetIcon(const QIcon& icon) = 0;
  virtual void SetToolTip(const QString& tip) = 0;
  // The menu a right click opens.
  virtual void SetMenu(QMenu* menu) = 0;
  // Clicks on the icon.
  std::function<void(Click)> on_click;
};

// A QSystemTrayIcon. The context menu (if any) opens on a right click.
class QtTrayIcon : public TrayIcon {
 public:
  explicit QtTrayIcon(QObject* parent);
  ~QtTrayIcon() override;
  bool Available() const override;
  void Add() override;
  void Remove() override;
  bool Shown() const override;
  void SetIcon(const QIcon& icon) override;
  void SetToolTip(const QString& tip) override;
  void SetMenu(QMenu* menu) override;

 private:
  QSystemTrayIcon* icon_;
};

// Minimise to the tray and restore from it, for one window. Install it once
// the window exists; it follows the window's state changes.
class TrayWindow : public QObject {
 public:
  TrayWindow(QWidget* window, TrayIcon& tray);

  // Minimise: hidden with the tray icon shown; without a tray the window
  // stays shown (a minimise by the window manager still goes to its task bar).
  void Minimise();
  // Back to the normal state, shown and raised; the tray icon goes.
  void Restore();
  bool InTray() const { return in_tray_; }
  // Called after each change of the window's state (minimised or not).
  std::function<void(bool minimised)> on_state_changed;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void EnterTray();
  void LeaveTray();
  void Report(bool minimised);
  QWidget* window_;
  TrayIcon& tray_;
  bool in_tray_ = false;
  int reported_ = -1;  // the state last reported: -1 none, 0 normal, 1 minimised
};

}  // namespace mdl::ui
