// The server engine: the services' sockets and responders, the serving
// context, settings and the upstream synchronisation, all on one io_context
// thread. Hosts do not include this: they hold an EngineHandle.
#pragma once

#include <array>
#include <boost/asio/io_context.hpp>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "common/clock/clock.h"
#include "common/net/tcp_listener.h"
#include "common/net/udp_socket.h"
#include "common/nts/cookie.h"
#include "common/registry/registry.h"
#include "server/core/engine_commands.h"
#include "server/core/engine_figures.h"
#include "server/core/engine_options.h"
#include "server/core/engine_snapshot.h"
#include "server/serving/request_log.h"
#include "server/serving/serving.h"

namespace mdl {

class UpstreamSync;
class UpdateCheck;
class NtsKeyKeeper;

class ServerEngine {
 public:
  ServerEngine(boost::asio::io_context& io, Clock& clock, Registry& registry, EngineOptions options,
               EngineListener* listener);
  ~ServerEngine();
  ServerEngine(const ServerEngine&) = delete;
  ServerEngine& operator=(const ServerEngine&) = delete;

  // Start-up: server list, settings (opens the enabled listeners), logging
  // on, Time panel, first synchronisation, timers.
  void Start();
  void Execute(const EngineCommand& command);
  bool shut_down() const { return shut_down_; }
  EngineFigures Figures() const;
  // Before Start: where the cookie keys of authenticated NTP go each time
  // they change (null when NTS turns off); called on the engine's thread.
  void SetNtsKeysSink(std::function<void(const std::shared_ptr<const nts::CookieKeySet>&)> sink) {
    nts_sink_ = std::move(sink);
  }

 private:
  // The boxes and port field of one service, and its two sockets.
  struct ServiceState {
    bool enabled = false;
    bool tcp_box = false;
    bool udp_box = false;
    bool boxes_enabled = true;
    std::string port_text;
    std::string port_tooltip;
    // The socket that failed to open, and the message of the latest failure:
    // the service's status text until the socket opens or its box is unchecked.
    bool tcp_failed = false;
    bool udp_failed = false;
    std::string open_error;
    std::unique_ptr<ServiceHandler> handler;
    std::unique_ptr<net::TcpListener> tcp;
    std::unique_ptr<net::DatagramPort> udp;
  };
  struct Commands;

  ServiceState& service(Service s) { return services_[Index(s)]; }
  // Shutdown: timers stopped, listeners and UDP sockets closed in order,
  // settings saved, a last snapshot.
  void Shutdown();
  void SetEnabled(Service s, bool checked);
  void SetTcp(Service s, bool checked);
  void SetUdp(Service s, bool checked);
  void SetPortText(Service s, std::string text);
  void PortEnter(Service s);
  // Opens (or reopens) one socket of a service on its port field's port.
  void Open(Service s, Transport transport);
  // The service whose panel shows: its status text.
  void ShowService(Service s);
  // A service's status text: its standing open error, else its three lines
  // ("IN:" for the panel, "Requests:" for the tick's summary).
  std::string ServiceStatus(Service s, bool panel) const;
  // A socket of the service no longer fails: it opened, or it is not wanted.
  void ClearOpenError(Service s, Transport transport);
  // The region or the server list changed: the status line tells when the region has no server.
  void RegionChanged();
  void SetPaused(bool paused);
  void SetLogging(bool on);
  void MarkTimeSynced();
  void SetEnabledFlag(Service s, bool on);
  void ReportBindError(Service s, std::error_code ec, uint16_t port);
  void LoadSettings();
  void SaveSettings();
  // The store re-read; what changed in it applied as the operator would.
  void ReloadSettings();
  void ReadBindAddress();
  void ApplyRegistryTuning();
  // The NTP rate limit (at start and on every reload), with a line saying what is in force.
  void ApplyNtpRateLimit(const std::optional<RateLimitParams>& limit);
  // NTS on or off, and the cookie keys' rotation period (at start and on a reload).
  void ApplyNts();
  // AllowNetworks and DenyNetworks put in force (and said) when they differ
  // from the texts in force; true when they did.
  bool ApplyAccessLists(const std::string& allow, const std::string& deny);
  void StatusUp();
  // The status line: the server status, its first line replaced by region_note_ while that stands.
  std::string StatusLine() const;
  std::string LocalDateTimeText() const;
  void Diagnostic(const std::string& line);
  // A change that displays follow: the next snapshot is scheduled.
  void Changed();
  // A UDP port from the options' maker, else a socket on the engine's clock.
  std::unique_ptr<net::DatagramPort> MakePort();
  void Publish();
  void ArmTick();
  void OnTick();

  boost::asio::io_context& io_;
  Clock& clock_;
  Registry& registry_;
  EngineOptions options_;
  EngineListener* listener_;
  ServingContext ctx_;
  std::array<ServiceState, kServiceCount> services_;
  std::unique_ptr<RequestLog> log_;
  std::unique_ptr<UpstreamSync> sync_;
  std::unique_ptr<UpdateCheck> update_;
  std::unique_ptr<NtsKeyKeeper> nts_keys_;
  std::function<void(const std::shared_ptr<const nts::CookieKeySet>&)> nts_sink_;
  std::unique_ptr<Timer> tick_timer_;
  std::unique_ptr<Timer> snapshot_timer_;
  Nanoseconds last_publish_{0};
  uint64_t sequence_ = 0;
  bool started_ = false;
  bool shut_down_ = false;
  bool paused_ = false;
  bool open_minimized_ = false;
  bool run_wanted_ = false;
  bool run_found_ = false;
  // The stored texts of the saved values at load: what this run did not change is not written back.
  std::map<std::string, std::string, std::less<>> loaded_texts_;
  Service selected_ = Service::kTime;
  std::string server_name_;
  // AllowNetworks and DenyNetworks in force.
  std::string allow_networks_, deny_networks_;
  // The lists in force for other threads (the NTS key establishment server); null: everyone allowed.
  std::shared_ptr<const NetworkAccess> shared_access_;
  std::string daylight_name_, standard_name_;
  std::string status_line_;
  std::string status_text_;
  std::string server_status_text_;
  std::string selected_summary_text_;
  // "No server of region XX in the list." while the list has servers but none of the region.
  std::string region_note_;
  std::string started_text_;
  UtcTime started_at_{};
  std::string reported_sync_message_;  // the last SyncReport's
  // Per service: the requester and count seen by the last snapshot, and the
  // time text of the latest change.
  struct RequesterSeen {
    boost::asio::ip::address address;
    uint64_t count = 0;
    std::string tooltip;
  };
  std::array<RequesterSeen, kServiceCount> requester_seen_;
};

}  // namespace mdl
