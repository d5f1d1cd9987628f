// A window's icon in the notification area (Shell_NotifyIconW): added and
// removed by the window, its picture and tip kept while it is away and set
// again when the shell comes back (the TaskbarCreated broadcast after
// Explorer restarts). The icon reports mouse messages to its window as the
// callback message, with the mouse message number in lParam.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace mdl::win32 {

class TrayIcon {
 public:
  enum class Click { kLeft, kDouble, kRight, kOther };

  // `callback` is the message the icon sends to `owner` (WM_APP + n).
  TrayIcon(HWND owner, UINT callback, UINT id = 1);
  ~TrayIcon();
  TrayIcon(const TrayIcon&) = delete;
  TrayIcon& operator=(const TrayIcon&) = delete;

  // Shows the icon; false when the shell refused (no notification area).
  bool Add();
  void Remove();
  bool shown() const { return shown_; }

  // Not owned; the icon shows it at once when shown, else when added.
  void SetIcon(HICON icon);
  // At most 127 characters are shown (the shell's field).
  void SetTip(std::wstring_view tip);
  HICON icon() const { return icon_; }
  const std::wstring& tip() const { return tip_; }
  UINT callback() const { return callback_; }

  // The click that a callback message's lParam tells: left button up and
  // left double click (514, 515), right button up (517), anything else.
  static Click ClickOf(LPARAM lparam);

  // For every message of the owner's window procedure: true for the shell's
  // TaskbarCreated broadcast, after which a shown icon is added again.
  bool OnShellRestarted(UINT message);

  // Brings the owner to the front and shows `menu` at the cursor (also when
  // another program has the focus); the chosen item's command, 0 for none.
  static UINT ShowMenu(HWND owner, HMENU menu);

 private:
  bool Notify(DWORD what);

  HWND owner_;
  UINT callback_;
  UINT id_;
  UINT taskbar_created_;
  HICON icon_ = nullptr;
  std::wstring tip_;
  bool shown_ = false;
};

}  // namespace mdl::win32
