// The desktop client's window on Windows.
#include "desktop/win32/client/client_window.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "desktop/win32/client/client_ids.h"
#include "desktop/win32/common/images.h"
#include "desktop/win32/common/shell.h"
#include "desktop/win32/common/wide.h"
#include "desktop/win32/res/resource_ids.h"

namespace mdl::win32 {
namespace {

namespace text = desktop::client_text;
using desktop::ClientMenuItem;

constexpr UINT kTrayMessage = WM_APP + 1;
constexpr UINT kSnapshotMessage = WM_APP + 2;
constexpr UINT kEventMessage = WM_APP + 3;
constexpr DWORD kStyle = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
constexpr DWORD kExStyle = WS_EX_CONTROLPARENT;
// The longest report line a drift gives, for the report box's least width.
constexpr const wchar_t* kWidestReportLine = L"Drift: -999,999,999 milliseconds. Latency rTT: 2000ms";
// The open list of the unit box shows every unit.
constexpr int kUnitListLines = 6;
// A longer autostart problem text is cut (the system's texts are short).
constexpr int kProblemMaxLines = 4;

int MenuId(ClientMenuItem item) {
  switch (item) {
    case ClientMenuItem::kSyncNow:
      return kIdMenuSync;
    case ClientMenuItem::kSettings:
      return kIdMenuSet;
    case ClientMenuItem::kHelp:
      return kIdMenuHelp;
    case ClientMenuItem::kExit:
      return kIdMenuExit;
  }
  return 0;
}

// The function key a menu entry names ("F1" to "F24"); 0 for none.
WORD FunctionKey(std::string_view name) {
  if (name.size() < 2 || name.size() > 3 || name[0] != 'F') return 0;
  int n = 0;
  for (char c : name.substr(1)) {
    if (c < '0' || c > '9') return 0;
    n = n * 10 + (c - '0');
  }
  return n >= 1 && n <= 24 ? static_cast<WORD>(VK_F1 + n - 1) : 0;
}

desktop::ClientWindowOptions WithHelp(desktop::ClientWindowOptions options) {
  // A failure to start the browser is ignored.
  if (!options.open_help) options.open_help = [] { OpenUrl(desktop::kClientHelpUrl); };
  return options;
}

}  // namespace

ClientWindow::ClientWindow(desktop::ClientPort& engine, desktop::ClientWindowOptions options)
    : model_(engine, WithHelp(std::move(options))) {}

ClientWindow::~ClientWindow() {
  if (hwnd_) DestroyWindow(hwnd_);
  if (accelerators_) DestroyAcceleratorTable(accelerators_);
  if (icon_) DestroyIcon(icon_);
  if (small_icon_) DestroyIcon(small_icon_);
}

bool ClientWindow::Create(HINSTANCE instance) {
  InitControls();
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  if (!GetClassInfoExW(instance, kClientWindowClass, &wc)) {
    wc = WNDCLASSEXW{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &ClientWindow::Proc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kClientWindowClass;
    if (!RegisterClassExW(&wc)) return false;
  }
  BuildMenu();
  hwnd_ = CreateWindowExW(kExStyle, kClientWindowClass, Widen(model_.view().caption).c_str(), kStyle,
                          CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, menu_bar_,
                          instance, this);
  if (!hwnd_) {
    DestroyMenu(menu_bar_);
    return false;
  }
  tray_ = std::make_unique<TrayIcon>(hwnd_, kTrayMessage);
  tooltips_ = std::make_unique<Tooltips>(hwnd_);
  CreateControls();
  ApplyDpi();
  tray_->SetTip(Widen(model_.view().tray_tip));
  int width = 0, height = 0;
  InitialClientSize(metrics_, &width, &height);
  RECT r{0, 0, width, height};
  AdjustWindowRectExForDpi(&r, kStyle, TRUE, kExStyle, DpiOf(hwnd_));
  SetWindowPos(hwnd_, nullptr, 0, 0, r.right - r.left, r.bottom - r.top, SWP_NOMOVE | SWP_NOZORDER);
  LayOut();
  Show();
  snapshots_.Attach(hwnd_, kSnapshotMessage);
  events_.Attach(hwnd_, kEventMessage);
  return true;
}

void ClientWindow::BuildMenu() {
  main_menu_ = CreatePopupMenu();
  std::vector<ACCEL> keys;
  for (const desktop::ClientMenuEntry& e : desktop::kClientMenu) {
    const int id = MenuId(e.item);
    if (e.separator_before) AppendMenuW(main_menu_, MF_SEPARATOR, 0, nullptr);
    std::string caption = e.text;
    if (*e.shortcut) caption += std::string("\t") + e.shortcut;
    AppendMenuW(main_menu_, MF_STRING, static_cast<UINT_PTR>(id), Widen(caption).c_str());
    // Shown bold; the tray's menu opens with it.
    if (e.is_default) SetMenuDefaultItem(main_menu_, static_cast<UINT>(id), FALSE);
    if (const WORD key = FunctionKey(e.shortcut)) keys.push_back(ACCEL{FVIRTKEY, key, static_cast<WORD>(id)});
  }
  menu_bar_ = CreateMenu();
  AppendMenuW(menu_bar_, MF_POPUP, reinterpret_cast<UINT_PTR>(main_menu_), Widen(text::kMenu).c_str());
  accelerators_ = CreateAcceleratorTableW(keys.data(), static_cast<int>(keys.size()));
}

void ClientWindow::CreateControls() {
  const desktop::ClientWindowView& v = model_.view();
  ++updating_;
  MakeLabel(hwnd_, kIdHostLabel, Widen(text::kHostLabel));
  SetText(MakeEdit(hwnd_, kIdHost), Widen(v.host));
  MakeLabel(hwnd_, kIdEveryLabel, Widen(text::kEveryLabel));
  HWND number = MakeEdit(hwnd_, kIdNumber);
  SendMessageW(number, EM_SETLIMITTEXT, text::kNumberMaxLength, 0);
  SetText(number, Widen(v.number));
  MakeControl(hwnd_, kIdUnit, WC_COMBOBOXW, L"", WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST);
  MakeCheckBox(hwnd_, kIdRunMin, Widen(text::kRunMinimized));
  MakeCheckBox(hwnd_, kIdRunStart, Widen(text::kRunAtStart));
  MakeLabel(hwnd_, kIdAutostartProblem, L"", SS_NOPREFIX);
  SetShown(Item(kIdAutostartProblem), false);
  // The least size fits the five lines of a report: no scroll bars.
  MakeEdit(hwnd_, kIdReport, ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL);
  --updating_;
  tooltips_->Set(Item(kIdHost), Widen(text::kHostTooltip));
}

void ClientWindow::ApplyDpi() {
  const UINT dpi = DpiOf(hwnd_);
  font_ = Font::Message(dpi);
  ApplyFont(hwnd_, font_.get());
  // The report's lines keep a little room from the box's edge, as a text field's do.
  const int margin = Scale(4, dpi);
  SendMessageW(Item(kIdReport), EM_SETMARGINS, EC_LEFTMARGIN | EC_RIGHTMARGIN, MAKELPARAM(margin, margin));
  HICON icon = LoadProgramIcon(MDL_IDI_CLIENT, GetSystemMetricsForDpi(SM_CXICON, dpi));
  HICON small_icon = LoadProgramIcon(MDL_IDI_CLIENT, GetSystemMetricsForDpi(SM_CXSMICON, dpi));
  SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
  SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small_icon));
  tray_->SetIcon(small_icon);
  if (icon_) DestroyIcon(icon_);
  if (small_icon_) DestroyIcon(small_icon_);
  icon_ = icon;
  small_icon_ = small_icon;
  Measure();
}

void ClientWindow::Measure() {
  const UINT dpi = DpiOf(hwnd_);
  const DialogUnits units = MeasureFont(hwnd_, font_.get());
  auto width = [this](std::string_view s) {
    return static_cast<int>(TextSize(hwnd_, font_.get(), Widen(s)).cx);
  };
  metrics_.dpi = static_cast<int>(dpi);
  metrics_.line_height = units.line_height;
  RECT unit{};
  GetWindowRect(Item(kIdUnit), &unit);  // the closed box, without its list
  metrics_.field_height = unit.bottom - unit.top;
  metrics_.label_width = std::max(width(text::kHostLabel), width(text::kEveryLabel));
  metrics_.number_width = width("0000000000");
  metrics_.unit_width = 0;
  for (const std::string& u : model_.view().units)
    metrics_.unit_width = std::max(metrics_.unit_width, width(u));
  metrics_.check_width = std::max(width(text::kRunMinimized), width(text::kRunAtStart));
  metrics_.report_width = static_cast<int>(TextSize(hwnd_, font_.get(), kWidestReportLine).cx);
}

int ClientWindow::ProblemLines(int width) const {
  // As the static control breaks its words.
  const std::wstring problem = Widen(model_.view().autostart_problem);
  HDC dc = GetDC(hwnd_);
  HGDIOBJ old = SelectObject(dc, font_.get());
  RECT r{0, 0, std::max(width, 1), 0};
  DrawTextW(dc, problem.c_str(), static_cast<int>(problem.size()), &r,
            DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS | DT_NOPREFIX);
  SelectObject(dc, old);
  ReleaseDC(hwnd_, dc);
  const int line = std::max(metrics_.line_height, 1);
  return std::clamp((static_cast<int>(r.bottom - r.top) + line - 1) / line, 1, kProblemMaxLines);
}

void ClientWindow::LayOut() {
  RECT client{};
  GetClientRect(hwnd_, &client);
  const bool problem_shown = !model_.view().autostart_problem.empty();
  ClientLayout l = LayOutClient(metrics_, client.right, client.bottom, problem_shown);
  // The problem line takes the lines its text needs at the width it gets.
  if (problem_shown) {
    const int lines = ProblemLines(l.problem.width);
    if (lines != metrics_.problem_lines) {
      metrics_.problem_lines = lines;
      l = LayOutClient(metrics_, client.right, client.bottom, problem_shown);
    }
  }
  auto place = [this](int id, const LayoutRect& r, int extra_height = 0) {
    MoveWindow(Item(id), r.x, r.y, r.width, r.height + extra_height, TRUE);
  };
  place(kIdHostLabel, l.host_label);
  place(kIdHost, l.host);
  place(kIdEveryLabel, l.every_label);
  place(kIdNumber, l.number);
  // A drop-down list's height includes its open list.
  place(kIdUnit, l.unit, metrics_.line_height * kUnitListLines);
  place(kIdRunMin, l.run_min);
  place(kIdRunStart, l.run_start);
  place(kIdAutostartProblem, l.problem);
  place(kIdReport, l.report);
}

LRESULT CALLBACK ClientWindow::Proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    auto* self = static_cast<ClientWindow*>(reinterpret_cast<CREATESTRUCTW*>(lparam)->lpCreateParams);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    self->hwnd_ = hwnd;
  }
  auto* self = reinterpret_cast<ClientWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (!self || self->hwnd_ != hwnd) return DefWindowProcW(hwnd, message, wparam, lparam);
  if (message == WM_NCDESTROY) {
    // The window is gone; the object may outlive it.
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
    self->hwnd_ = nullptr;
    return DefWindowProcW(hwnd, message, wparam, lparam);
  }
  return self->Handle(message, wparam, lparam);
}

LRESULT ClientWindow::Handle(UINT message, WPARAM wparam, LPARAM lparam) {
  if (tray_ && tray_->OnShellRestarted(message)) return 0;
  switch (message) {
    case kSnapshotMessage:
      if (auto snapshot = snapshots_.Take()) ApplySnapshot(snapshot);
      return 0;
    case kEventMessage:
      for (const ClientEvent& e : events_.TakeAll()) {
        if (on_event) on_event(e);
      }
      return 0;
    case kTrayMessage:
      switch (TrayIcon::ClickOf(lparam)) {
        case TrayIcon::Click::kLeft:
        case TrayIcon::Click::kDouble:
          // Left button up or double click: back to the normal state.
          RestoreFromTray();
          break;
        case TrayIcon::Click::kRight:
          if (const UINT chosen = TrayIcon::ShowMenu(hwnd_, main_menu_))
            OnCommand(static_cast<int>(chosen), 0);
          break;
        case TrayIcon::Click::kOther:
          break;
      }
      return 0;
    case WM_COMMAND:
      OnCommand(LOWORD(wparam), HIWORD(wparam));
      return 0;
    case WM_SIZE:
      OnSize(wparam);
      return 0;
    case WM_GETMINMAXINFO: {
      if (!Item(kIdReport)) break;
      const ClientLayout l = LayOutClient(metrics_, 0, 0, !model_.view().autostart_problem.empty());
      RECT r{0, 0, l.min_width, l.min_height};
      AdjustWindowRectExForDpi(&r, kStyle, TRUE, kExStyle, static_cast<UINT>(metrics_.dpi));
      reinterpret_cast<MINMAXINFO*>(lparam)->ptMinTrackSize = {r.right - r.left, r.bottom - r.top};
      return 0;
    }
    case WM_DPICHANGED: {
      ApplyDpi();
      const RECT* r = reinterpret_cast<const RECT*>(lparam);
      SetWindowPos(hwnd_, nullptr, r->left, r->top, r->right - r->left, r->bottom - r->top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
      LayOut();
      return 0;
    }
    case WM_CTLCOLORSTATIC:
      // The read-only report box keeps the white of a text field.
      if (reinterpret_cast<HWND>(lparam) == Item(kIdReport)) {
        SetBkColor(reinterpret_cast<HDC>(wparam), GetSysColor(COLOR_WINDOW));
        SetTextColor(reinterpret_cast<HDC>(wparam), GetSysColor(COLOR_WINDOWTEXT));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
      }
      break;
    case WM_ACTIVATE:
      // The focused control comes back with the window, as in a dialog;
      // at first the host field has it.
      if (LOWORD(wparam) == WA_INACTIVE) {
        const HWND focus = GetFocus();
        if (focus && IsChild(hwnd_, focus)) focus_ = focus;
      } else if (!HIWORD(wparam)) {
        SetFocus(focus_ && IsWindow(focus_) ? focus_ : Item(kIdHost));
        return 0;
      }
      break;
    case WM_CLOSE:
      Close();
      return 0;
    case WM_QUERYENDSESSION:
      return TRUE;
    case WM_ENDSESSION:
      if (wparam) {
        Close();
        if (on_session_end) on_session_end();
      }
      return 0;
    case WM_DESTROY:
      snapshots_.Detach();
      events_.Detach();
      tray_->Remove();
      return 0;
    default:
      break;
  }
  return DefWindowProcW(hwnd_, message, wparam, lparam);
}

void ClientWindow::OnCommand(int id, int code) {
  switch (id) {
    case kIdHost:
      if (code == EN_CHANGE && !updating_) model_.HostEdited(Narrow(Text(Item(kIdHost))));
      break;
    case kIdNumber:
      if (code == EN_CHANGE && !updating_) model_.NumberEdited(Narrow(Text(Item(kIdNumber))));
      break;
    case kIdUnit: {
      // The chosen item's own text: with the mouse the list confirms before it
      // reports the change, so the box may still show the old unit here.
      const int chosen = updating_ ? -1 : unit_choice_.OnNotify(Item(kIdUnit), code);
      if (chosen < 0) return;
      model_.UnitChosen(Narrow(ComboItemText(Item(kIdUnit), chosen)));
      break;
    }
    case kIdRunMin:
      if (code == BN_CLICKED) model_.RunMinimizedClicked(Checked(Item(kIdRunMin)));
      break;
    case kIdRunStart:
      if (code == BN_CLICKED) model_.RunAtStartClicked(Checked(Item(kIdRunStart)));
      break;
    case kIdMenuSync:
    case kIdMenuSet:
    case kIdMenuHelp:
    case kIdMenuExit:
      for (const desktop::ClientMenuEntry& e : desktop::kClientMenu) {
        if (MenuId(e.item) != id) continue;
        const desktop::ClientMenuEffect effect = model_.MenuChosen(e.item);
        if (effect == desktop::ClientMenuEffect::kRestore) RestoreFromTray();
        if (effect == desktop::ClientMenuEffect::kClose) Close();
      }
      break;
    default:
      return;
  }
  Show();
}

void ClientWindow::OnSize(WPARAM kind) {
  if (kind == SIZE_MINIMIZED) {
    // Into the tray; where the icon cannot be added the window stays on the task bar.
    if (in_tray_ || closing_ || !IsWindowVisible(hwnd_)) return;
    // The icon comes with the tip it is to show.
    model_.SetInTray(true);
    tray_->SetTip(Widen(model_.view().tray_tip));
    if (tray_->Add()) {
      in_tray_ = true;
      ShowWindow(hwnd_, SW_HIDE);
    } else {
      model_.SetInTray(false);
    }
    return;
  }
  if (in_tray_) {
    in_tray_ = false;
    tray_->Remove();
    model_.SetInTray(false);
  }
  LayOut();
}

void ClientWindow::MinimiseToTray() {
  if (in_tray_ || !hwnd_ || closing_) return;
  // A window that was never shown is minimised without taking the focus.
  ShowWindow(hwnd_, IsWindowVisible(hwnd_) ? SW_MINIMIZE : SW_SHOWMINNOACTIVE);
}

void ClientWindow::RestoreFromTray() {
  if (!hwnd_ || closing_) return;
  ShowWindow(hwnd_, SW_RESTORE);
  SetForegroundWindow(hwnd_);
  // Restoring a window that was hidden without being minimised sends no WM_SIZE.
  OnSize(SIZE_RESTORED);
}

void ClientWindow::FinishStartUp(bool run_from_tray) {
  if (run_from_tray) MinimiseToTray();
}

void ClientWindow::Close() {
  if (closing_ || !hwnd_) return;
  closing_ = true;
  // A tray menu still open would keep its own message loop (and the quit) waiting.
  EndMenu();
  // The engine stops its exchange and saves what changed.
  model_.Closing();
  tray_->Remove();
  in_tray_ = false;
  ShowWindow(hwnd_, SW_HIDE);
  if (on_closed) on_closed();
}

bool ClientWindow::TranslateMessageFor(MSG* msg) {
  if (!hwnd_ || (msg->hwnd != hwnd_ && !IsChild(hwnd_, msg->hwnd))) return false;
  if (accelerators_ && TranslateAcceleratorW(hwnd_, accelerators_, msg)) return true;
  return IsDialogMessageW(hwnd_, msg);
}

void ClientWindow::ApplySnapshot(const std::shared_ptr<const ClientSnapshot>& snapshot) {
  const desktop::ClientSnapshotEffects effects = model_.ApplySnapshot(snapshot);
  // The stored settings fill the fields once, also the one that has the focus.
  Show(effects.controls_loaded);
  if (effects.report_changed && on_report_shown) on_report_shown(model_.view().report);
  if (effects.go_to_tray) MinimiseToTray();
}

void ClientWindow::Show(bool fill_fields) {
  if (!hwnd_) return;
  const desktop::ClientWindowView& v = model_.view();
  const HWND focus = fill_fields ? nullptr : GetFocus();
  ++updating_;
  // A field the user is typing in is left alone.
  if (focus != Item(kIdHost)) SetText(Item(kIdHost), Widen(v.host));
  if (focus != Item(kIdNumber)) SetText(Item(kIdNumber), Widen(v.number));
  HWND unit = Item(kIdUnit);
  for (size_t i = static_cast<size_t>(std::max<LRESULT>(SendMessageW(unit, CB_GETCOUNT, 0, 0), 0));
       i < v.units.size(); ++i)
    SendMessageW(unit, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Widen(v.units[i]).c_str()));
  const auto at = std::find(v.units.begin(), v.units.end(), v.unit);
  const LRESULT index = at == v.units.end() ? CB_ERR : at - v.units.begin();
  if (SendMessageW(unit, CB_GETCURSEL, 0, 0) != index)
    SendMessageW(unit, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
  SetChecked(Item(kIdRunMin), v.run_minimized);
  SetChecked(Item(kIdRunStart), v.run_at_start);
  tooltips_->Set(Item(kIdNumber), Widen(v.interval_tooltip));
  if (SetText(Item(kIdAutostartProblem), Widen(v.autostart_problem)) |
      SetShown(Item(kIdAutostartProblem), !v.autostart_problem.empty())) {
    Measure();
    LayOut();
  }
  SetText(Item(kIdReport), WidenLines(v.report));
  --updating_;
  // The model moves the icon's tip only while the window is in the tray.
  tray_->SetTip(Widen(v.tray_tip));
}

}  // namespace mdl::win32
