// Drives Win32 windows from a test on the window's own thread, the way a
// user's mouse and keyboard would reach them: controls are found by their
// IDs, buttons clicked, edits typed into, Enter pressed, combo items and tree
// items chosen (with the notifications a user's choice sends), texts read,
// and messages pumped until a condition holds or a time limit passes.
#pragma once

#include <windows.h>

#include <commctrl.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace mdl::win32test {

// Pumps the thread's messages until `done` holds or `limit` passes; true
// when it held. `translate` sees each message first, as a program's loop
// lets its window take accelerators and dialog keys (true: taken).
inline bool PumpUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::milliseconds(3000),
                      const std::function<bool(MSG*)>& translate = {}) {
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (translate && translate(&msg)) continue;
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    if (done()) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now >= end) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count();
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(left < 20 ? left : 20), QS_ALLINPUT);
  }
}

// Runs what is queued now (posted messages, timers that are due).
inline void Pump() {
  PumpUntil([] { return false; }, std::chrono::milliseconds(0));
}

// Any descendant of `root` with the control ID `id` (controls may sit on
// panels inside the window), or nullptr.
inline HWND Control(HWND root, int id) {
  if (HWND direct = GetDlgItem(root, id)) return direct;
  struct Search {
    int id;
    HWND found;
  } search{id, nullptr};
  EnumChildWindows(
      root,
      [](HWND child, LPARAM param) -> BOOL {
        auto* s = reinterpret_cast<Search*>(param);
        if (GetDlgCtrlID(child) != s->id) return TRUE;
        s->found = child;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

inline std::wstring Text(HWND window) {
  if (!window) return L"<no window>";
  const int length = GetWindowTextLengthW(window);
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  text.resize(static_cast<size_t>(GetWindowTextW(window, text.data(), length + 1)));
  return text;
}

inline std::string Utf8(std::wstring_view text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                       nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr,
                      nullptr);
  return out;
}

// A control's text in UTF-8, with Windows line breaks as "\n", so that it
// compares with the model's texts.
inline std::string TextOf(HWND window) {
  std::string text = Utf8(Text(window));
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

inline bool Checked(HWND button) { return SendMessageW(button, BM_GETCHECK, 0, 0) == BST_CHECKED; }
inline bool Enabled(HWND window) { return window && IsWindowEnabled(window); }
inline bool Shown(HWND window) { return window && IsWindowVisible(window); }

// A click as the button itself handles one: it toggles a check box and sends
// BN_CLICKED to its parent.
inline void Click(HWND button) { SendMessageW(button, BM_CLICK, 0, 0); }

// A menu or accelerator command sent to `window`.
inline void Command(HWND window, int id) { SendMessageW(window, WM_COMMAND, MAKEWPARAM(id, 0), 0); }

// Gives `window` the focus, as clicking into it would.
inline void Focus(HWND window) {
  SetForegroundWindow(GetAncestor(window, GA_ROOT));
  SetFocus(window);
}

// Replaces the edit's text by typing: focus, select all, delete, then one
// WM_CHAR per character (the edit sends EN_CHANGE as it would for a user).
inline void Type(HWND edit, std::wstring_view text) {
  Focus(edit);
  SendMessageW(edit, EM_SETSEL, 0, -1);
  SendMessageW(edit, WM_CHAR, VK_BACK, 0);
  for (wchar_t c : text) SendMessageW(edit, WM_CHAR, c, 0);
}

// A key as the keyboard delivers it to the focused control: WM_KEYDOWN, the
// WM_CHAR that TranslateMessage makes of it (if any), WM_KEYUP.
inline void Key(HWND target, UINT vk, wchar_t ch = 0) {
  const UINT scan = MapVirtualKeyW(vk, MAPVK_VK_TO_VSC);
  SendMessageW(target, WM_KEYDOWN, vk, 1 | (scan << 16));
  if (ch) SendMessageW(target, WM_CHAR, ch, 1 | (scan << 16));
  SendMessageW(target, WM_KEYUP, vk, 1 | (scan << 16) | (1u << 30) | (1u << 31));
}

inline void PressEnter(HWND target) { Key(target, VK_RETURN, L'\r'); }

// A key posted to the thread's queue, so that the message loop's
// accelerator translation sees it (F5, F1).
inline void PostKey(HWND target, UINT vk) {
  const UINT scan = MapVirtualKeyW(vk, MAPVK_VK_TO_VSC);
  PostMessageW(target, WM_KEYDOWN, vk, 1 | (scan << 16));
  PostMessageW(target, WM_KEYUP, vk, 1 | (scan << 16) | (1u << 30) | (1u << 31));
}

// The parent's WM_COMMAND for a notification `code` of `control`.
inline void Notify(HWND control, UINT code) {
  SendMessageW(GetParent(control), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(control), code),
               reinterpret_cast<LPARAM>(control));
}

// Chooses item `index` of a combo box (or ComboBoxEx) as a user does with
// the keyboard: the list opens (F4), the arrow keys move the selection to
// the item (CBN_SELCHANGE each step) and Enter takes it (CBN_SELENDOK) and
// closes the list. False when there is no such item.
inline bool Choose(HWND combo, int index) {
  wchar_t class_name[64] = {};
  GetClassNameW(combo, class_name, 64);
  HWND inner = combo;
  if (std::wstring_view(class_name) == WC_COMBOBOXEXW) {
    inner = reinterpret_cast<HWND>(SendMessageW(combo, CBEM_GETCOMBOCONTROL, 0, 0));
  }
  const int count = static_cast<int>(SendMessageW(inner, CB_GETCOUNT, 0, 0));
  if (index < 0 || index >= count) return false;
  SetFocus(inner);
  SendMessageW(inner, CB_SHOWDROPDOWN, TRUE, 0);
  for (int guard = 0; guard < count; ++guard) {
    const int at = static_cast<int>(SendMessageW(inner, CB_GETCURSEL, 0, 0));
    if (at == index) break;
    Key(inner, at < index ? VK_DOWN : VK_UP);
  }
  Key(inner, VK_RETURN, L'\r');
  return static_cast<int>(SendMessageW(inner, CB_GETCURSEL, 0, 0)) == index;
}

// Chooses item `index` of a combo box with the mouse: the list drops down
// and the item is clicked. The control sends its notifications in its own
// order (Wine: CBN_SELENDOK, then CBN_SELCHANGE). False when the item is
// not there.
inline bool ClickItem(HWND combo, int index) {
  wchar_t class_name[64] = {};
  GetClassNameW(combo, class_name, 64);
  HWND inner = combo;
  if (std::wstring_view(class_name) == WC_COMBOBOXEXW) {
    inner = reinterpret_cast<HWND>(SendMessageW(combo, CBEM_GETCOMBOCONTROL, 0, 0));
  }
  SendMessageW(inner, CB_SHOWDROPDOWN, TRUE, 0);
  COMBOBOXINFO info{};
  info.cbSize = sizeof(info);
  if (!GetComboBoxInfo(inner, &info) || !info.hwndList) return false;
  RECT r{};
  if (SendMessageW(info.hwndList, LB_GETITEMRECT, index, reinterpret_cast<LPARAM>(&r)) == LB_ERR) {
    SendMessageW(inner, CB_SHOWDROPDOWN, FALSE, 0);
    return false;
  }
  POINT at{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
  POINT screen = at;
  ClientToScreen(info.hwndList, &screen);
  SetCursorPos(screen.x, screen.y);
  const LPARAM where = MAKELPARAM(at.x, at.y);
  SendMessageW(info.hwndList, WM_MOUSEMOVE, 0, where);
  SendMessageW(info.hwndList, WM_LBUTTONDOWN, MK_LBUTTON, where);
  SendMessageW(info.hwndList, WM_LBUTTONUP, 0, where);
  Pump();
  return true;
}

// The confirmation alone of item `index` (CBN_SELENDOK with the item
// selected), as a click in the open list ends: for the wiring of a list
// whose window acts on the confirmation only.
inline void Confirm(HWND combo, int index) {
  SendMessageW(combo, CB_SETCURSEL, index, 0);
  Notify(combo, CBN_SELENDOK);
}

inline int Selected(HWND combo) { return static_cast<int>(SendMessageW(combo, CB_GETCURSEL, 0, 0)); }

// The texts of a combo box's list (a ComboBoxEx answers through its edit-less
// combo child).
inline std::vector<std::string> ComboItems(HWND combo) {
  wchar_t class_name[64] = {};
  GetClassNameW(combo, class_name, 64);
  std::vector<std::string> items;
  const int count = static_cast<int>(SendMessageW(combo, CB_GETCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) {
    wchar_t buffer[512] = {};
    if (std::wstring_view(class_name) == WC_COMBOBOXEXW) {
      COMBOBOXEXITEMW item{};
      item.mask = CBEIF_TEXT;
      item.iItem = i;
      item.pszText = buffer;
      item.cchTextMax = 512;
      SendMessageW(combo, CBEM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item));
    } else {
      SendMessageW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(buffer));
    }
    items.push_back(Utf8(buffer));
  }
  return items;
}

// Tree view items in display order (depth first), with their texts.
struct TreeItem {
  HTREEITEM handle;
  std::string text;
  int image;
};

inline std::vector<TreeItem> TreeItems(HWND tree) {
  std::vector<TreeItem> items;
  std::function<void(HTREEITEM)> walk = [&](HTREEITEM item) {
    for (int guard = 0; item && guard < 1000; ++guard) {
      wchar_t buffer[256] = {};
      TVITEMW tv{};
      tv.mask = TVIF_TEXT | TVIF_IMAGE;
      tv.hItem = item;
      tv.pszText = buffer;
      tv.cchTextMax = 256;
      SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&tv));
      items.push_back({item, Utf8(buffer), tv.iImage});
      walk(reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_CHILD, (LPARAM)item)));
      item = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_NEXT, (LPARAM)item));
    }
  };
  walk(reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_ROOT, 0)));
  return items;
}

inline HTREEITEM FindTreeItem(HWND tree, std::string_view text) {
  for (const TreeItem& item : TreeItems(tree)) {
    if (item.text == text) return item.handle;
  }
  return nullptr;
}

// Selects the tree item with `text` as a click would: the tree sends
// TVN_SELCHANGING/TVN_SELCHANGED to its parent. False when there is none.
inline bool SelectTreeItem(HWND tree, std::string_view text) {
  HTREEITEM item = FindTreeItem(tree, text);
  if (!item) return false;
  SendMessageW(tree, TVM_ENSUREVISIBLE, 0, reinterpret_cast<LPARAM>(item));
  return SendMessageW(tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(item)) != 0;
}

inline std::string SelectedTreeText(HWND tree) {
  auto selected = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_CARET, 0));
  for (const TreeItem& item : TreeItems(tree)) {
    if (item.handle == selected) return item.text;
  }
  return {};
}

// A press and release of the left button at `at` (client coordinates).
// Controls such as the tree follow a press in a loop of their own until the
// release is in the queue (drag detection): the release is posted first.
inline void ClickAt(HWND window, POINT at) {
  // The pointer goes there first: a control may ask where it is (GetCursorPos).
  POINT screen = at;
  ClientToScreen(window, &screen);
  SetCursorPos(screen.x, screen.y);
  const LPARAM where = MAKELPARAM(at.x, at.y);
  PostMessageW(window, WM_LBUTTONUP, 0, where);
  SendMessageW(window, WM_LBUTTONDOWN, MK_LBUTTON, where);
  Pump();
}

// A double click at `at`: press, release, the second press as a double
// click, release.
inline void DoubleClickAt(HWND window, POINT at) {
  ClickAt(window, at);
  const LPARAM where = MAKELPARAM(at.x, at.y);
  SendMessageW(window, WM_LBUTTONDBLCLK, MK_LBUTTON, where);
  SendMessageW(window, WM_LBUTTONUP, 0, where);
}

// The middle of the tree item with `text`, scrolled into view; false when
// there is none.
inline bool TreeItemPoint(HWND tree, std::string_view text, POINT* at) {
  HTREEITEM item = FindTreeItem(tree, text);
  if (!item) return false;
  SendMessageW(tree, TVM_ENSUREVISIBLE, 0, reinterpret_cast<LPARAM>(item));
  RECT rect{};
  static_assert(sizeof(rect) >= sizeof(item));
  std::memcpy(&rect, &item, sizeof(item));  // TVM_GETITEMRECT takes the item in the rectangle
  if (!SendMessageW(tree, TVM_GETITEMRECT, TRUE, reinterpret_cast<LPARAM>(&rect))) return false;
  *at = POINT{(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
  return true;
}

// Clicks the tree item with `text` with the mouse: it is selected and the
// tree sends NM_CLICK to its parent. False when there is none.
inline bool ClickTreeItem(HWND tree, std::string_view text) {
  POINT at{};
  if (!TreeItemPoint(tree, text, &at)) return false;
  ClickAt(tree, at);
  return true;
}

// Double-clicks the tree item with `text`: the tree sends NM_DBLCLK to its
// parent. False when there is none.
inline bool DoubleClickTreeItem(HWND tree, std::string_view text) {
  POINT at{};
  if (!TreeItemPoint(tree, text, &at)) return false;
  DoubleClickAt(tree, at);
  return true;
}

}  // namespace mdl::win32test
