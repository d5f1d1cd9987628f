// What every window test needs first: the common controls registered and a
// display for Wine's windows (the test command runs Xvfb for them).
#pragma once

#include <windows.h>

#include <commctrl.h>

namespace mdl::win32test {

inline constexpr const char* kNoDisplay =
    "no window can be created: the Win32 window tests need an X display under Wine "
    "(scripts/build-windows --test starts Xvfb; by hand: xvfb-run -a ctest)";

// True once a top-level window can be made and the common controls are in.
inline bool HaveDisplay() {
  static const bool ok = [] {
    INITCOMMONCONTROLSEX init{sizeof(init), ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES | ICC_USEREX_CLASSES};
    if (!InitCommonControlsEx(&init)) return false;
    HWND probe = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                 GetModuleHandleW(nullptr), nullptr);
    if (!probe) return false;
    DestroyWindow(probe);
    return true;
  }();
  return ok;
}

}  // namespace mdl::win32test
