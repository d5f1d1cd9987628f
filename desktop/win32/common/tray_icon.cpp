// Shell_NotifyIconW with the classic callback (mouse message in lParam).
#include "desktop/win32/common/tray_icon.h"

#include <shellapi.h>

#include <algorithm>
#include <cwchar>

namespace mdl::win32 {

TrayIcon::TrayIcon(HWND owner, UINT callback, UINT id)
    : owner_(owner),
      callback_(callback),
      id_(id),
      taskbar_created_(RegisterWindowMessageW(L"TaskbarCreated")) {}

TrayIcon::~TrayIcon() { Remove(); }

bool TrayIcon::Notify(DWORD what) {
  NOTIFYICONDATAW data{};
  data.cbSize = sizeof(data);
  data.hWnd = owner_;
  data.uID = id_;
  if (what != NIM_DELETE) {
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data.uCallbackMessage = callback_;
    data.hIcon = icon_;
    const size_t n = std::min(tip_.size(), std::size(data.szTip) - 1);
    std::wmemcpy(data.szTip, tip_.data(), n);
    data.szTip[n] = L'\0';
  }
  return Shell_NotifyIconW(what, &data) != FALSE;
}

bool TrayIcon::Add() {
  if (shown_) return true;
  shown_ = Notify(NIM_ADD);
  return shown_;
}

void TrayIcon::Remove() {
  if (!shown_) return;
  Notify(NIM_DELETE);
  shown_ = false;
}

void TrayIcon::SetIcon(HICON icon) {
  if (icon == icon_) return;
  icon_ = icon;
  if (shown_) Notify(NIM_MODIFY);
}

void TrayIcon::SetTip(std::wstring_view tip) {
  if (tip == tip_) return;
  tip_.assign(tip);
  if (shown_) Notify(NIM_MODIFY);
}

TrayIcon::Click TrayIcon::ClickOf(LPARAM lparam) {
  switch (static_cast<UINT>(lparam) & 0xFFFF) {
    case WM_LBUTTONUP:
      return Click::kLeft;
    case WM_LBUTTONDBLCLK:
      return Click::kDouble;
    case WM_RBUTTONUP:
      return Click::kRight;
    default:
      return Click::kOther;
  }
}

bool TrayIcon::OnShellRestarted(UINT message) {
  if (message == 0 || message != taskbar_created_) return false;
  // The new shell knows no icons: a shown one is added again.
  if (shown_) shown_ = Notify(NIM_ADD);
  return true;
}

UINT TrayIcon::ShowMenu(HWND owner, HMENU menu) {
  POINT at{};
  GetCursorPos(&at);
  // Without the owner in front the menu would not close when the user clicks elsewhere.
  SetForegroundWindow(owner);
  const UINT chosen = static_cast<UINT>(
      TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY, at.x, at.y, 0, owner, nullptr));
  PostMessageW(owner, WM_NULL, 0, 0);
  return chosen;
}

}  // namespace mdl::win32
