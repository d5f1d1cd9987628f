// The server's main window.
#include "desktop/win32/server/server_window.h"

#include <commctrl.h>

#include <algorithm>
#include <utility>

#include "common/clock/system_clock.h"
#include "desktop/model/image_numbers.h"
#include "desktop/model/window_texts.h"
#include "desktop/win32/common/shell.h"
#include "desktop/win32/common/wide.h"
#include "desktop/win32/res/resource_ids.h"
#include "desktop/win32/server/about_window.h"
#include "desktop/win32/server/config_window.h"
#include "desktop/win32/server/server_ids.h"

namespace mdl::win32 {
namespace {

using namespace server;  // the control IDs
namespace text = desktop::server_text;

constexpr int kSlots = 5;

Service SlotService(int slot) { return kAllServices[static_cast<size_t>(slot)]; }

int DefaultMessageBox(HWND owner, const desktop::UpdatePrompt& prompt) {
  UINT type = prompt.yes_no ? MB_YESNO : MB_OK;
  type |= prompt.icon == UpdateIcon::kExclamation ? MB_ICONEXCLAMATION : MB_ICONINFORMATION;
  return MessageBoxW(owner, WidenLines(prompt.text).c_str(), Widen(prompt.title).c_str(), type);
}

// The window sets a control: the notifications that follow are no operator's doing.
class Applying {
 public:
  explicit Applying(bool& flag) : flag_(flag), was_(std::exchange(flag, true)) {}
  ~Applying() { flag_ = was_; }
  Applying(const Applying&) = delete;
  Applying& operator=(const Applying&) = delete;

 private:
  bool& flag_;
  bool was_;
};

// A sunken panel behind a label (the label keeps a margin inside it).
HWND MakePanelFrame(HWND parent) {
  return MakeControl(parent, -1, WC_STATICW, L"", WS_VISIBLE | WS_CLIPSIBLINGS, WS_EX_STATICEDGE);
}

void PlaceInFrame(HWND frame, HWND label, const RECT& r, UINT dpi) {
  MoveWindow(frame, r.left, r.top, r.right - r.left, r.bottom - r.top, FALSE);
  const int inset = Scale(4, dpi);
  MoveWindow(label, r.left + inset, r.top + inset - Scale(1, dpi), r.right - r.left - 2 * inset,
             r.bottom - r.top - 2 * inset, FALSE);
}

bool HasFocusWithin(HWND control) {
  HWND focus = GetFocus();
  return focus && (focus == control || IsChild(control, focus));
}

}  // namespace

ServerWindow::ServerWindow(desktop::EnginePort& engine, ServerWindowOptions options)
    : engine_(engine), options_(std::move(options)), model_(engine) {}

ServerWindow::~ServerWindow() {
  snapshots_.Detach();
  events_.Detach();
  if (hwnd_) DestroyWindow(hwnd_);
  if (tray_menu_) DestroyMenu(tray_menu_);
  if (big_icon_) DestroyIcon(big_icon_);
  if (small_icon_) DestroyIcon(small_icon_);
}

bool ServerWindow::Create() {
  if (!RegisterWindowClass(kMainWindowClass, &ObjectWindowProc<ServerWindow>, MDL_IDI_SERVER)) return false;
  InitControls();
  CreateWindowExW(WS_EX_CONTROLPARENT, kMainWindowClass, Widen(model_.view().caption).c_str(),
                  WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, CW_USEDEFAULT, CW_USEDEFAULT, 640,
                  480, nullptr, nullptr, GetModuleHandleW(nullptr), this);
  return hwnd_ != nullptr;
}

void ServerWindow::Show(bool run_from_tray) {
  ShowWindow(hwnd_, SW_SHOWNORMAL);
  UpdateWindow(hwnd_);
  // "-rs": the server runs from the tray.
  if (run_from_tray) MinimiseToTray();
}

bool ServerWindow::PreTranslate(MSG& msg) {
  for (HWND w : {config_ ? config_->hwnd() : nullptr, about_ ? about_->hwnd() : nullptr, hwnd_}) {
    if (w && (msg.hwnd == w || IsChild(w, msg.hwnd)) && IsDialogMessageW(w, &msg)) return true;
  }
  return false;
}

LRESULT ServerWindow::Handle(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) hwnd_ = hwnd;
  if (tray_ && tray_->OnShellRestarted(message)) return 0;
  switch (message) {
    case WM_CREATE:
      OnCreate();
      return 0;
    case WM_COMMAND:
      OnCommand(LOWORD(wparam), HIWORD(wparam), reinterpret_cast<HWND>(lparam));
      return 0;
    case WM_NOTIFY:
      return OnNotify(*reinterpret_cast<const NMHDR*>(lparam));
    case WM_SIZE:
      OnSize(wparam);
      return 0;
    case WM_DPICHANGED:
      OnDpiChanged(HIWORD(wparam), *reinterpret_cast<const RECT*>(lparam));
      return 0;
    case WM_ACTIVATE:
      // The control that had the keyboard gets it back when the window does.
      if (LOWORD(wparam) == WA_INACTIVE) {
        HWND focus = GetFocus();
        if (focus && IsChild(hwnd_, focus)) focus_ = focus;
      } else if (focus_ && IsWindow(focus_) && IsWindowVisible(focus_)) {
        SetFocus(focus_);
        return 0;
      }
      break;
    case WM_TIMER:
      if (wparam == kClockTimer) ClockTick();
      return 0;
    case WM_CTLCOLORSTATIC:
      // The read-only fields keep the window's face colour, the clock box a white one.
      if (reinterpret_cast<HWND>(lparam) == clock_) {
        SetBkColor(reinterpret_cast<HDC>(wparam), GetSysColor(COLOR_WINDOW));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
      }
      break;
    case kMsgSnapshot:
      if (SnapshotPtr s = snapshots_.Take()) ApplySnapshot(s);
      return 0;
    case kMsgEvents:
      for (const EngineEvent& e : events_.TakeAll()) ShowEngineEvent(e);
      return 0;
    case kMsgTray:
      OnTray(lparam);
      return 0;
    case kMsgOpenWindow:
      // The tree selects a clicked node after its click notification: the
      // highlight goes back to the shown panel's node once the click is over.
      tree_node_shown_ = 0;
      {
        Applying guard(applying_);
        RenderTree();
      }
      if (wparam == desktop::kNodeAbout) OpenAbout();
      if (wparam == desktop::kNodeConfig) OpenConfig();
      return 0;
    case WM_CLOSE:
      OnClose();
      return 0;
    case WM_ENDSESSION:
      if (wparam) {
        OnClose();
        if (on_session_end) on_session_end();
      }
      return 0;
    case WM_DESTROY:
      snapshots_.Detach();
      events_.Detach();
      KillTimer(hwnd_, kClockTimer);
      if (tray_) tray_->Remove();
      return 0;
    case WM_NCDESTROY: {
      hwnd_ = nullptr;
      if (on_destroyed) on_destroyed();
      return 0;
    }
    default:
      break;
  }
  return DefWindowProcW(hwnd_, message, wparam, lparam);
}

void ServerWindow::OnCreate() {
  dpi_ = DpiOf(hwnd_);
  MakeFonts();
  images_ = std::make_unique<ImageSet>(Scale(16, dpi_));
  tips_ = std::make_unique<Tooltips>(hwnd_);
  tray_ = std::make_unique<TrayIcon>(hwnd_, kMsgTray);
  big_icon_ = LoadProgramIcon(MDL_IDI_SERVER, GetSystemMetricsForDpi(SM_CXICON, dpi_));
  small_icon_ = LoadProgramIcon(MDL_IDI_SERVER, GetSystemMetricsForDpi(SM_CXSMICON, dpi_));
  SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big_icon_));
  SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small_icon_));

  tray_menu_ = CreatePopupMenu();
  AppendMenuW(tray_menu_, MF_STRING, kIdMenuShow, Widen(text::kMenuShow).c_str());
  AppendMenuW(tray_menu_, MF_STRING, kIdMenuExit, Widen(text::kMenuExit).c_str());

  MakeControls();
  Layout();
  Render();
  SetTimer(hwnd_, kClockTimer, 1000, nullptr);
  snapshots_.Attach(hwnd_, kMsgSnapshot);
  events_.Attach(hwnd_, kMsgEvents);
}

void ServerWindow::MakeFonts() {
  font_ = Font::Message(dpi_);
  bold_font_ = Font::Message(dpi_, true);
  clock_font_ = Font::Fixed(dpi_, true);
}

void ServerWindow::MakeControls() {
  tree_ = MakeControl(
      hwnd_, kIdTree, WC_TREEVIEWW, L"",
      WS_VISIBLE | WS_TABSTOP | TVS_HASLINES | TVS_LINESATROOT | TVS_HASBUTTONS | TVS_SHOWSELALWAYS,
      WS_EX_CLIENTEDGE);
  SetWindowTextW(tree_, L"Services");
  TreeView_SetImageList(tree_, images_->list(), TVSIL_NORMAL);
  HTREEITEM root = nullptr;
  for (int node = 1; node <= desktop::kNodeCount; ++node) {
    const std::wstring caption = Widen(desktop::NodeCaption(node));
    const int image = images_->IndexOf(desktop::NodeImage(node));
    TVINSERTSTRUCTW item{};
    item.hParent = node == 1 ? TVI_ROOT : root;
    item.hInsertAfter = TVI_LAST;
    item.item.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE | TVIF_PARAM;
    item.item.pszText = const_cast<wchar_t*>(caption.c_str());
    item.item.iImage = image;
    item.item.iSelectedImage = image;
    item.item.lParam = node;
    nodes_[static_cast<size_t>(node - 1)] = TreeView_InsertItem(tree_, &item);
    if (node == 1) root = nodes_[0];
  }
  TreeView_Expand(tree_, root, TVE_EXPAND);
  {
    Applying guard(applying_);
    TreeView_SelectItem(tree_, root);
  }
  tree_node_shown_ = 1;

  for (int slot = 0; slot < kSlots; ++slot) {
    Panel& p = panels_[static_cast<size_t>(slot)];
    const std::wstring caption = Widen(desktop::NodeCaption(desktop::ServiceNode(SlotService(slot))));
    p.frame = MakeGroupBox(hwnd_, PanelControlId(slot, PanelPart::kFrame), caption);
    p.enable = MakeCheckBox(hwnd_, PanelControlId(slot, PanelPart::kEnable), Widen(text::kEnabled));
    p.tcp = MakeCheckBox(hwnd_, PanelControlId(slot, PanelPart::kTcp), Widen(text::kTcp));
    p.udp = MakeCheckBox(hwnd_, PanelControlId(slot, PanelPart::kUdp), Widen(text::kUdp));
    p.port_label = MakeLabel(hwnd_, PanelControlId(slot, PanelPart::kPortLabel), Widen(text::kPortLabel));
    p.port = MakeEdit(hwnd_, PanelControlId(slot, PanelPart::kPort));
    SendMessageW(p.port, EM_SETLIMITTEXT, text::kPortMaxLength, 0);
    NotifyEnter(p.port);
    p.requester_label =
        MakeLabel(hwnd_, PanelControlId(slot, PanelPart::kRequesterLabel), Widen(text::kRequesterLabel));
    p.requester = MakeEdit(hwnd_, PanelControlId(slot, PanelPart::kRequester), ES_READONLY);
  }
  svr_stat_ = MakeLabel(hwnd_, kIdServiceStatus, L"", SS_NOPREFIX);
  svr_stat_frame_ = MakePanelFrame(hwnd_);
  clock_ =
      MakeControl(hwnd_, kIdClock, WC_EDITW, L"",
                  WS_VISIBLE | WS_TABSTOP | ES_MULTILINE | ES_READONLY | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE);

  sync_frame_ = MakeGroupBox(hwnd_, kIdOptions, Widen(text::kSyncFrame));
  servers_label_ = MakeLabel(hwnd_, kIdServersLabel, Widen(text::kServersLabel));
  // A ComboBoxEx keeps the list height it was made with: made tall, the list shows.
  servers_ = CreateWindowExW(0, WC_COMBOBOXEXW, L"", WS_CHILD | WS_VISIBLE | WS_TABSTOP | CBS_DROPDOWNLIST, 0,
                             0, Scale(300, dpi_), Scale(300, dpi_), hwnd_,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(kIdServers)),
                             GetModuleHandleW(nullptr), nullptr);
  SendMessageW(servers_, CB_SETMINVISIBLE, 12, 0);
  SendMessageW(servers_, CBEM_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(images_->list()));
  random_ = MakeCheckBox(hwnd_, kIdRandom, Widen(text::kRandom));
  every_label_ = MakeLabel(hwnd_, kIdEveryLabel, Widen(text::kEveryLabel), SS_RIGHT);
  sync_n_ = MakeEdit(hwnd_, kIdSyncN);
  NotifyEnter(sync_n_);
  sync_unit_ =
      MakeControl(hwnd_, kIdSyncUnit, WC_COMBOBOXW, L"", WS_VISIBLE | WS_TABSTOP | CBS_DROPDOWN | WS_VSCROLL);
  for (const char* unit : text::kUnits)
    SendMessageW(sync_unit_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Widen(unit).c_str()));
  // The double click lands on the frame where no control is.
  NotifyDoubleClick(sync_frame_);

  for (size_t i = 0; i < leds_.size(); ++i) {
    leds_[i] = MakeLabel(hwnd_, kIdLed + static_cast<int>(i), L"", SS_ICON | SS_NOTIFY | SS_CENTERIMAGE);
    led_names_[i] =
        MakeLabel(hwnd_, kIdLedName + static_cast<int>(i), Widen(text::kLedNames[i]), SS_NOPREFIX);
  }
  status_ = MakeLabel(hwnd_, kIdStatus, L"", SS_NOPREFIX);
  status_frame_ = MakePanelFrame(hwnd_);

  ApplyFont(hwnd_, font_.get());
  SendMessageW(clock_, WM_SETFONT, reinterpret_cast<WPARAM>(clock_font_.get()), FALSE);

  tips_->Set(sync_frame_, Widen(text::kSyncFrameTooltip));
  for (size_t i = 0; i < leds_.size(); ++i)
    tips_->Set(leds_[i], Widen(desktop::LedTooltip(static_cast<int>(i))));
}

void ServerWindow::Layout() {
  const DialogUnits du = MeasureFont(hwnd_, font_.get());
  const int margin = du.X(7);
  const int gap = du.Y(4);
  const int check = GetSystemMetricsForDpi(SM_CXMENUCHECK, dpi_) + Scale(6, dpi_);
  auto width_of = [&](std::string_view s, HFONT f = nullptr) {
    return static_cast<int>(TextSize(hwnd_, f ? f : font_.get(), Widen(s)).cx);
  };
  const int edit_h = du.line_height + Scale(8, dpi_);
  const int check_h = std::max(du.line_height, GetSystemMetricsForDpi(SM_CYMENUCHECK, dpi_)) + Scale(2, dpi_);

  // The tree: wide enough for its longest caption behind the indent and picture.
  const int tree_w = std::max(du.X(112), width_of(desktop::NodeCaption(6)) + Scale(16 + 19 + 19 + 12, dpi_));
  // The right column: wide enough for the clock box's longest line.
  const int clock_line_w = width_of("   WED SEPTEMBER 30 2026 12:00:00 PM", clock_font_.get());
  const int label_w = std::max(width_of(text::kPortLabel), width_of(text::kRequesterLabel)) + du.X(4);
  const int right_w = std::max({du.X(210), clock_line_w + Scale(16, dpi_), label_w + du.X(120)});
  const int left = margin;
  const int right_x = left + tree_w + du.X(6);

  // The service panels, all in one place; one is shown.
  int y = margin;
  const int pad = du.X(8);
  const int row1 = y + du.Y(12);
  const int row2 = row1 + check_h + du.Y(5);
  const int row3 = row2 + edit_h + du.Y(4);
  const int panel_h = row3 + edit_h + du.Y(7) - y;
  const int port_w = width_of("0000000000") + Scale(12, dpi_);
  for (Panel& p : panels_) {
    MoveWindow(p.frame, right_x, y, right_w, panel_h, FALSE);
    int x = right_x + pad;
    const int enable_w = check + width_of("Enabled") + Scale(4, dpi_);
    MoveWindow(p.enable, x, row1, enable_w, check_h, FALSE);
    x += enable_w + du.X(8);
    const int tcp_w = check + width_of("TCP") + Scale(4, dpi_);
    MoveWindow(p.tcp, x, row1, tcp_w, check_h, FALSE);
    x += tcp_w + du.X(8);
    MoveWindow(p.udp, x, row1, check + width_of("UDP") + Scale(4, dpi_), check_h, FALSE);
    const int field_x = right_x + pad + label_w;
    const int label_dy = (edit_h - du.line_height) / 2;
    MoveWindow(p.port_label, right_x + pad, row2 + label_dy, label_w, du.line_height, FALSE);
    MoveWindow(p.port, field_x, row2, port_w, edit_h, FALSE);
    MoveWindow(p.requester_label, right_x + pad, row3 + label_dy, label_w, du.line_height, FALSE);
    MoveWindow(p.requester, field_x, row3, right_x + right_w - pad - field_x, edit_h, FALSE);
  }
  y += panel_h + gap;
  const int stat_h = du.line_height * 3 + Scale(10, dpi_);
  PlaceInFrame(svr_stat_frame_, svr_stat_, {right_x, y, right_x + right_w, y + stat_h}, dpi_);
  y += stat_h + gap;
  const SIZE clock_line = TextSize(hwnd_, clock_font_.get(), L"M");
  const int clock_h = static_cast<int>(clock_line.cy) * 3 + Scale(10, dpi_);
  MoveWindow(clock_, right_x, y, right_w, clock_h, FALSE);
  y += clock_h;
  MoveWindow(tree_, left, margin, tree_w, y - margin, FALSE);
  y += du.Y(6);

  // "Server Synchronization".
  const int full_w = right_x + right_w - left;
  const int combo_h = edit_h + Scale(2, dpi_);
  const int o_row1 = y + du.Y(12);
  const int o_row2 = o_row1 + combo_h + du.Y(5);
  const int options_h = o_row2 + combo_h + du.Y(7) - y;
  MoveWindow(sync_frame_, left, y, full_w, options_h, FALSE);
  const int servers_label_w = width_of(text::kServersLabel) + du.X(2);
  const int inner_right = left + full_w - pad;
  MoveWindow(servers_label_, left + pad, o_row1 + (combo_h - du.line_height) / 2, servers_label_w,
             du.line_height, FALSE);
  const int servers_x = left + pad + servers_label_w + du.X(4);
  MoveWindow(servers_, servers_x, o_row1, inner_right - servers_x, combo_h + Scale(240, dpi_), FALSE);
  const int random_w = check + width_of(text::kRandom) + Scale(4, dpi_);
  MoveWindow(random_, left + pad, o_row2 + (combo_h - check_h) / 2, random_w, check_h, FALSE);
  const int unit_w =
      std::max(du.X(56), width_of("Minute/s") + GetSystemMetricsForDpi(SM_CXVSCROLL, dpi_) + Scale(14, dpi_));
  const int count_w = width_of("0000000") + Scale(12, dpi_);
  const int unit_x = inner_right - unit_w;
  const int count_x = unit_x - du.X(4) - count_w;
  const int every_w = width_of(text::kEveryLabel) + du.X(2);
  MoveWindow(sync_unit_, unit_x, o_row2, unit_w, combo_h + Scale(120, dpi_), FALSE);
  MoveWindow(sync_n_, count_x, o_row2 + (combo_h - edit_h) / 2, count_w, edit_h, FALSE);
  MoveWindow(every_label_, count_x - du.X(4) - every_w, o_row2 + (combo_h - du.line_height) / 2, every_w,
             du.line_height, FALSE);
  y += options_h + gap;

  // The lamps, each with its name.
  const int lamp = Scale(16, dpi_);
  const int lamp_row_h = std::max(lamp, du.line_height);
  int x = left + Scale(2, dpi_);
  for (size_t i = 0; i < leds_.size(); ++i) {
    MoveWindow(leds_[i], x, y + (lamp_row_h - lamp) / 2, lamp, lamp, FALSE);
    x += lamp + Scale(4, dpi_);
    const int name_w = width_of(text::kLedNames[i]);
    MoveWindow(led_names_[i], x, y + (lamp_row_h - du.line_height) / 2, name_w, du.line_height, FALSE);
    x += name_w + du.X(10);
  }
  y += lamp_row_h + gap;
  const int status_h = du.line_height * 4 + Scale(10, dpi_);
  PlaceInFrame(status_frame_, status_, {left, y, left + full_w, y + status_h}, dpi_);
  y += status_h + margin;

  RECT frame{0, 0, right_x + right_w + margin, y};
  AdjustWindowRectExForDpi(&frame, static_cast<DWORD>(GetWindowLongPtrW(hwnd_, GWL_STYLE)), FALSE,
                           static_cast<DWORD>(GetWindowLongPtrW(hwnd_, GWL_EXSTYLE)), dpi_);
  SetWindowPos(hwnd_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  InvalidateRect(hwnd_, nullptr, TRUE);
}

void ServerWindow::OnDpiChanged(UINT dpi, const RECT& suggested) {
  dpi_ = dpi;
  MakeFonts();
  images_ = std::make_unique<ImageSet>(Scale(16, dpi_));
  TreeView_SetImageList(tree_, images_->list(), TVSIL_NORMAL);
  SendMessageW(servers_, CBEM_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(images_->list()));
  ApplyFont(hwnd_, font_.get());
  SendMessageW(clock_, WM_SETFONT, reinterpret_cast<WPARAM>(clock_font_.get()), FALSE);
  led_shown_.fill(-1);
  SetWindowPos(hwnd_, nullptr, suggested.left, suggested.top, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  Layout();
  shown_servers_.clear();
  tray_->SetIcon(nullptr);
  Render();
}

void ServerWindow::Render() {
  const desktop::ServerWindowView& v = model_.view();
  Applying guard(applying_);
  SetText(hwnd_, Widen(v.caption));
  const int shown_slot = static_cast<int>(Index(v.shown_service));
  for (int slot = 0; slot < kSlots; ++slot) {
    const desktop::ServicePanelView& pv = v.panels[static_cast<size_t>(slot)];
    Panel& p = panels_[static_cast<size_t>(slot)];
    SetChecked(p.enable, pv.enabled);
    SetChecked(p.tcp, pv.tcp);
    SetChecked(p.udp, pv.udp);
    SetEnabled(p.tcp, pv.transports_enabled);
    SetEnabled(p.udp, pv.transports_enabled);
    // What the operator is typing stays until the field is left.
    if (GetFocus() != p.port) SetText(p.port, Widen(pv.port_text));
    tips_->Set(p.port, Widen(pv.port_tooltip));
    SetText(p.requester, Widen(pv.requester));
    tips_->Set(p.requester, Widen(pv.requester_tooltip));
    // One frame and its requester box visible, the others hidden.
    for (HWND c : {p.frame, p.enable, p.tcp, p.udp, p.port_label, p.port, p.requester_label, p.requester})
      SetShown(c, slot == shown_slot);
  }
  RenderTree();
  SetText(svr_stat_, Widen(v.service_status));
  SetText(status_, Widen(v.status_line));
  RenderServers();
  SetChecked(random_, v.random);
  if (GetFocus() != sync_n_) SetText(sync_n_, Widen(v.interval_count));
  if (!HasFocusWithin(sync_unit_)) {
    // The list's current entry is the unit shown, so that the open list starts
    // there and Enter keeps it; the text stays as the engine has it.
    if (SendMessageW(sync_unit_, CB_GETCURSEL, 0, 0) != v.interval_unit_item)
      SendMessageW(sync_unit_, CB_SETCURSEL, static_cast<WPARAM>(v.interval_unit_item), 0);
    SetText(sync_unit_, Widen(v.interval_unit));
  }
  for (size_t i = 0; i < leds_.size(); ++i) SetLamp(i, v.indicators_lit[i]);
  SetText(clock_, WidenLines(v.clock_text));
  tips_->Set(clock_, Widen(v.clock_tooltip));
  tray_->SetIcon(images_->Icon(v.tray_picture));
  tray_->SetTip(Widen(v.tray_tip));
}

void ServerWindow::RenderTree() {
  // The tree follows the model's node when that changes, and goes back to it
  // after a click on About or the configuration (kMsgOpenWindow).
  const int node = model_.view().shown_node;
  if (node == tree_node_shown_ || node < 1 || node > desktop::kNodeCount) return;
  tree_node_shown_ = node;
  TreeView_SelectItem(tree_, nodes_[static_cast<size_t>(node - 1)]);
}

void ServerWindow::RenderServers() {
  const desktop::ServerWindowView& v = model_.view();
  if (v.servers != shown_servers_) {
    shown_servers_ = v.servers;
    SendMessageW(servers_, CB_RESETCONTENT, 0, 0);
    for (size_t i = 0; i < v.servers.size(); ++i) {
      const std::wstring t = Widen(v.servers[i].text);
      COMBOBOXEXITEMW item{};
      item.mask = CBEIF_TEXT | CBEIF_IMAGE | CBEIF_SELECTEDIMAGE;
      item.iItem = static_cast<INT_PTR>(i);
      item.pszText = const_cast<wchar_t*>(t.c_str());
      item.iImage = images_->IndexOf(v.servers[i].image);
      item.iSelectedImage = item.iImage;
      SendMessageW(servers_, CBEM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
    }
  }
  const int index = v.selected_server;
  if (index >= -1 && index < static_cast<int>(v.servers.size()) &&
      SendMessageW(servers_, CB_GETCURSEL, 0, 0) != index)
    SendMessageW(servers_, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
  HWND combo = reinterpret_cast<HWND>(SendMessageW(servers_, CBEM_GETCOMBOCONTROL, 0, 0));
  tips_->Set(combo ? combo : servers_, Widen(v.servers_tooltip));
}

void ServerWindow::SetLamp(size_t index, bool lit) {
  // The picture changes with the state only.
  if (led_shown_[index] == int{lit}) return;
  led_shown_[index] = lit;
  SendMessageW(leds_[index], STM_SETICON,
               reinterpret_cast<WPARAM>(images_->Icon(lit ? desktop::kImageLedOn : desktop::kImageLedOff)),
               0);
}

void ServerWindow::ApplySnapshot(const SnapshotPtr& snapshot) {
  if (!snapshot) return;
  const bool open_minimised = model_.ApplySnapshot(snapshot, MonotonicNow());
  if (config_) config_->SetUpdateButton(model_.view().update_button_enabled);
  Render();
  // "OpenMinimized": the window starts minimised.
  if (open_minimised) MinimiseToTray();
}

void ServerWindow::ShowEngineEvent(const EngineEvent& event) {
  if (auto prompt = desktop::PromptFor(event)) {
    // Modal to the window only: the engine runs on and snapshots keep coming.
    const int button =
        options_.message_box ? options_.message_box(hwnd_, *prompt) : DefaultMessageBox(hwnd_, *prompt);
    if (auto answer = desktop::AnswerFor(*prompt, button == IDYES)) engine_.Post(std::move(*answer));
    return;
  }
  if (auto start = desktop::UpdaterStartFor(event, model_.view().caption)) {
    // A failure to start it is ignored, as for the date and time settings.
    if (options_.start_program) {
      options_.start_program(*start);
    } else {
      StartProgram(start->program, start->arguments);
    }
  }
}

void ServerWindow::ClockTick() {
  model_.ClockTick(MonotonicNow());
  Render();
}

int ServerWindow::PanelSlotOf(int control_id, int* part) const {
  const int offset = control_id - kPanelBase;
  if (offset < 0 || offset >= kSlots * kPanelStride) return -1;
  *part = offset % kPanelStride;
  return offset / kPanelStride;
}

void ServerWindow::OnCommand(int id, int code, HWND control) {
  if (applying_) return;
  int part = 0;
  if (const int slot = PanelSlotOf(id, &part); slot >= 0) {
    const Service s = SlotService(slot);
    // Only the operator's actions: other notifications (EN_UPDATE before a
    // change, focus) must not show the view over what was just typed.
    const PanelPart what = static_cast<PanelPart>(part);
    const bool box = code == BN_CLICKED &&
                     (what == PanelPart::kEnable || what == PanelPart::kTcp || what == PanelPart::kUdp);
    const bool port = what == PanelPart::kPort && (code == EN_CHANGE || code == kEnterPressed);
    if (!box && !port) return;
    if (what == PanelPart::kEnable) model_.EnableClicked(s, Checked(control));
    if (what == PanelPart::kTcp) model_.TcpClicked(s, Checked(control));
    if (what == PanelPart::kUdp) model_.UdpClicked(s, Checked(control));
    if (port && code == EN_CHANGE) model_.PortEdited(s, Narrow(Text(control)));
    if (port && code == kEnterPressed) model_.PortEnter(s);
    Render();
    return;
  }
  switch (id) {
    case kIdServers:
      // The ComboBoxEx passes its combo box's notifications on.
      if (const int index = server_choice_.OnNotify(servers_, code); index >= 0) {
        model_.ServerChosen(index);
        break;
      }
      return;
    case kIdRandom:
      if (code != BN_CLICKED) return;
      model_.RandomClicked(Checked(control));
      break;
    case kIdSyncN:
      if (code == EN_CHANGE) {
        const std::string typed = Narrow(Text(sync_n_));
        const std::string kept = model_.CountEdited(typed);
        if (kept != typed) {
          Applying guard(applying_);
          SetText(sync_n_, Widen(kept));
          SendMessageW(sync_n_, EM_SETSEL, kept.size(), kept.size());
        }
        return;
      }
      if (code != kEnterPressed) return;
      PostInterval(false);
      break;
    case kIdSyncUnit:
      if (unit_choice_.OnNotify(sync_unit_, code) < 0) return;
      PostInterval(true);
      break;
    case kIdOptions:
      if (code != BN_DOUBLECLICKED) return;
      model_.SyncNowDoubleClick();
      break;
    case kIdMenuShow:
      RestoreFromTray();
      return;
    case kIdMenuExit:
      ExitFromMenu();
      return;
    case IDOK:
      // Enter where no control takes it: on the tree, as a click on the current node.
      if (GetFocus() == tree_) {
        TVITEMW item{};
        item.mask = TVIF_PARAM;
        item.hItem = TreeView_GetSelection(tree_);
        if (item.hItem && TreeView_GetItem(tree_, &item)) SelectNode(static_cast<int>(item.lParam));
      }
      return;
    default:
      return;
  }
  Render();
}

void ServerWindow::PostInterval(bool from_list) {
  std::wstring unit = Text(sync_unit_);
  if (from_list) {
    // The list's choice: the edit part shows it only after this notification.
    const LRESULT index = SendMessageW(sync_unit_, CB_GETCURSEL, 0, 0);
    if (index >= 0) unit = ComboItemText(sync_unit_, static_cast<int>(index));
  }
  model_.IntervalEntered(Narrow(Text(sync_n_)), Narrow(unit));
}

LRESULT ServerWindow::OnNotify(const NMHDR& header) {
  if (header.idFrom != static_cast<UINT_PTR>(kIdTree) || applying_) return 0;
  auto node_of = [this](HTREEITEM item) -> int {
    TVITEMW tv{};
    tv.mask = TVIF_PARAM;
    tv.hItem = item;
    return item && TreeView_GetItem(tree_, &tv) ? static_cast<int>(tv.lParam) : 0;
  };
  switch (header.code) {
    case TVN_SELCHANGEDW: {
      // The arrow keys move through the service panels; About and the
      // configuration open on a click or Enter, not when the keys pass by.
      const int node = node_of(reinterpret_cast<const NMTREEVIEWW&>(header).itemNew.hItem);
      if (desktop::NodeService(node)) SelectNode(node);
      return 0;
    }
    case NM_CLICK: {
      TVHITTESTINFO hit{};
      GetCursorPos(&hit.pt);
      ScreenToClient(tree_, &hit.pt);
      const int node = node_of(TreeView_HitTest(tree_, &hit));
      if (node && (hit.flags & TVHT_ONITEM) && !desktop::NodeService(node)) SelectNode(node);
      return 0;
    }
    case NM_RETURN: {
      const int node = node_of(TreeView_GetSelection(tree_));
      if (node) SelectNode(node);
      return 0;
    }
    default:
      return 0;
  }
}

void ServerWindow::SelectNode(int node) {
  const desktop::NodeAction action = model_.SelectNode(node);
  // A window opened inside the click would go behind this one when the tree
  // takes the focus at the click's end: it opens once the click is over.
  if (action == desktop::NodeAction::kOpenAbout || action == desktop::NodeAction::kOpenConfig)
    PostMessageW(hwnd_, kMsgOpenWindow, static_cast<WPARAM>(node), 0);
  Render();
}

void ServerWindow::OpenAbout() {
  if (!about_) about_ = std::make_unique<AboutWindow>(options_.version, options_.settings_place);
  about_->Open(hwnd_);
}

void ServerWindow::OpenConfig() {
  if (!config_) config_ = std::make_unique<ConfigWindow>(engine_, options_.config_hooks);
  config_->Open(hwnd_, model_.snapshot().get(), model_.view().caption);
  config_->SetUpdateButton(model_.view().update_button_enabled);
}

void ServerWindow::OnSize(WPARAM kind) {
  if (kind == SIZE_MINIMIZED && !minimised_) {
    minimised_ = true;
    // Without a notification area the window stays on the task bar, minimised.
    in_tray_ = tray_->Add();
    if (in_tray_) ShowWindow(hwnd_, SW_HIDE);
    model_.SetShownNormal(false);
    Render();
  } else if ((kind == SIZE_RESTORED || kind == SIZE_MAXIMIZED) && minimised_) {
    minimised_ = false;
    in_tray_ = false;
    tray_->Remove();
    model_.SetShownNormal(true);
    Render();
  }
}

void ServerWindow::MinimiseToTray() {
  if (minimised_) return;
  ShowWindow(hwnd_, SW_MINIMIZE);
  // A window that was never shown reports no size change.
  if (!minimised_) OnSize(SIZE_MINIMIZED);
}

void ServerWindow::RestoreFromTray() {
  ShowWindow(hwnd_, SW_RESTORE);
  ShowWindow(hwnd_, SW_SHOW);
  if (minimised_) OnSize(SIZE_RESTORED);
  SetForegroundWindow(hwnd_);
}

void ServerWindow::OnTray(LPARAM lparam) {
  switch (TrayIcon::ClickOf(lparam)) {
    case TrayIcon::Click::kLeft:
    case TrayIcon::Click::kDouble:
      RestoreFromTray();
      break;
    case TrayIcon::Click::kRight:
      if (const UINT chosen = TrayIcon::ShowMenu(hwnd_, tray_menu_))
        OnCommand(static_cast<int>(chosen), 0, nullptr);
      break;
    default:
      break;
  }
}

void ServerWindow::ExitFromMenu() {
  exit_requested_ = true;
  SendMessageW(hwnd_, WM_CLOSE, 0, 0);
}

void ServerWindow::OnClose() {
  if (closing_) return;
  closing_ = true;
  KillTimer(hwnd_, kClockTimer);
  // The engine closes its sockets and saves the settings.
  model_.Closing();
  if (config_) config_->Destroy();
  if (about_) about_->Destroy();
  tray_->Remove();
  DestroyWindow(hwnd_);
}

std::wstring ServerWindow::TooltipOf(int control_id) const {
  HWND control = GetDlgItem(hwnd_, control_id);
  if (control_id == kIdServers) {
    HWND combo = reinterpret_cast<HWND>(SendMessageW(servers_, CBEM_GETCOMBOCONTROL, 0, 0));
    if (combo) control = combo;
  }
  return control && tips_ ? tips_->Get(control) : std::wstring();
}

}  // namespace mdl::win32
