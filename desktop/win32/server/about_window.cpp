// The About/Help window.
#include "desktop/win32/server/about_window.h"

#include <algorithm>
#include <utility>

#include "desktop/model/window_texts.h"
#include "desktop/win32/common/images.h"
#include "desktop/win32/common/wide.h"
#include "desktop/win32/res/resource_ids.h"
#include "desktop/win32/server/server_ids.h"

namespace mdl::win32 {
namespace {

using namespace server;  // the control IDs

std::wstring Paragraphs(std::string_view settings_place) {
  std::string all;
  for (const std::string& p : desktop::AboutParagraphs(settings_place))
    all += (all.empty() ? "" : "\n\n") + p;
  return WidenLines(all);
}

}  // namespace

AboutWindow::AboutWindow(std::string version, std::string settings_place)
    : version_(std::move(version)), settings_place_(std::move(settings_place)) {}

AboutWindow::~AboutWindow() {
  Destroy();
  if (picture_) DestroyIcon(picture_);
}

void AboutWindow::Destroy() {
  if (hwnd_) DestroyWindow(hwnd_);
  hwnd_ = nullptr;
}

void AboutWindow::Open(HWND owner) {
  if (!hwnd_) {
    if (!RegisterWindowClass(kAboutWindowClass, &ObjectWindowProc<AboutWindow>, MDL_IDI_SERVER)) return;
    CreateWindowExW(WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT, kAboutWindowClass,
                    Widen(desktop::server_text::kAboutCaption).c_str(), WS_POPUP | WS_CAPTION | WS_SYSMENU,
                    CW_USEDEFAULT, CW_USEDEFAULT, 400, 300, owner, nullptr, GetModuleHandleW(nullptr), this);
    if (!hwnd_) return;
    RECT o{};
    GetWindowRect(owner, &o);
    SetWindowPos(hwnd_, nullptr, o.left + Scale(60, dpi_), o.top + Scale(40, dpi_), 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  ShowWindow(hwnd_, SW_SHOW);
  SetForegroundWindow(hwnd_);
}

void AboutWindow::Close() {
  if (hwnd_) ShowWindow(hwnd_, SW_HIDE);
}

LRESULT AboutWindow::Handle(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_NCCREATE:
      hwnd_ = hwnd;
      break;
    case WM_CREATE: {
      dpi_ = DpiOf(hwnd_);
      font_ = Font::Message(dpi_);
      bold_font_ = Font::Message(dpi_, true);
      picture_ = LoadProgramIcon(MDL_IDI_SERVER, Scale(48, dpi_));
      picture_box_ = MakeLabel(hwnd_, kIdAboutPicture, L"", SS_ICON | SS_REALSIZEIMAGE);
      SendMessageW(picture_box_, STM_SETICON, reinterpret_cast<WPARAM>(picture_), 0);
      const std::string heading = desktop::AboutHeading(version_);
      const size_t cut = heading.find('\n');
      product_ = MakeLabel(hwnd_, kIdAboutProduct, Widen(heading.substr(0, cut)), SS_NOPREFIX);
      version_line_ = MakeLabel(hwnd_, kIdAboutVersion,
                                Widen(cut == std::string::npos ? "" : heading.substr(cut + 1)), SS_NOPREFIX);
      text_ = MakeLabel(hwnd_, kIdAboutText, Paragraphs(settings_place_), SS_NOPREFIX);
      close_ = MakeButton(hwnd_, kIdAboutClose, Widen(desktop::server_text::kAboutClose), true);
      ApplyFont(hwnd_, font_.get());
      SendMessageW(product_, WM_SETFONT, reinterpret_cast<WPARAM>(bold_font_.get()), FALSE);
      Layout();
      return 0;
    }
    case WM_DPICHANGED: {
      dpi_ = HIWORD(wparam);
      font_ = Font::Message(dpi_);
      bold_font_ = Font::Message(dpi_, true);
      ApplyFont(hwnd_, font_.get());
      SendMessageW(product_, WM_SETFONT, reinterpret_cast<WPARAM>(bold_font_.get()), FALSE);
      const auto* r = reinterpret_cast<const RECT*>(lparam);
      SetWindowPos(hwnd_, nullptr, r->left, r->top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
      Layout();
      return 0;
    }
    case WM_COMMAND:
      if (LOWORD(wparam) == kIdAboutClose || LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) Close();
      return 0;
    case WM_CLOSE:
      Close();
      return 0;
    case WM_NCDESTROY:
      hwnd_ = nullptr;
      return 0;
    default:
      break;
  }
  return DefWindowProcW(hwnd, message, wparam, lparam);
}

void AboutWindow::Layout() {
  const DialogUnits du = MeasureFont(hwnd_, font_.get());
  const int margin = du.X(7);
  const int picture = Scale(48, dpi_);
  const int text_w = du.X(240);
  MoveWindow(picture_box_, margin, margin, picture, picture, FALSE);
  const int head_x = margin + picture + du.X(8);
  const int head_w = margin + text_w - head_x;
  MoveWindow(product_, head_x, margin + du.Y(4), head_w, du.line_height, FALSE);
  MoveWindow(version_line_, head_x, margin + du.Y(4) + du.line_height + du.Y(2), head_w, du.line_height,
             FALSE);
  int y = margin + picture + du.Y(6);
  // The paragraphs' height at this width, wrapped at words.
  HDC dc = GetDC(hwnd_);
  HGDIOBJ old = SelectObject(dc, font_.get());
  RECT r{0, 0, text_w, 0};
  const std::wstring paragraphs = Paragraphs(settings_place_);
  DrawTextW(dc, paragraphs.c_str(), static_cast<int>(paragraphs.size()), &r,
            DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
  SelectObject(dc, old);
  ReleaseDC(hwnd_, dc);
  MoveWindow(text_, margin, y, text_w, r.bottom + du.Y(2), FALSE);
  y += r.bottom + du.Y(2) + du.Y(8);
  const int button_w = du.X(50);
  const int button_h = du.Y(14);
  MoveWindow(close_, margin + text_w - button_w, y, button_w, button_h, FALSE);
  y += button_h + margin;
  RECT frame{0, 0, text_w + 2 * margin, y};
  AdjustWindowRectExForDpi(&frame, static_cast<DWORD>(GetWindowLongPtrW(hwnd_, GWL_STYLE)), FALSE,
                           static_cast<DWORD>(GetWindowLongPtrW(hwnd_, GWL_EXSTYLE)), dpi_);
  SetWindowPos(hwnd_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  InvalidateRect(hwnd_, nullptr, TRUE);
}

}  // namespace mdl::win32
