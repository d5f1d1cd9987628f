// Child controls of the Win32 windows: creation with a stable ID, the
// system's message font and dialog-unit measures at the window's DPI,
// setters that touch a control only when its text or state changes, Enter
// in a single-line edit and a double click on a group box as notifications
// to the parent, and tooltips.
#pragma once

#include <windows.h>

#include <commctrl.h>

#include <map>
#include <string>
#include <string_view>

namespace mdl::win32 {

// WM_COMMAND notification codes (HIWORD of wParam) this file adds.
// Enter pressed in an edit made with NotifyEnter (WM_KEYDOWN with VK_RETURN).
inline constexpr WORD kEnterPressed = 0x4D01;
// A group box made with NotifyDoubleClick sends BN_DOUBLECLICKED.

// Before any control is made: the common controls' classes (tree view,
// combo box ex, tooltips, ...).
void InitControls();

int Scale(int value_at_96, UINT dpi);
// The window's DPI (96 when the system cannot tell).
UINT DpiOf(HWND window);

// The system's message font (Segoe UI / Tahoma / MS Shell Dlg) for a DPI,
// optionally bold or in another face at the same height. Owns the HFONT.
class Font {
 public:
  Font() = default;
  static Font Message(UINT dpi, bool bold = false);
  static Font Fixed(UINT dpi, bool bold = false);  // "Courier New" at the message font's height
  ~Font();
  Font(Font&& other) noexcept;
  Font& operator=(Font&& other) noexcept;
  Font(const Font&) = delete;
  Font& operator=(const Font&) = delete;
  HFONT get() const { return font_; }

 private:
  explicit Font(HFONT font) : font_(font) {}
  HFONT font_ = nullptr;
};

// Dialog units of a font: x is a quarter of the average character width, y
// an eighth of the character height, as dialog templates measure.
struct DialogUnits {
  int base_x = 6;
  int base_y = 13;
  int line_height = 13;  // one line of text
  int X(int du) const { return MulDiv(du, base_x, 4); }
  int Y(int du) const { return MulDiv(du, base_y, 8); }
};
DialogUnits MeasureFont(HWND window, HFONT font);
// The size of a text in a font (lines at LF), in pixels.
SIZE TextSize(HWND window, HFONT font, std::wstring_view text);

// A child control with its ID; hidden until WS_VISIBLE is in `style`.
HWND MakeControl(HWND parent, int id, const wchar_t* class_name, std::wstring_view text, DWORD style,
                 DWORD ex_style = 0);
HWND MakeButton(HWND parent, int id, std::wstring_view text, bool default_button = false);
HWND MakeCheckBox(HWND parent, int id, std::wstring_view text);
HWND MakeGroupBox(HWND parent, int id, std::wstring_view text);
HWND MakeLabel(HWND parent, int id, std::wstring_view text, DWORD extra_style = 0);
HWND MakeEdit(HWND parent, int id, DWORD extra_style = 0);
// Sets `font` on the window and all its children.
void ApplyFont(HWND window, HFONT font);

// Touch the control only on a change; true when it changed.
bool SetText(HWND control, std::wstring_view text);
std::wstring Text(HWND control);
// The text of a combo box's list item; empty for an index without one.
std::wstring ComboItemText(HWND combo, int index);
bool SetChecked(HWND button, bool on);
bool Checked(HWND button);
bool SetEnabled(HWND control, bool on);
bool SetShown(HWND control, bool on);

// Enter in the edit: the parent gets WM_COMMAND (id, kEnterPressed); the
// edit does not beep, and a dialog loop does not take the key for itself.
void NotifyEnter(HWND edit);
// The group box takes mouse clicks where no control inside it is (it is put
// below its siblings), and a double click on it sends the parent
// WM_COMMAND (id, BN_DOUBLECLICKED).
void NotifyDoubleClick(HWND group_box);

// Which notifications of a drop-down combo box are the operator's choice:
// a choice in the open list is confirmed (CBN_SELENDOK, after selection
// changes while the list was open); the keyboard on the closed list only
// changes the selection (CBN_SELCHANGE). Each choice counts once, also when
// a change is followed by its confirmation.
class ComboChoice {
 public:
  // The chosen index for this WM_COMMAND notification; -1 when it is none.
  int OnNotify(HWND combo, int code);
  // The same for a notification `code` with the combo box's selection
  // `index` and its list open or closed.
  int Decide(int code, int index, bool list_open);

 private:
  int changed_ = -1;  // chosen by a selection change; its confirmation counts no more
};

// The window procedure of a class whose windows belong to an object: the
// object is the creation parameter (CreateWindowExW's last argument), and its
// Handle(hwnd, message, wparam, lparam) gets every message from WM_NCCREATE
// to WM_NCDESTROY.
template <typename T>
LRESULT CALLBACK ObjectWindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<T*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (!self) return DefWindowProcW(hwnd, message, wparam, lparam);
  if (message == WM_NCDESTROY) SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
  return self->Handle(hwnd, message, wparam, lparam);
}
// Registers a window class of the program once (the dialog face colour, the
// icon resource when not 0); false when it could not.
bool RegisterWindowClass(const wchar_t* name, WNDPROC proc, int icon_resource = 0);

// The tooltips of one window's controls. Labels need SS_NOTIFY to show one.
class Tooltips {
 public:
  explicit Tooltips(HWND owner);
  ~Tooltips();
  Tooltips(const Tooltips&) = delete;
  Tooltips& operator=(const Tooltips&) = delete;
  // Adds or changes the control's tip; empty text removes it.
  void Set(HWND control, std::wstring_view text);
  std::wstring Get(HWND control) const;
  HWND window() const { return tips_; }

 private:
  HWND owner_;
  HWND tips_;
  std::map<HWND, std::wstring> texts_;
};

}  // namespace mdl::win32
