// Child controls, fonts and measures at the window's DPI.
#include "desktop/win32/common/controls.h"

#include <utility>

namespace mdl::win32 {
namespace {

LRESULT CALLBACK EnterProc(HWND edit, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR, DWORD_PTR) {
  switch (message) {
    case WM_GETDLGCODE: {
      LRESULT code = DefSubclassProc(edit, message, wparam, lparam);
      const auto* msg = reinterpret_cast<const MSG*>(lparam);
      if (msg && msg->message == WM_KEYDOWN && msg->wParam == VK_RETURN) code |= DLGC_WANTALLKEYS;
      return code;
    }
    case WM_KEYDOWN:
      if (wparam == VK_RETURN) {
        SendMessageW(GetParent(edit), WM_COMMAND,
                     MAKEWPARAM(static_cast<WORD>(GetDlgCtrlID(edit)), kEnterPressed),
                     reinterpret_cast<LPARAM>(edit));
        return 0;
      }
      break;
    case WM_CHAR:
      // The character Enter makes: a single-line edit would beep.
      if (wparam == L'\r' || wparam == L'\n') return 0;
      break;
    case WM_NCDESTROY:
      RemoveWindowSubclass(edit, EnterProc, 1);
      break;
    default:
      break;
  }
  return DefSubclassProc(edit, message, wparam, lparam);
}

LRESULT CALLBACK DoubleClickProc(HWND box, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR, DWORD_PTR) {
  switch (message) {
    case WM_NCHITTEST:
      // A group box is transparent to the mouse; this one takes what reaches it.
      return HTCLIENT;
    case WM_LBUTTONDBLCLK:
      SendMessageW(GetParent(box), WM_COMMAND,
                   MAKEWPARAM(static_cast<WORD>(GetDlgCtrlID(box)), BN_DOUBLECLICKED),
                   reinterpret_cast<LPARAM>(box));
      return 0;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
      return 0;
    case WM_NCDESTROY:
      RemoveWindowSubclass(box, DoubleClickProc, 1);
      break;
    default:
      break;
  }
  return DefSubclassProc(box, message, wparam, lparam);
}

}  // namespace

bool RegisterWindowClass(const wchar_t* name, WNDPROC proc, int icon_resource) {
  WNDCLASSEXW existing{};
  existing.cbSize = sizeof(existing);
  if (GetClassInfoExW(GetModuleHandleW(nullptr), name, &existing)) return true;
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = proc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  if (icon_resource) wc.hIcon = LoadIconW(wc.hInstance, MAKEINTRESOURCEW(icon_resource));
  wc.lpszClassName = name;
  return RegisterClassExW(&wc) != 0;
}

void InitControls() {
  INITCOMMONCONTROLSEX icc{};
  icc.dwSize = sizeof(icc);
  icc.dwICC = ICC_STANDARD_CLASSES | ICC_TREEVIEW_CLASSES | ICC_USEREX_CLASSES | ICC_WIN95_CLASSES |
              ICC_TAB_CLASSES | ICC_BAR_CLASSES;
  InitCommonControlsEx(&icc);
}

int Scale(int value_at_96, UINT dpi) { return MulDiv(value_at_96, static_cast<int>(dpi), 96); }

UINT DpiOf(HWND window) {
  const UINT dpi = window ? GetDpiForWindow(window) : 0;
  return dpi ? dpi : 96;
}

Font Font::Message(UINT dpi, bool bold) {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof(metrics);
  if (!SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, metrics.cbSize, &metrics, 0, dpi)) {
    // Older systems: the font at the system's DPI, scaled to this one.
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, metrics.cbSize, &metrics, 0);
    HDC screen = GetDC(nullptr);
    const int system_dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    metrics.lfMessageFont.lfHeight =
        MulDiv(metrics.lfMessageFont.lfHeight, static_cast<int>(dpi), system_dpi);
  }
  LOGFONTW font = metrics.lfMessageFont;
  if (bold) font.lfWeight = FW_BOLD;
  return Font(CreateFontIndirectW(&font));
}

Font Font::Fixed(UINT dpi, bool bold) {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof(metrics);
  if (!SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, metrics.cbSize, &metrics, 0, dpi))
    metrics.lfMessageFont.lfHeight = -MulDiv(8, static_cast<int>(dpi), 72);
  LOGFONTW font{};
  font.lfHeight = metrics.lfMessageFont.lfHeight;
  font.lfWeight = bold ? FW_BOLD : FW_NORMAL;
  font.lfCharSet = DEFAULT_CHARSET;
  font.lfQuality = DEFAULT_QUALITY;
  font.lfPitchAndFamily = FIXED_PITCH | FF_MODERN;
  wcscpy_s(font.lfFaceName, L"Courier New");
  return Font(CreateFontIndirectW(&font));
}

Font::~Font() {
  if (font_) DeleteObject(font_);
}

Font::Font(Font&& other) noexcept : font_(std::exchange(other.font_, nullptr)) {}

Font& Font::operator=(Font&& other) noexcept {
  if (this != &other) {
    if (font_) DeleteObject(font_);
    font_ = std::exchange(other.font_, nullptr);
  }
  return *this;
}

DialogUnits MeasureFont(HWND window, HFONT font) {
  DialogUnits units;
  HDC dc = GetDC(window);
  HGDIOBJ old = SelectObject(dc, font);
  TEXTMETRICW metrics{};
  SIZE size{};
  static constexpr wchar_t kAlphabet[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  if (GetTextMetricsW(dc, &metrics) && GetTextExtentPoint32W(dc, kAlphabet, 52, &size)) {
    units.base_x = (size.cx / 26 + 1) / 2;
    units.base_y = metrics.tmHeight;
    units.line_height = metrics.tmHeight + metrics.tmExternalLeading;
  }
  SelectObject(dc, old);
  ReleaseDC(window, dc);
  return units;
}

SIZE TextSize(HWND window, HFONT font, std::wstring_view text) {
  HDC dc = GetDC(window);
  HGDIOBJ old = SelectObject(dc, font);
  RECT r{0, 0, 0, 0};
  DrawTextW(dc, text.data(), static_cast<int>(text.size()), &r, DT_CALCRECT | DT_NOPREFIX);
  SelectObject(dc, old);
  ReleaseDC(window, dc);
  return SIZE{r.right - r.left, r.bottom - r.top};
}

HWND MakeControl(HWND parent, int id, const wchar_t* class_name, std::wstring_view text, DWORD style,
                 DWORD ex_style) {
  const std::wstring t(text);
  return CreateWindowExW(ex_style, class_name, t.c_str(), style | WS_CHILD, 0, 0, 10, 10, parent,
                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr),
                         nullptr);
}

HWND MakeButton(HWND parent, int id, std::wstring_view text, bool default_button) {
  return MakeControl(parent, id, WC_BUTTONW, text,
                     WS_VISIBLE | WS_TABSTOP | (default_button ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON));
}

HWND MakeCheckBox(HWND parent, int id, std::wstring_view text) {
  return MakeControl(parent, id, WC_BUTTONW, text, WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX);
}

HWND MakeGroupBox(HWND parent, int id, std::wstring_view text) {
  return MakeControl(parent, id, WC_BUTTONW, text, WS_VISIBLE | WS_CLIPSIBLINGS | BS_GROUPBOX);
}

HWND MakeLabel(HWND parent, int id, std::wstring_view text, DWORD extra_style) {
  return MakeControl(parent, id, WC_STATICW, text, WS_VISIBLE | SS_LEFT | extra_style);
}

HWND MakeEdit(HWND parent, int id, DWORD extra_style) {
  return MakeControl(parent, id, WC_EDITW, L"", WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL | extra_style,
                     WS_EX_CLIENTEDGE);
}

void ApplyFont(HWND window, HFONT font) {
  SendMessageW(window, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  EnumChildWindows(
      window,
      [](HWND child, LPARAM f) -> BOOL {
        SendMessageW(child, WM_SETFONT, static_cast<WPARAM>(f), TRUE);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(font));
}

std::wstring Text(HWND control) {
  const int n = GetWindowTextLengthW(control);
  std::wstring text(static_cast<size_t>(n) + 1, L'\0');
  const int got = GetWindowTextW(control, text.data(), n + 1);
  text.resize(static_cast<size_t>(got > 0 ? got : 0));
  return text;
}

std::wstring ComboItemText(HWND combo, int index) {
  if (index < 0) return {};
  const LRESULT n = SendMessageW(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
  if (n < 0) return {};
  std::wstring text(static_cast<size_t>(n) + 1, L'\0');
  SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<size_t>(n));
  return text;
}

bool SetText(HWND control, std::wstring_view text) {
  if (Text(control) == text) return false;
  const std::wstring t(text);
  SetWindowTextW(control, t.c_str());
  return true;
}

bool Checked(HWND button) { return SendMessageW(button, BM_GETCHECK, 0, 0) == BST_CHECKED; }

bool SetChecked(HWND button, bool on) {
  if (Checked(button) == on) return false;
  SendMessageW(button, BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0);
  return true;
}

bool SetEnabled(HWND control, bool on) {
  if ((IsWindowEnabled(control) != FALSE) == on) return false;
  EnableWindow(control, on);
  return true;
}

bool SetShown(HWND control, bool on) {
  const bool shown = (GetWindowLongPtrW(control, GWL_STYLE) & WS_VISIBLE) != 0;
  if (shown == on) return false;
  ShowWindow(control, on ? SW_SHOWNA : SW_HIDE);
  return true;
}

int ComboChoice::OnNotify(HWND combo, int code) {
  if (code != CBN_SELCHANGE && code != CBN_SELENDOK) return -1;
  return Decide(code, static_cast<int>(SendMessageW(combo, CB_GETCURSEL, 0, 0)),
                SendMessageW(combo, CB_GETDROPPEDSTATE, 0, 0) != 0);
}

int ComboChoice::Decide(int code, int index, bool list_open) {
  if (index < 0) return -1;
  if (code == CBN_SELCHANGE) {
    // Moving through the open list chooses nothing yet.
    if (list_open) return -1;
    changed_ = index;
    return index;
  }
  if (code != CBN_SELENDOK) return -1;
  const bool counted = changed_ == index;
  changed_ = -1;
  return counted ? -1 : index;
}

void NotifyEnter(HWND edit) { SetWindowSubclass(edit, EnterProc, 1, 0); }

void NotifyDoubleClick(HWND group_box) {
  SetWindowSubclass(group_box, DoubleClickProc, 1, 0);
  // Below its siblings: the controls inside it keep their clicks.
  SetWindowPos(group_box, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

Tooltips::Tooltips(HWND owner)
    : owner_(owner),
      tips_(CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX,
                            CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, owner, nullptr,
                            GetModuleHandleW(nullptr), nullptr)) {
  // A width limit lets tips break at their line feeds.
  if (tips_) SendMessageW(tips_, TTM_SETMAXTIPWIDTH, 0, Scale(480, DpiOf(owner)));
}

Tooltips::~Tooltips() {
  if (tips_) DestroyWindow(tips_);
}

void Tooltips::Set(HWND control, std::wstring_view text) {
  auto it = texts_.find(control);
  if (it != texts_.end() && it->second == text) return;
  if (it == texts_.end() && text.empty()) return;
  std::wstring t(text);
  TTTOOLINFOW info{};
  info.cbSize = sizeof(info);
  info.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  info.hwnd = owner_;
  info.uId = reinterpret_cast<UINT_PTR>(control);
  info.lpszText = t.data();
  if (text.empty()) {
    if (tips_) SendMessageW(tips_, TTM_DELTOOLW, 0, reinterpret_cast<LPARAM>(&info));
    texts_.erase(it);
    return;
  }
  if (tips_)
    SendMessageW(tips_, it == texts_.end() ? TTM_ADDTOOLW : TTM_UPDATETIPTEXTW, 0,
                 reinterpret_cast<LPARAM>(&info));
  texts_[control] = std::move(t);
}

std::wstring Tooltips::Get(HWND control) const {
  auto it = texts_.find(control);
  return it == texts_.end() ? std::wstring() : it->second;
}

}  // namespace mdl::win32
