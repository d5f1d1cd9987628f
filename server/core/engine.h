// The server engine: the protocol table's sockets, the responders, accounting,
// the request log, settings and the upstream synchronisation, all on one
// io_context thread. Displays follow it through EngineObserver; the desktop
// window posts commands into it.
#pragma once

#include <array>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/steady_timer.hpp>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "common/clock/clock.h"
#include "common/net/tcp_listener.h"
#include "common/net/udp_socket.h"
#include "common/registry/registry.h"
#include "server/core/protocol_table.h"
#include "server/core/reply_budget.h"
#include "server/protocols/accounting.h"
#include "server/protocols/request_log.h"

namespace mdl {

class UpstreamSync;

struct EngineOptions {
  std::filesystem::path home;  // program folder
  bool service_build = true;   // no window
  boost::asio::ip::address bind_address = boost::asio::ip::address_v4::any();
  std::string version = "5.1.10";
  // Idle time-out of accepted TCP connections and the cap of open ones per
  // service; the registry values "TcpIdleTimeout" and "TcpMaxConnections"
  // override them.
  std::chrono::milliseconds tcp_idle_timeout{30000};
  size_t tcp_max_connections = 1024;
  // Seconds between synchronisation ticks (tests shorten it).
  std::chrono::milliseconds tick{1000};
  // The first synchronisation is started at the end of start-up.
  bool sync_at_start = true;
};

// What a display shows; published after each change.
struct EngineSnapshot {
  std::string status_line;  // `Status`: the server status text or an error
  std::string status_text;  // `svrStatlbl`: the selected service
  std::string sync_message;
  std::string tray_tip;
  std::string last_requester[kServiceCount];
  bool time_synced = false;
  int selected_slot = 0;
  RequestCounters counters;
};

class EngineObserver {
 public:
  virtual ~EngineObserver() = default;
  virtual void OnIndicator(Indicator) {}
  virtual void OnStatus(const EngineSnapshot&) {}
  // Diagnostic lines (failed binds, synchronisation results, dropped requests).
  virtual void OnDiagnostic(const std::string&) {}
};

// The boxes and port field of one service, and its two sockets.
struct ServiceState {
  bool enabled = false;
  bool tcp_box = false;
  bool udp_box = false;
  bool boxes_enabled = true;  // the TCP and UDP boxes can be clicked
  std::string port_text;
  std::string port_tooltip;
  std::unique_ptr<net::TcpListener> tcp;
  std::unique_ptr<net::UdpSocket> udp;
};

class ServiceHandler;

class ServerEngine {
 public:
  ServerEngine(boost::asio::io_context& io, Clock& clock, Registry& registry, EngineOptions options,
               EngineObserver* observer = nullptr);
  ~ServerEngine();
  ServerEngine(const ServerEngine&) = delete;
  ServerEngine& operator=(const ServerEngine&) = delete;

  // Start-up: server list, settings (opens the enabled listeners), logging
  // on, Time panel, first synchronisation, timers.
  void Start();
  // Shutdown: timers stopped, listeners and UDP sockets closed in order,
  // settings saved. Safe to call twice.
  void Shutdown();

  // Operator commands (the desktop window posts these).
  void SetEnabled(Service s, bool checked);
  void SetTcp(Service s, bool checked);
  void SetUdp(Service s, bool checked);
  void SetPortText(Service s, std::string text);  // the field's Change
  void PortEnter(Service s);                      // Enter in the field
  void LoadServers(std::string_view mode);
  void MDLSelected(int isel);
  void SetPaused(bool paused);
  void SetLogging(bool on);

  // Marks the clock synchronised (the upstream synchronisation does this;
  // tests call it directly).
  void MarkTimeSynced();

  // --- used by the responders ---
  boost::asio::io_context& io() { return io_; }
  Clock& clock() { return clock_; }
  // Zone facts, refreshed once a second (reading them costs a zone look-up).
  const ZoneFacts& zone() const { return zone_; }
  const EngineOptions& options() const { return options_; }
  bool time_synced() const { return time_synced_; }
  bool paused() const { return paused_; }
  bool use_julian() const { return use_julian_; }
  bool logging() const { return logging_; }
  RequestCounters& counters() { return counters_; }
  RequestLog& log() { return *log_; }
  ServiceState& service(Service s) { return services_[static_cast<size_t>(s)]; }
  const ServiceState& service(Service s) const { return services_[static_cast<size_t>(s)]; }
  UpstreamSync& sync() { return *sync_; }
  uint32_t last_millis() const { return last_millis_; }
  const ReplyBudget& reply_budget() const { return budget_; }
  void Indicate(Indicator i);
  // Shows the requester of a service (the `MDLRemHost` entry and its tooltip).
  void ShowRequester(Service s, const std::string& address);
  void StatusUp();
  void Diagnostic(const std::string& line);
  // Publishes the snapshot (after a change that displays follow).
  void Publish();
  // Restarts the one-second tick (a "Sec" interval unit does this).
  void RestartTick();

  const std::string& status_line() const { return status_line_; }
  const std::string& status_text() const { return status_text_; }
  const std::string& server_status_text() const { return server_status_text_; }
  std::string LocalDateTimeText() const;

  // Settings held in memory.
  bool open_minimized = false;
  bool run_wanted = false;
  bool run_found = false;
  std::string server_name;
  std::string daylight_name, standard_name;
  std::string last_update_text = "Never";
  std::string sync_message;
  std::string tray_tip;
  std::string servers_tooltip;

  // Whether a UDP reply larger than its request may go to `to` (the
  // amplification budget); counts and reports what it refuses.
  bool AllowReply(const boost::asio::ip::address& to, size_t request_size, size_t reply_size);

 private:
  void OpenUdp(Service s, uint16_t port);
  void OpenTcp(Service s, uint16_t port);
  void ReportBindError(Service s, std::error_code ec, uint16_t port);
  void LoadSettings();
  void SaveSettings();
  void ApplyRegistryTuning();
  void OnTick();
  void ArmTick();

  boost::asio::io_context& io_;
  Clock& clock_;
  Registry& registry_;
  EngineOptions options_;
  EngineObserver* observer_;
  std::array<ServiceState, kServiceCount> services_;
  std::array<std::unique_ptr<ServiceHandler>, kServiceCount> handlers_;
  std::unique_ptr<RequestLog> log_;
  std::unique_ptr<UpstreamSync> sync_;
  RequestCounters counters_;
  ZoneFacts zone_;
  ReplyBudget budget_;
  bool budget_on_ = true;
  int64_t budget_reported_ms_ = -1'000'000;
  uint64_t budget_reported_count_ = 0;
  uint32_t last_millis_ = 0;
  std::string last_requester_[kServiceCount];
  boost::asio::steady_timer tick_timer_;
  bool time_synced_ = false;
  bool paused_ = false;
  bool use_julian_ = true;
  bool logging_ = true;
  bool started_ = false;
  bool shut_down_ = false;
  int selected_number_ = 1;
  int selected_slot_ = 0;
  std::string status_line_;
  std::string status_text_;
  std::string server_status_text_;
  std::string selected_summary_text_;
  std::string started_text_;
};

// A responder: the UDP receiver and TCP handler of one service.
class ServiceHandler : public net::UdpReceiver, public net::TcpHandler {
 public:
  explicit ServiceHandler(ServerEngine& engine) : engine_(engine) {}
  void OnDatagram(const net::Datagram&) override {}
  void OnBatchEnd() override;
  void OnAcceptBatchEnd() override;
  void OnAccept(net::TcpSlot&) override {}
  void OnData(net::TcpSlot&, std::span<const uint8_t>) override {}

 protected:
  ServerEngine& engine_;
};

std::unique_ptr<ServiceHandler> MakeTimeHandler(ServerEngine& engine);
std::unique_ptr<ServiceHandler> MakeDaytimeHandler(ServerEngine& engine);
std::unique_ptr<ServiceHandler> MakeNtpHandler(ServerEngine& engine);
std::unique_ptr<ServiceHandler> MakeUnixTimeHandler(ServerEngine& engine);
std::unique_ptr<ServiceHandler> MakePrivateHandler(ServerEngine& engine);

// Dotted text of an address (IPv4-mapped IPv6 shown as IPv4).
std::string AddressText(const boost::asio::ip::address& a);

}  // namespace mdl
