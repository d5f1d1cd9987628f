// The About/Help window (tree node 7): the program's picture, the product
// line and version, what the program does, and a Close button.
#pragma once

#include <windows.h>

#include <string>

#include "desktop/win32/common/controls.h"

namespace mdl::win32 {

class AboutWindow {
 public:
  AboutWindow(std::string version, std::string settings_place);
  ~AboutWindow();
  AboutWindow(const AboutWindow&) = delete;
  AboutWindow& operator=(const AboutWindow&) = delete;

  // Made the first time; shown in front.
  void Open(HWND owner);
  void Close();
  void Destroy();
  HWND hwnd() const { return hwnd_; }
  bool shown() const { return hwnd_ && IsWindowVisible(hwnd_); }

  // The window procedure (ObjectWindowProc).
  LRESULT Handle(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);

 private:
  void Layout();

  std::string version_;
  std::string settings_place_;
  HWND hwnd_ = nullptr;
  UINT dpi_ = 96;
  Font font_;
  Font bold_font_;
  HICON picture_ = nullptr;
  HWND picture_box_ = nullptr;
  HWND product_ = nullptr;
  HWND version_line_ = nullptr;
  HWND text_ = nullptr;
  HWND close_ = nullptr;
};

}  // namespace mdl::win32
