// The server window's state and actions.
#include "desktop/model/server_window_model.h"

#include <utility>

#include "common/time/clock_box_text.h"
#include "desktop/model/image_numbers.h"
#include "desktop/model/window_texts.h"

namespace mdl::desktop {
namespace {

// The indicators that light for activity since the previous snapshot.
constexpr Indicator kActivity[] = {Indicator::kDataIn, Indicator::kDataOut, Indicator::kUdpIn,
                                   Indicator::kTcpIn};

}  // namespace

ServerWindowModel::ServerWindowModel(EnginePort& engine) : engine_(engine) {
  view_.caption = WindowCaption(-1);
  for (Service s : kAllServices) view_.panels[Index(s)] = ServicePanelView{};
  view_.interval_unit = server_text::kDefaultUnit;
  view_.clock_text = InitialClockText();
  view_.tray_picture = kImageServer;
  view_.tray_tip = DefaultTrayTip();
}

void ServerWindowModel::SetIndicator(Indicator i, bool lit) {
  view_.indicators_lit[static_cast<size_t>(i)] = lit;
}

bool ServerWindowModel::ApplySnapshot(const SnapshotPtr& snapshot, Nanoseconds monotonic_now) {
  if (!snapshot) return false;
  snapshot_ = snapshot;
  snapshot_tick_ = monotonic_now;
  const EngineSnapshot& s = *snapshot;

  for (Service svc : kAllServices) {
    const ServiceView& v = s.services[Index(svc)];
    ServicePanelView& p = view_.panels[Index(svc)];
    p.enabled = v.enabled;
    p.tcp = v.tcp_box;
    p.udp = v.udp_box;
    p.transports_enabled = v.boxes_enabled;
    p.port_text = v.port_text;
    p.port_tooltip = v.port_tooltip;
    p.requester = v.last_requester;
    p.requester_tooltip = v.last_requester_tooltip;
  }
  view_.service_status = LabelText(s.status_text);
  view_.status_line = LabelText(s.status_line);

  std::vector<ServerItemView> items;
  items.reserve(s.servers.size());
  for (const ServerEntryView& e : s.servers) items.push_back({e.display_text, e.image});
  if (items != view_.servers) {
    // A new list shows its first entry until a position of it is chosen.
    view_.servers = std::move(items);
    view_.selected_server = view_.servers.empty() ? -1 : 0;
  }
  // A region without a server: the engine's position is still the old
  // region's entry, which stands for nothing until the operator picks one.
  if (s.region != region_) {
    region_ = s.region;
    stale_position_ = s.region_without_server ? s.selected_server : -1;
  }
  if (!s.region_without_server) stale_position_ = -1;
  // A position outside the list leaves the choice shown as it is.
  const int index = s.selected_server - 1;
  if (stale_position_ >= 0 && s.selected_server == stale_position_) {
    view_.selected_server = -1;
  } else if (index >= 0 && index < static_cast<int>(view_.servers.size())) {
    view_.selected_server = index;
  }
  view_.servers_tooltip = s.servers_tooltip;
  view_.random = s.random;
  view_.interval_count = s.interval_count;
  view_.interval_unit = s.interval_unit;
  view_.interval_unit_item = UnitItemIndex(view_.interval_unit);
  view_.caption = WindowCaption(s.last_ntp_millis);
  view_.update_button_enabled = s.update_button_enabled;

  // Indicators: lit by activity since the previous snapshot, while the window is shown.
  if (normal_) {
    for (Indicator i : kActivity)
      if (s.indicators & Bit(i)) SetIndicator(i, true);
    SetIndicator(Indicator::kSource, s.query_pending);
  }
  if (s.tray_tip != engine_tip_) {
    engine_tip_ = s.tray_tip;
    UpdateTray();
  }
  if (!first_snapshot_) return false;
  first_snapshot_ = false;
  view_.clock_tooltip = TimeZoneTooltip(s.zone);
  RefreshClock(monotonic_now);
  // "OpenMinimized": the window starts minimised.
  return s.open_minimized;
}

void ServerWindowModel::ClockTick(Nanoseconds monotonic_now) {
  // Indicators go dark once their activity has passed.
  if (normal_)
    for (Indicator i : kActivity) SetIndicator(i, false);
  RefreshClock(monotonic_now);
}

void ServerWindowModel::RefreshClock(Nanoseconds monotonic_now) {
  if (!snapshot_) return;
  ticks_ = (ticks_ + 1) % 10;
  if (ticks_ == 0) view_.clock_tooltip = TimeZoneTooltip(snapshot_->zone);
  // The engine clock's time: the snapshot's, moved on by the time since it came.
  const UtcTime now = snapshot_->taken_at + (monotonic_now - snapshot_tick_);
  view_.clock_text = LabelText(ClockBoxText(now, snapshot_->zone));
}

void ServerWindowModel::UpdateTray() {
  // Shown normally, the tray icon is gone: its picture and tip wait.
  if (normal_) {
    SetIndicator(Indicator::kSource, false);
    return;
  }
  switch (TrayPictureFor(engine_tip_)) {
    case TrayPicture::kKeep:
      break;
    case TrayPicture::kServer:
      view_.tray_picture = kImageServer;
      break;
    case TrayPicture::kSelectedServerFlag: {
      const int index = view_.selected_server;
      if (index >= 0 && index < static_cast<int>(view_.servers.size()))
        view_.tray_picture = view_.servers[static_cast<size_t>(index)].image;
      break;
    }
  }
  view_.tray_tip = engine_tip_.empty() ? DefaultTrayTip() : engine_tip_;
}

void ServerWindowModel::SetShownNormal(bool normal) {
  normal_ = normal;
  // The selected panel again, and the tray icon's picture and tip.
  SelectNode(view_.shown_node);
  UpdateTray();
}

NodeAction ServerWindowModel::SelectNode(int node) {
  if (node < 1 || node > kNodeCount) return NodeAction::kNone;
  if (auto s = NodeService(node)) {
    view_.shown_node = node;
    view_.shown_service = *s;
    engine_.Post(cmd::ShowService{*s});
    return NodeAction::kShowPanel;
  }
  if (node == kNodeAbout) return NodeAction::kOpenAbout;
  if (node == kNodeConfig) return NodeAction::kOpenConfig;
  return NodeAction::kNone;
}

void ServerWindowModel::EnableClicked(Service s, bool on) {
  engine_.Post(cmd::SetEnabled{s, on});
  ServicePanelView& p = view_.panels[Index(s)];
  p.enabled = on;
  // The transport boxes follow at once; the snapshot confirms.
  p.transports_enabled = on;
}

void ServerWindowModel::TcpClicked(Service s, bool on) {
  engine_.Post(cmd::SetTcp{s, on});
  view_.panels[Index(s)].tcp = on;
}

void ServerWindowModel::UdpClicked(Service s, bool on) {
  engine_.Post(cmd::SetUdp{s, on});
  view_.panels[Index(s)].udp = on;
}

void ServerWindowModel::PortEdited(Service s, std::string text) {
  view_.panels[Index(s)].port_text = text;
  engine_.Post(cmd::SetPortText{s, std::move(text)});
}

void ServerWindowModel::PortEnter(Service s) {
  // The private protocol's port takes effect when its socket is next opened.
  if (s != Service::kPrivate) engine_.Post(cmd::PortEnter{s});
}

void ServerWindowModel::ServerChosen(int index0) {
  if (index0 < 0) return;
  if (index0 < static_cast<int>(view_.servers.size())) view_.selected_server = index0;
  stale_position_ = -1;
  engine_.Post(cmd::SelectServer{index0 + 1});
}

void ServerWindowModel::RandomClicked(bool on) {
  view_.random = on;
  engine_.Post(cmd::SetRandom{on});
}

std::string ServerWindowModel::CountEdited(std::string text) {
  view_.interval_count = GuardCountText(std::move(text));
  return view_.interval_count;
}

void ServerWindowModel::IntervalEntered(std::string count, std::string unit) {
  view_.interval_count = count;
  view_.interval_unit = unit;
  view_.interval_unit_item = UnitItemIndex(view_.interval_unit);
  engine_.Post(cmd::SetInterval{std::move(count), std::move(unit)});
}

void ServerWindowModel::SyncNowDoubleClick() { engine_.Post(cmd::SyncNow{}); }

bool ServerWindowModel::Closing() {
  if (closing_) return false;
  closing_ = true;
  // The engine closes its sockets and saves the settings.
  engine_.Post(cmd::Shutdown{});
  return true;
}

}  // namespace mdl::desktop
