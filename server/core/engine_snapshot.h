// What the server engine publishes: a complete, immutable snapshot of what a
// display shows (coalesced to at most EngineOptions::snapshot_period apart),
// and events.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "common/time/utc_time.h"
#include "server/serving/accounting.h"
#include "server/serving/network_access.h"
#include "server/serving/service_kinds.h"
#include "server/update/update_events.h"
#include "server/upstream/sync_status.h"

namespace mdl {

// The panel of one service.
struct ServiceView {
  bool enabled = false;
  bool tcp_box = false;
  bool udp_box = false;
  bool boxes_enabled = true;  // the TCP and UDP boxes can be clicked
  bool tcp_open = false;      // listening
  bool udp_open = false;
  std::string port_text;
  std::string port_tooltip;
  std::string last_requester;          // `MDLRemHost`; empty before the first request
  std::string last_requester_tooltip;  // " <local date-time> " of the last request seen
  // For the status command and the metrics.
  uint16_t tcp_port = 0;  // bound ports, 0 while closed
  uint16_t udp_port = 0;
  size_t tcp_connections = 0;  // accepted connections open now
  std::string open_error;      // why a wanted socket is not open (empty when none)
};

// What NTP replies say of our own state (as served now).
struct ServedReference {
  int stratum = 0;
  std::array<uint8_t, 4> ref_id{};
  double root_delay_s = 0;
  double root_dispersion_s = 0;
  bool unsynchronised = false;  // leap 3, stratum 16
};

struct ServerEntryView {
  std::string display_text;
  int image = 2;  // the flag picture
};

struct EngineSnapshot {
  uint64_t sequence = 0;  // 1 for the first snapshot, then counting up
  UtcTime taken_at{};     // the engine clock's time when it was taken
  ZoneFacts zone;

  std::string status_line;  // `Status`: the server status text or an error
  std::string status_text;  // `svrStatlbl`: the selected service
  std::string sync_message;
  std::string tray_tip;
  std::string servers_tooltip;
  std::string last_update_text;

  std::array<ServiceView, kServiceCount> services;
  Service selected_service = Service::kTime;  // the service whose panel shows
  RequestCounters counters;
  uint8_t indicators = 0;    // Bit(Indicator) lit since the previous snapshot
  int last_ntp_millis = -1;  // `LastMillis` of the latest NTP reply (UDP or TCP); -1 before the first

  std::vector<ServerEntryView> servers;
  int selected_server = 0;  // list position, 0 before any choice
  std::string region;
  // The list has servers but none of `region`: no synchronisation can start.
  bool region_without_server = false;
  bool random = true;
  std::string interval_count;
  std::string interval_unit;
  int sync_interval_seconds = 0;
  bool query_pending = false;
  // The step of the last synchronisation (the error served before it, ns;
  // upstream minus ours) and the rate correction in force (ppm).
  std::optional<int64_t> served_error_ns;
  double frequency_ppm = 0;

  bool time_synced = false;
  bool paused = false;
  bool logging = false;
  bool open_minimized = false;
  bool run_at_start = false;
  // `CheckUpdate` is enabled again when an update check ends (but not after
  // the hand-over to the updater).
  bool update_button_enabled = true;
  std::string standard_name;
  std::string daylight_name;
  bool shut_down = false;

  // For the status command and the metrics (no window shows them).
  UtcTime started_at{};  // the engine clock when start-up ended
  ServingStats stats;
  SyncStatus sync;
  ServedReference served;
  // The next synchronisation attempt; nullopt while paused, while a query is
  // in flight or when no server can be asked.
  std::optional<UtcTime> next_sync;
  // The access lists in force, for hosts that accept connections of their
  // own (NTS key establishment); null when every address is allowed.
  std::shared_ptr<const NetworkAccess> access;
};

using SnapshotPtr = std::shared_ptr<const EngineSnapshot>;

// A line for the diagnostic log (failed binds, synchronisation results,
// dropped requests).
struct DiagnosticEvent {
  std::string line;
  bool warning = false;  // something an administrator must act on
};
// The outcome of a synchronisation as the hosts log it: sent with the
// snapshot that first shows a new `sync_message` (not empty), once however
// many snapshots follow.
struct SyncReport {
  std::string message;
  bool warning = false;  // a failure, or a time served without setting the clock
};
// The update check's questions (answered by cmd::AnswerUpdate), notices and
// the updater's start reach a window only; a host without one gets
// diagnostic lines instead.
using EngineEvent = std::variant<DiagnosticEvent, SyncReport, UpdateQuestion, UpdateNotice, UpdaterStart>;

// Receives the engine's output on the engine's thread; a host with a thread
// of its own (a window) queues them over.
class EngineListener {
 public:
  virtual ~EngineListener() = default;
  virtual void OnSnapshot(const SnapshotPtr&) {}
  virtual void OnEvent(const EngineEvent&) {}
};

}  // namespace mdl
