// The server's main window without a toolkit: what each control shows across
// the engine's snapshots, and the command each operator action posts. The
// Qt and the Win32 windows create the controls, forward their events here
// and show view() (setting a control only when its text or state changed,
// and leaving a field alone while the operator types in it).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "common/time/utc_time.h"
#include "desktop/model/engine_port.h"
#include "server/core/engine_snapshot.h"
#include "server/serving/service_kinds.h"

namespace mdl::desktop {

// One service's panel (`proto_f`); its frame caption is NodeCaption(ServiceNode(s)).
struct ServicePanelView {
  bool enabled = false;            // the Enabled box
  bool tcp = false;                // the TCP box
  bool udp = false;                // the UDP box
  bool transports_enabled = true;  // the TCP and UDP boxes can be clicked
  std::string port_text;
  std::string port_tooltip;
  std::string requester;  // `MDLRemHost`: the last requester
  std::string requester_tooltip;

  bool operator==(const ServicePanelView&) const = default;
};

// An entry of the `Servers` image combo box.
struct ServerItemView {
  std::string text;
  int image = 2;  // image number (image_numbers.h)

  bool operator==(const ServerItemView&) const = default;
};

// Everything the main window shows.
struct ServerWindowView {
  std::string caption;                                 // the window's title
  std::array<ServicePanelView, kServiceCount> panels;  // by Index(Service)
  Service shown_service = Service::kTime;              // the panel in front
  int shown_node = 1;                                  // the tree's current node
  std::string service_status;                          // `svrStatlbl`
  std::string status_line;                             // `Status`
  std::vector<ServerItemView> servers;                 // `Servers`
  int selected_server = -1;                            // index from 0; -1: none (empty list or region)
  std::string servers_tooltip;
  bool random = true;                                  // `RandomCheck`
  std::string interval_count;                          // `SyncN`
  std::string interval_unit;                           // `SyncIntC`'s text
  int interval_unit_item = 1;                          // its list's current entry: UnitItemIndex
  std::array<bool, kIndicatorCount> indicators_lit{};  // `LED`, by Indicator
  std::string clock_text;                              // `svrCurrent`: three lines
  std::string clock_tooltip;                           // " Time Zone: ... "
  int tray_picture = 1;                                // the tray icon's image number
  std::string tray_tip;                                // the tray icon's tip
  bool update_button_enabled = true;                   // the engine allows `CheckUpdate`
};

// What a click (or Enter) on a tree node asks of the window.
enum class NodeAction { kShowPanel, kOpenAbout, kOpenConfig, kNone };

class ServerWindowModel {
 public:
  explicit ServerWindowModel(EnginePort& engine);

  // A snapshot of the engine; `monotonic_now` is MonotonicNow() when it came
  // (the clock box moves the snapshot's time on by the monotonic time since).
  // Returns true once: for the first snapshot when it asks to open minimised
  // (the window then goes to the tray).
  bool ApplySnapshot(const SnapshotPtr& snapshot, Nanoseconds monotonic_now);
  // The clock tick (every second): indicators dark, the clock box and every
  // tenth tick the zone tooltip refreshed.
  void ClockTick(Nanoseconds monotonic_now);
  // The window is shown normally (true) or minimised / in the tray (false):
  // the indicators light only while shown; the tray picture and tip follow
  // while minimised. Posts the shown panel's service again, as a selection.
  void SetShownNormal(bool normal);

  // A click or Enter on tree node `node` (1 to 8). A service node shows its
  // panel and posts cmd::ShowService.
  NodeAction SelectNode(int node);
  // The service panels. The Enabled box enables the transport boxes at once
  // (the next snapshot confirms).
  void EnableClicked(Service s, bool on);
  void TcpClicked(Service s, bool on);
  void UdpClicked(Service s, bool on);
  // The operator changed the port field's text (posted, not yet registered).
  void PortEdited(Service s, std::string text);
  // Enter in the port field registers the port; the private protocol's port
  // takes effect when its socket is next opened, so Enter posts nothing there.
  void PortEnter(Service s);
  // The operator chose entry `index0` (from 0) of the server list.
  void ServerChosen(int index0);
  void RandomClicked(bool on);
  // `SyncN` was edited: returns the text the field keeps (its guard).
  std::string CountEdited(std::string text);
  // Enter in `SyncN` or a unit chosen in `SyncIntC`: the interval is posted.
  void IntervalEntered(std::string count, std::string unit);
  // A double click on the "Server Synchronization" frame.
  void SyncNowDoubleClick();
  // The window closes: posts cmd::Shutdown the first time (returns true then), never again.
  bool Closing();

  const ServerWindowView& view() const { return view_; }
  const SnapshotPtr& snapshot() const { return snapshot_; }
  bool shown_normal() const { return normal_; }

 private:
  void RefreshClock(Nanoseconds monotonic_now);
  void UpdateTray();
  void SetIndicator(Indicator i, bool lit);

  EnginePort& engine_;
  ServerWindowView view_;
  SnapshotPtr snapshot_;
  Nanoseconds snapshot_tick_{0};
  std::string engine_tip_;  // the snapshot's tray tip
  std::string region_;      // the snapshot's region
  // The engine's position when its region turned out to have no server; -1: none stands.
  int stale_position_ = -1;
  int ticks_ = 0;
  bool normal_ = true;
  bool first_snapshot_ = true;
  bool closing_ = false;
};

}  // namespace mdl::desktop
