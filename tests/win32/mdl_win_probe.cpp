// Looks at a desktop program's window from outside, for the end-to-end
// scripts under Wine: finds the top-level window by class (and caption),
// reads a control's text by its ID, tells whether the window is shown,
// minimises it, sends it its tray icon's callback, closes it. Every wait
// is bounded; the exit status says whether the condition held.
//   mdl_win_probe wait CLASS CAPTION SECONDS          the window exists
//   mdl_win_probe text CLASS ID                       prints the control's text
//   mdl_win_probe wait-text CLASS ID TEXT SECONDS     the control's text contains TEXT
//   mdl_win_probe shown CLASS                         0 when shown, 1 when hidden
//   mdl_win_probe wait-shown CLASS yes|no SECONDS
//   mdl_win_probe minimise CLASS                      WM_SYSCOMMAND SC_MINIMIZE
//   mdl_win_probe tray CLASS MESSAGE MOUSE            the tray callback: MESSAGE with lParam MOUSE (posted)
//   mdl_win_probe close CLASS                         WM_CLOSE, as the close box
//   mdl_win_probe rect CLASS                          prints "WxH+X+Y" of the window on the screen
//   mdl_win_probe tree CLASS ID INDEX                 selects the tree's INDEXth item (depth first)
//   mdl_win_probe send CLASS ID MESSAGE WPARAM        MESSAGE posted to the control (plain values only)
//   mdl_win_probe post CLASS MESSAGE WPARAM LPARAM    MESSAGE posted to the window (plain values only)
//   mdl_win_probe cursor X Y                          moves the mouse pointer
//   mdl_win_probe wait-tip CLASS ID TEXT SECONDS      the control's tooltip contains TEXT
// CLASS may be CLASS/CAPTION to tell windows of one class apart.
#include <windows.h>

#include <commctrl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

std::string Narrow(const std::wstring& s) {
  if (s.empty()) return {};
  const int n =
      WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n, nullptr, nullptr);
  return out;
}

HWND Find(std::wstring cls, std::wstring caption = {}) {
  if (const size_t slash = cls.find(L'/'); slash != std::wstring::npos) {
    caption = cls.substr(slash + 1);
    cls.resize(slash);
  }
  return FindWindowW(cls.c_str(), caption.empty() ? nullptr : caption.c_str());
}

// The tree's items depth first, as the tree shows them expanded.
HTREEITEM TreeItemAt(HWND tree, int index) {
  HTREEITEM item = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_ROOT, 0));
  for (int i = 0; item && i < index; ++i) {
    item = reinterpret_cast<HTREEITEM>(
        SendMessageW(tree, TVM_GETNEXTITEM, TVGN_NEXTVISIBLE, reinterpret_cast<LPARAM>(item)));
  }
  return item;
}

// Polls `done` every 100 ms for at most `seconds`.
template <typename F>
bool WaitFor(double seconds, F done) {
  const auto end =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<int>(seconds * 1000));
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

HWND ControlOf(HWND root, int id) {
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

// The control's text through WM_GETTEXT (GetWindowTextW does not ask a
// control of another process), line breaks as "\n"; empty when it is missing.
bool TextOf(HWND root, int id, std::string* out) {
  HWND control = root ? ControlOf(root, id) : nullptr;
  if (!control) return false;
  wchar_t buffer[8192] = {};
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutW(control, WM_GETTEXT, 8192, reinterpret_cast<LPARAM>(buffer), SMTO_ABORTIFHUNG,
                           2000, &copied))
    return false;
  std::string text = Narrow(std::wstring(buffer, copied));
  out->clear();
  for (char c : text)
    if (c != '\r') *out += c;
  return true;
}

// The tooltip of control `id`: the tools of the program's tooltip windows
// are read into memory of the program's own (the tooltip messages carry
// pointers that Windows does not copy between processes).
bool TooltipOf(HWND root, int id, std::string* out) {
  HWND control = root ? ControlOf(root, id) : nullptr;
  if (!control) return false;
  DWORD pid = 0;
  GetWindowThreadProcessId(root, &pid);
  HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
  if (!process) return false;
  constexpr size_t kTextChars = 1024;
  auto* remote = static_cast<char*>(VirtualAllocEx(
      process, nullptr, sizeof(TTTOOLINFOW) + kTextChars * sizeof(wchar_t), MEM_COMMIT, PAGE_READWRITE));
  bool found = false;
  struct Tips {
    DWORD pid;
    std::vector<HWND> windows;
  } tips{pid, {}};
  EnumWindows(
      [](HWND window, LPARAM param) -> BOOL {
        auto* t = reinterpret_cast<Tips*>(param);
        wchar_t name[64] = {};
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        GetClassNameW(window, name, 64);
        if (owner == t->pid && std::wstring_view(name) == TOOLTIPS_CLASSW) t->windows.push_back(window);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&tips));
  wchar_t* remote_text = reinterpret_cast<wchar_t*>(remote + sizeof(TTTOOLINFOW));
  for (HWND tip : tips.windows) {
    const int count = static_cast<int>(SendMessageW(tip, TTM_GETTOOLCOUNT, 0, 0));
    for (int i = 0; remote && i < count && !found; ++i) {
      TTTOOLINFOW info{};
      info.cbSize = sizeof(info);
      info.lpszText = remote_text;
      wchar_t zero[kTextChars] = {};
      WriteProcessMemory(process, remote, &info, sizeof(info), nullptr);
      WriteProcessMemory(process, remote_text, zero, sizeof(zero), nullptr);
      if (!SendMessageW(tip, TTM_ENUMTOOLSW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(remote)))
        continue;
      ReadProcessMemory(process, remote, &info, sizeof(info), nullptr);
      // The tool may be a part of the control (the edit or list of a combo box).
      const HWND tool = reinterpret_cast<HWND>(info.uId);
      if (tool != control && !IsChild(control, tool)) continue;
      wchar_t text[kTextChars] = {};
      ReadProcessMemory(process, remote_text, text, sizeof(text) - sizeof(wchar_t), nullptr);
      *out = Narrow(text);
      found = true;
    }
  }
  if (remote) VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  CloseHandle(process);
  return found;
}

int Usage() {
  std::fputs("usage: mdl_win_probe wait|text|wait-text|shown|wait-shown|minimise|tray|close CLASS ...\n",
             stderr);
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** wargv) {
  if (argc < 3) return Usage();
  std::string verb = Narrow(wargv[1]);
  std::wstring cls = wargv[2];
  auto arg = [&](int i) { return i < argc ? Narrow(wargv[i]) : std::string(); };
  if (verb == "wait" && argc == 5) {
    const std::wstring caption = wargv[3];
    return WaitFor(std::atof(arg(4).c_str()), [&] { return Find(cls, caption) != nullptr; }) ? 0 : 1;
  }
  if (verb == "text" && argc == 4) {
    std::string text;
    if (!TextOf(Find(cls), std::atoi(arg(3).c_str()), &text)) return 1;
    std::printf("%s\n", text.c_str());
    return 0;
  }
  if (verb == "wait-text" && argc == 6) {
    const std::string wanted = arg(4);
    std::string text;
    const bool ok = WaitFor(std::atof(arg(5).c_str()), [&] {
      return TextOf(Find(cls), std::atoi(arg(3).c_str()), &text) && text.find(wanted) != std::string::npos;
    });
    std::printf("%s\n", text.c_str());
    return ok ? 0 : 1;
  }
  if (verb == "wait-tip" && argc == 6) {
    const std::string wanted = arg(4);
    std::string text;
    const bool ok = WaitFor(std::atof(arg(5).c_str()), [&] {
      return TooltipOf(Find(cls), std::atoi(arg(3).c_str()), &text) && text.find(wanted) != std::string::npos;
    });
    std::printf("%s\n", text.c_str());
    return ok ? 0 : 1;
  }
  if (verb == "shown" && argc == 3) {
    HWND window = Find(cls);
    return window && IsWindowVisible(window) ? 0 : 1;
  }
  if (verb == "wait-shown" && argc == 5) {
    const bool wanted = arg(3) == "yes";
    return WaitFor(std::atof(arg(4).c_str()),
                   [&] {
                     HWND window = Find(cls);
                     return window && (IsWindowVisible(window) != FALSE) == wanted;
                   })
               ? 0
               : 1;
  }
  if (verb == "cursor" && argc == 4)
    return SetCursorPos(std::atoi(arg(2).c_str()), std::atoi(arg(3).c_str())) ? 0 : 1;
  HWND window = Find(cls);
  if (!window) {
    std::fprintf(stderr, "mdl_win_probe: no window of class %s\n", arg(2).c_str());
    return 1;
  }
  DWORD_PTR result = 0;
  if (verb == "minimise" && argc == 3) {
    return SendMessageTimeoutW(window, WM_SYSCOMMAND, SC_MINIMIZE, 0, SMTO_ABORTIFHUNG, 5000, &result) ? 0
                                                                                                       : 1;
  }
  if (verb == "tray" && argc == 5) {
    const UINT message = static_cast<UINT>(std::strtoul(arg(3).c_str(), nullptr, 0));
    const LPARAM mouse = static_cast<LPARAM>(std::strtol(arg(4).c_str(), nullptr, 0));
    // Posted: a right click opens a menu whose loop runs until it closes.
    return PostMessageW(window, message, 1, mouse) ? 0 : 1;
  }
  if (verb == "post" && argc == 6) {
    const UINT message = static_cast<UINT>(std::strtoul(arg(3).c_str(), nullptr, 0));
    const WPARAM wparam = static_cast<WPARAM>(std::strtoull(arg(4).c_str(), nullptr, 0));
    const LPARAM lparam = static_cast<LPARAM>(std::strtoll(arg(5).c_str(), nullptr, 0));
    return PostMessageW(window, message, wparam, lparam) ? 0 : 1;
  }
  if (verb == "rect" && argc == 3) {
    RECT r{};
    if (!GetWindowRect(window, &r)) return 1;
    std::printf("%ldx%ld+%ld+%ld\n", r.right - r.left, r.bottom - r.top, r.left, r.top);
    return 0;
  }
  if (verb == "tree" && argc == 5) {
    HWND tree = ControlOf(window, std::atoi(arg(3).c_str()));
    HTREEITEM item = tree ? TreeItemAt(tree, std::atoi(arg(4).c_str())) : nullptr;
    if (!item) return 1;
    return SendMessageTimeoutW(tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(item),
                               SMTO_ABORTIFHUNG, 5000, &result) &&
                   result
               ? 0
               : 1;
  }
  if (verb == "send" && argc == 6) {
    HWND control = ControlOf(window, std::atoi(arg(3).c_str()));
    if (!control) return 1;
    const UINT message = static_cast<UINT>(std::strtoul(arg(4).c_str(), nullptr, 0));
    const WPARAM wparam = static_cast<WPARAM>(std::strtoull(arg(5).c_str(), nullptr, 0));
    return PostMessageW(control, message, wparam, 0) ? 0 : 1;
  }
  if (verb == "close" && argc == 3) return PostMessageW(window, WM_CLOSE, 0, 0) ? 0 : 1;
  return Usage();
}
