// The advanced configuration dialog.
#include "desktop/win32/server/config_window.h"

#include <commctrl.h>

#include <algorithm>
#include <utility>

#include "desktop/model/window_texts.h"
#include "desktop/win32/common/wide.h"
#include "desktop/win32/res/resource_ids.h"
#include "desktop/win32/server/server_ids.h"

namespace mdl::win32 {
namespace {

using namespace server;  // the control IDs
namespace text = desktop::config_text;

}  // namespace

ConfigWindow::ConfigWindow(desktop::EnginePort& engine, desktop::ConfigHooks hooks)
    : model_(engine, std::move(hooks)) {}

ConfigWindow::~ConfigWindow() { Destroy(); }

void ConfigWindow::Destroy() {
  if (hwnd_) DestroyWindow(hwnd_);
  hwnd_ = nullptr;
}

bool ConfigWindow::Create(HWND owner) {
  if (!RegisterWindowClass(kConfigWindowClass, &ObjectWindowProc<ConfigWindow>, MDL_IDI_SERVER)) return false;
  CreateWindowExW(WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT, kConfigWindowClass, L"",
                  WS_POPUP | WS_CAPTION | WS_SYSMENU, CW_USEDEFAULT, CW_USEDEFAULT, 400, 300, owner, nullptr,
                  GetModuleHandleW(nullptr), this);
  return hwnd_ != nullptr;
}

void ConfigWindow::Open(HWND owner, const EngineSnapshot* snapshot, std::string_view main_caption) {
  const bool fresh = !hwnd_;
  if (fresh && !Create(owner)) return;
  model_.Load(snapshot, main_caption);
  Render();
  if (fresh || !IsWindowVisible(hwnd_)) {
    // Over the owner's top left corner, as a dialog opens.
    RECT o{};
    GetWindowRect(owner, &o);
    SetWindowPos(hwnd_, nullptr, o.left + Scale(40, dpi_), o.top + Scale(60, dpi_), 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  ShowWindow(hwnd_, SW_SHOW);
  SetForegroundWindow(hwnd_);
}

void ConfigWindow::SetUpdateButton(bool engine_allows) {
  model_.SetUpdateButton(engine_allows);
  if (hwnd_) Render();
}

void ConfigWindow::Close() {
  if (hwnd_) ShowWindow(hwnd_, SW_HIDE);
}

LRESULT ConfigWindow::Handle(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_NCCREATE:
      hwnd_ = hwnd;
      break;
    case WM_CREATE:
      dpi_ = DpiOf(hwnd_);
      font_ = Font::Message(dpi_);
      tips_ = std::make_unique<Tooltips>(hwnd_);
      MakeControls();
      Layout();
      return 0;
    case WM_DPICHANGED: {
      dpi_ = HIWORD(wparam);
      font_ = Font::Message(dpi_);
      ApplyFont(hwnd_, font_.get());
      const auto* r = reinterpret_cast<const RECT*>(lparam);
      SetWindowPos(hwnd_, nullptr, r->left, r->top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
      Layout();
      return 0;
    }
    case WM_COMMAND:
      OnCommand(LOWORD(wparam), HIWORD(wparam), reinterpret_cast<HWND>(lparam));
      return 0;
    case WM_CLOSE:
      Close();
      return 0;
    case WM_NCDESTROY:
      hwnd_ = nullptr;
      tips_.reset();
      return 0;
    default:
      break;
  }
  return DefWindowProcW(hwnd, message, wparam, lparam);
}

void ConfigWindow::MakeControls() {
  MakeLabel(hwnd_, kIdRegionLabel, Widen(text::kRegionLabel), SS_NOPREFIX);
  regions_ = MakeControl(hwnd_, kIdRegions, WC_COMBOBOXW, L"",
                         WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST);
  for (const std::string& line : desktop::RegionLines())
    SendMessageW(regions_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Widen(line).c_str()));
  MakeLabel(hwnd_, kIdCloseLabel, Widen(text::kClosest), SS_NOPREFIX);
  logs_ = MakeCheckBox(hwnd_, kIdLogs, Widen(text::kLogs));
  run_ = MakeCheckBox(hwnd_, kIdRunMdl, Widen(text::kRun));
  problem_ = MakeControl(hwnd_, kIdAutostartProblem, WC_STATICW, L"", SS_LEFT | SS_NOPREFIX);
  open_min_ = MakeCheckBox(hwnd_, kIdOpenMin, Widen(text::kOpenMinimized));
  time_zone_ = MakeButton(hwnd_, kIdTimeZone, Widen(text::kTimeZone));
  check_update_ = MakeButton(hwnd_, kIdCheckUpdate, Widen(text::kCheckUpdate));
  ok_ = MakeButton(hwnd_, kIdConfigOk, Widen(text::kOk), true);
  ApplyFont(hwnd_, font_.get());
}

void ConfigWindow::Layout() {
  const DialogUnits du = MeasureFont(hwnd_, font_.get());
  const int margin = du.X(7);
  const int check = GetSystemMetricsForDpi(SM_CXMENUCHECK, dpi_) + Scale(6, dpi_);
  const int check_h = std::max(du.line_height, GetSystemMetricsForDpi(SM_CYMENUCHECK, dpi_)) + Scale(2, dpi_);
  auto width_of = [&](std::string_view s) {
    return static_cast<int>(TextSize(hwnd_, font_.get(), Widen(s)).cx);
  };
  int widest = width_of(text::kRegionLabel);
  for (const std::string& line : desktop::RegionLines())
    widest = std::max(widest, width_of(line) + GetSystemMetricsForDpi(SM_CXVSCROLL, dpi_) + Scale(12, dpi_));
  for (const char* box : {text::kLogs, text::kRun, text::kOpenMinimized})
    widest = std::max(widest, check + width_of(box));
  const int button_h = du.Y(14);
  const int tz_w = std::max(du.X(50), width_of(text::kTimeZone) + du.X(12));
  const int cu_w = width_of(text::kCheckUpdate) + du.X(12);
  const int ok_w = du.X(50);
  const int inner_w = std::max(widest, tz_w + cu_w + ok_w + du.X(4) * 2 + du.X(10));

  int y = margin;
  MoveWindow(GetDlgItem(hwnd_, kIdRegionLabel), margin, y, inner_w, du.line_height, FALSE);
  y += du.line_height + du.Y(3);
  const int combo_h = du.line_height + Scale(10, dpi_);
  MoveWindow(regions_, margin, y, inner_w, combo_h + Scale(180, dpi_), FALSE);
  y += combo_h + du.Y(3);
  MoveWindow(GetDlgItem(hwnd_, kIdCloseLabel), margin, y, inner_w, du.line_height, FALSE);
  y += du.line_height + du.Y(8);
  MoveWindow(logs_, margin, y, inner_w, check_h, FALSE);
  y += check_h + du.Y(3);
  MoveWindow(run_, margin, y, inner_w, check_h, FALSE);
  y += check_h + du.Y(3);
  if (problem_shown_) {
    const int h = du.line_height * 3;
    MoveWindow(problem_, margin + check, y, inner_w - check, h, FALSE);
    y += h + du.Y(3);
  }
  MoveWindow(open_min_, margin, y, inner_w, check_h, FALSE);
  y += check_h + du.Y(8);
  MoveWindow(time_zone_, margin, y, tz_w, button_h, FALSE);
  MoveWindow(check_update_, margin + tz_w + du.X(4), y, cu_w, button_h, FALSE);
  MoveWindow(ok_, margin + inner_w - ok_w, y, ok_w, button_h, FALSE);
  y += button_h + margin;

  RECT frame{0, 0, inner_w + 2 * margin, y};
  AdjustWindowRectExForDpi(&frame, static_cast<DWORD>(GetWindowLongPtrW(hwnd_, GWL_STYLE)), FALSE,
                           static_cast<DWORD>(GetWindowLongPtrW(hwnd_, GWL_EXSTYLE)), dpi_);
  SetWindowPos(hwnd_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  InvalidateRect(hwnd_, nullptr, TRUE);
}

void ConfigWindow::Render() {
  const desktop::ConfigView& v = model_.view();
  const bool was_applying = std::exchange(applying_, true);
  SetText(hwnd_, Widen(v.caption));
  if (SendMessageW(regions_, CB_GETCURSEL, 0, 0) != v.region_index)
    SendMessageW(regions_, CB_SETCURSEL, static_cast<WPARAM>(v.region_index), 0);
  SetChecked(logs_, v.logging);
  SetChecked(run_, v.run_at_start);
  SetChecked(open_min_, v.open_minimized);
  SetEnabled(check_update_, v.update_enabled);
  tips_->Set(check_update_, Widen(v.update_tooltip));
  SetText(problem_, Widen(v.autostart_problem));
  const bool problem = !v.autostart_problem.empty();
  if (problem != problem_shown_) {
    problem_shown_ = problem;
    SetShown(problem_, problem);
    Layout();
  }
  applying_ = was_applying;
}

void ConfigWindow::OnCommand(int id, int code, HWND control) {
  // Clicks and the region's choice only (not focus notifications).
  if (applying_ || (id != kIdRegions && code != BN_CLICKED)) return;
  switch (id) {
    case kIdRegions:
      if (const int index = region_choice_.OnNotify(regions_, code); index >= 0) {
        model_.RegionChosen(index);
        break;
      }
      return;
    case kIdLogs:
      model_.LogsClicked(Checked(control));
      break;
    case kIdRunMdl:
      model_.RunClicked(Checked(control));
      break;
    case kIdOpenMin:
      model_.OpenMinimizedClicked(Checked(control));
      break;
    case kIdTimeZone:
      model_.TimeZoneClicked();
      break;
    case kIdCheckUpdate:
      model_.CheckUpdateClicked();
      break;
    case kIdConfigOk:
    case IDOK:
    case IDCANCEL:
      Close();
      return;
    default:
      return;
  }
  Render();
}

std::wstring ConfigWindow::TooltipOf(int control_id) const {
  HWND control = hwnd_ ? GetDlgItem(hwnd_, control_id) : nullptr;
  return control && tips_ ? tips_->Get(control) : std::wstring();
}

}  // namespace mdl::win32
