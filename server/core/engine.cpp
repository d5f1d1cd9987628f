// Server engine: listeners of the protocol table, operator commands, status
// texts, start-up and shutdown.
#include "server/core/engine.h"

#include <ifaddrs.h>
#include <netinet/in.h>
#include <unistd.h>

#include <boost/asio/ip/host_name.hpp>
#include <charconv>

#include "common/time/calendar.h"
#include "common/time/ntp_timestamp.h"
#include "server/core/settings.h"
#include "server/upstream/sync_handler.h"

namespace mdl {
namespace {

std::string LocalIpAddress() {
  ifaddrs* list = nullptr;
  std::string found = "127.0.0.1";
  if (getifaddrs(&list) != 0) return found;
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
    auto* sin = reinterpret_cast<sockaddr_in*>(i->ifa_addr);
    boost::asio::ip::address_v4 a(ntohl(sin->sin_addr.s_addr));
    if (!a.is_loopback()) {
      found = a.to_string();
      break;
    }
  }
  freeifaddrs(list);
  return found;
}

}  // namespace

namespace {

// Dotted quad without the formatted-output machinery: this runs per request.
std::string DottedQuad(const boost::asio::ip::address_v4::bytes_type& b) {
  char text[16];
  char* p = text;
  for (size_t i = 0; i < 4; ++i) {
    if (i) *p++ = '.';
    p = std::to_chars(p, text + sizeof text, b[i]).ptr;
  }
  return std::string(text, p);
}

}  // namespace

std::string AddressText(const boost::asio::ip::address& a) {
  if (a.is_v4()) return DottedQuad(a.to_v4().to_bytes());
  if (a.to_v6().is_v4_mapped())
    return DottedQuad(boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, a.to_v6()).to_bytes());
  return a.to_string();
}

// The lines of a batch of datagrams or accepted connections go out in one
// write, before the batch's answers.
void ServiceHandler::OnBatchEnd() { engine_.log().Flush(); }
void ServiceHandler::OnAcceptBatchEnd() { engine_.log().Flush(); }

ServerEngine::ServerEngine(boost::asio::io_context& io, Clock& clock, Registry& registry,
                           EngineOptions options, EngineObserver* observer)
    : io_(io),
      clock_(clock),
      registry_(registry),
      options_(std::move(options)),
      observer_(observer),
      tick_timer_(io) {
  handlers_[static_cast<size_t>(Service::kTime)] = MakeTimeHandler(*this);
  handlers_[static_cast<size_t>(Service::kDaytime)] = MakeDaytimeHandler(*this);
  handlers_[static_cast<size_t>(Service::kNtp)] = MakeNtpHandler(*this);
  handlers_[static_cast<size_t>(Service::kUnixTime)] = MakeUnixTimeHandler(*this);
  handlers_[static_cast<size_t>(Service::kPrivate)] = MakePrivateHandler(*this);
  for (size_t i = 0; i < kServiceCount; ++i) {
    ServiceState& st = services_[i];
    // Window defaults of a service the settings leave untouched: the table's defaults.
    ServiceFields f = ParseServiceFields(kProtocolTable[i].default_value);
    st.enabled = f.enabled;
    st.tcp_box = f.tcp;
    st.udp_box = f.udp;
    st.boxes_enabled = f.enabled;
    st.port_text = f.port_text;
    st.tcp = std::make_unique<net::TcpListener>(io_, *handlers_[i]);
    st.udp = std::make_unique<net::UdpSocket>(io_);
    st.tcp->SetIdleTimeout(options_.tcp_idle_timeout);
    st.tcp->SetMaxConnections(options_.tcp_max_connections);
  }
  sync_ = std::make_unique<UpstreamSync>(*this);
  // NTP replies get their transmit time stamp right before they are sent.
  service(Service::kNtp).udp->SetStamper([this](std::span<uint8_t> b) {
    if (b.size() != 48) return;
    GrabbedTime g = GrabTime(clock_.now());
    auto bytes = g.stamp.ToBytes();
    std::copy(bytes.begin(), bytes.end(), b.begin() + 40);
    last_millis_ = g.last_millis;
  });
}

ServerEngine::~ServerEngine() {
  boost::system::error_code ec;
  tick_timer_.cancel();
  sync_.reset();
  for (auto& st : services_) {
    st.tcp.reset();
    st.udp.reset();
  }
}

std::string ServerEngine::LocalDateTimeText() const { return DefaultDateTimeText(clock_.now(), zone_); }

void ServerEngine::Start() {
  if (started_) return;
  started_ = true;
  zone_ = clock_.zone();
  started_text_ = LocalDateTimeText();
  server_name = boost::asio::ip::host_name();
  LogIdentity id{options_.home, options_.version, started_text_, server_name, LocalIpAddress()};
  log_ = std::make_unique<RequestLog>(id);
  log_->set_path_check_interval(std::chrono::seconds(1));
  log_->set_error_callback([this](LogError kind, int err, const std::filesystem::path& p) {
    const char* what = kind == LogError::kFolder ? "create the folder"
                       : kind == LogError::kOpen ? "open"
                                                 : "write";
    Diagnostic("request log: cannot " + std::string(what) + " " + p.string() + ": " +
               std::generic_category().message(err));
  });
  // The server list first, then the settings, which open the listeners.
  sync_->ReadServerList();
  LoadSettings();
  ApplyRegistryTuning();
  sync_->AfterSettings();
  // Logging is on after every start, whatever "EnableLogging" said.
  SetLogging(true);
  MDLSelected(1);
  ArmTick();
  StatusUp();
  if (options_.sync_at_start) sync_->SyncTimeNow();
  Publish();
}

void ServerEngine::Shutdown() {
  if (!started_ || shut_down_) return;
  shut_down_ = true;
  tick_timer_.cancel();
  sync_->Stop();
  for (Service s : {Service::kTime, Service::kDaytime, Service::kNtp, Service::kUnixTime, Service::kPrivate})
    service(s).tcp->CloseAll();
  for (Service s : {Service::kPrivate, Service::kUnixTime, Service::kNtp, Service::kDaytime, Service::kTime})
    service(s).udp->Close();
  log_->Flush();
  SaveSettings();
}

void ServerEngine::LoadSettings() {
  StoredServerSettings stored = LoadServerSettings(registry_);
  daylight_name = clock_.zone().daylight_name;
  standard_name = clock_.zone().standard_name;
  run_found = run_wanted = stored.run_value_found;
  if (stored.first_start) {
    WriteFirstStartDefaults(registry_, server_name);
    stored = LoadServerSettings(registry_);
  }
  if (!stored.server_name.empty()) server_name = stored.server_name;
  open_minimized = stored.open_minimized;
  use_julian_ = stored.use_julian;
  logging_ = stored.enable_logging;
  sync_->ApplySettingsValue(stored.sync);
  for (Service s : kLoadOrder) {
    const ServiceFields& f = stored.services[static_cast<size_t>(s)];
    ServiceState& st = service(s);
    // A disabled service stays disabled and keeps its stored boxes and port,
    // so that the next save does not switch it back on.
    st.enabled = f.enabled;
    st.boxes_enabled = f.enabled;
    st.port_text = f.port_text;
    st.tcp_box = f.tcp;
    st.udp_box = f.udp;
    if (!f.enabled) continue;
    if (f.tcp) LoadServers(std::string(1, RowOf(s).tcp_digit));
    if (f.udp) LoadServers(std::string(1, RowOf(s).udp_digit));
  }
}

void ServerEngine::ApplyRegistryTuning() {
  // Values of our own: idle time-out (seconds) and connection cap of the TCP services.
  auto number = [](const std::string& text) -> std::optional<long> {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (*end != '\0' || v < 0) return std::nullopt;
    return v;
  };
  if (auto v = number(registry_.ReadValue(kServerKey, "TcpIdleTimeout")); v && *v > 0 && *v <= 86400)
    options_.tcp_idle_timeout = std::chrono::seconds(*v);
  if (auto v = number(registry_.ReadValue(kServerKey, "TcpMaxConnections")); v && *v > 0 && *v <= 1000000)
    options_.tcp_max_connections = static_cast<size_t>(*v);
  for (auto& st : services_) {
    st.tcp->SetIdleTimeout(options_.tcp_idle_timeout);
    st.tcp->SetMaxConnections(options_.tcp_max_connections);
  }
  budget_on_ = registry_.ReadValue(kServerKey, "AmplificationLimit") != "NO";
  std::string budget = registry_.ReadValue(kServerKey, "AmplificationBudget");
  if (auto colon = budget.find(':'); colon != std::string::npos) {
    auto rate = number(budget.substr(0, colon));
    auto burst = number(budget.substr(colon + 1));
    if (rate && burst && *rate <= 100000000 && *burst <= 100000000)
      budget_.Configure(static_cast<uint32_t>(*rate), static_cast<uint32_t>(*burst));
    else
      Diagnostic("AmplificationBudget \"" + budget +
                 "\" is not <bytes per second>:<burst bytes>; default kept");
  }
}

bool ServerEngine::AllowReply(const boost::asio::ip::address& to, size_t request_size, size_t reply_size) {
  if (!budget_on_ || reply_size <= request_size) return true;
  uint64_t key = 0;
  if (to.is_v4()) {
    key = to.to_v4().to_uint();
  } else {
    auto b = to.to_v6().to_bytes();
    for (size_t i = 0; i < 8; ++i) key = key << 8 | b[i];  // the /64 prefix
    key ^= 0x8000000000000000ULL;
  }
  int64_t now = clock_.tick_ms();
  if (budget_.Allow(key, now, static_cast<uint32_t>(reply_size - request_size))) return true;
  // Reported at most once every 10 s, with the count since the last report.
  if (now - budget_reported_ms_ >= 10000) {
    Diagnostic("amplification budget: " + std::to_string(budget_.refused() - budget_reported_count_) +
               " UDP replies refused, the latest to " + AddressText(to));
    budget_reported_ms_ = now;
    budget_reported_count_ = budget_.refused();
  }
  return false;
}

void ServerEngine::SaveSettings() {
  SaveInput in;
  sync_->FillSaveInput(in);
  in.open_minimized = open_minimized;
  in.enable_logging = logging_;
  in.run_wanted = run_wanted;
  in.run_found_at_start = run_found;
  in.run_value_data = RunValueData(options_.home.string());
  for (size_t i = 0; i < kServiceCount; ++i) {
    const ServiceState& st = services_[i];
    in.services[i] = ServiceFields{st.enabled, st.tcp_box, st.udp_box, st.port_text};
  }
  SaveServerSettings(registry_, in);
}

void ServerEngine::LoadServers(std::string_view mode) {
  auto target = ParseModeDigit(mode);
  if (!target) return;
  ServiceState& st = service(target->service);
  const ProtocolRow& row = RowOf(target->service);
  auto port = ParsePortField(st.port_text);
  if (target->transport == Transport::kUdp) {
    st.udp->Close();
  } else {
    st.tcp->Close();
  }
  if (!port) {
    status_text_ = std::string(row.tree_caption) + ": \"" + st.port_text +
                   "\" is not a port number from 1 to 65535; the " +
                   (target->transport == Transport::kUdp ? "UDP" : "TCP") + " socket stays closed.";
    Diagnostic(status_text_);
    Publish();
    return;
  }
  std::error_code ec;
  if (target->transport == Transport::kUdp) {
    ec = st.udp->Bind(options_.bind_address, *port);
    if (!ec) {
      st.udp->Start(handlers_[static_cast<size_t>(target->service)].get());
      st.udp->SetPaused(paused_);
    }
  } else {
    ec = st.tcp->Listen(options_.bind_address, *port);
    if (!ec) st.tcp->SetPaused(paused_);
  }
  if (ec) ReportBindError(target->service, ec, *port);
}

void ServerEngine::ReportBindError(Service s, std::error_code ec, uint16_t port) {
  if (ec == std::errc::address_in_use) {
    status_text_ =
        "That address is already in use.  Please select a different port than " + std::to_string(port) + ".";
    if (s == Service::kDaytime) {
      status_line_ = status_text_ + "\r" +
                     "DAYTIME SERVICE SERVER ERROR - PORT: " + service(Service::kDaytime).port_text +
                     " invalid.";
    }
  } else {
    status_text_ = std::string(RowOf(s).tree_caption) + ": cannot open port " + std::to_string(port) + ": " +
                   ec.message() + ".";
  }
  Diagnostic(std::string(RowOf(s).tree_caption) + ": port " + std::to_string(port) + ": " + ec.message());
  Publish();
}

void ServerEngine::SetEnabled(Service s, bool checked) {
  ServiceState& st = service(s);
  const ProtocolRow& row = RowOf(s);
  st.enabled = checked;
  if (checked) {
    st.boxes_enabled = true;
    if (!st.tcp->IsListening()) {
      if (st.udp_box) LoadServers(std::string(1, row.udp_digit));
      if (st.tcp_box) LoadServers(std::string(1, row.tcp_digit));
    }
  } else {
    if (st.tcp->IsListening()) st.tcp->Close();
    st.boxes_enabled = false;
  }
  MDLSelected(row.panel_index);
}

void ServerEngine::SetTcp(Service s, bool checked) {
  ServiceState& st = service(s);
  st.tcp_box = checked;
  if (checked) {
    LoadServers(std::string(1, RowOf(s).tcp_digit));
  } else {
    // Unchecked means no TCP: the listener closes at once, as the UDP box does.
    st.tcp->Close();
  }
  MDLSelected(RowOf(s).panel_index);
}

void ServerEngine::SetUdp(Service s, bool checked) {
  ServiceState& st = service(s);
  st.udp_box = checked;
  if (checked) {
    LoadServers(std::string(1, RowOf(s).udp_digit));
  } else {
    st.udp->Close();
    if (s == Service::kNtp) sync_->OnNtpSocketClosed();
  }
  MDLSelected(RowOf(s).panel_index);
}

void ServerEngine::SetPortText(Service s, std::string text) {
  ServiceState& st = service(s);
  st.port_text = std::move(text);
  if (s != Service::kPrivate) st.port_tooltip = " Hit Enter to Register the Port Change ";
  Publish();
}

void ServerEngine::PortEnter(Service s) {
  // The private protocol's port takes effect only when its socket is next opened.
  if (s == Service::kPrivate) return;
  ServiceState& st = service(s);
  if (st.enabled) LoadServers(std::string(1, RowOf(s).udp_digit));
  if (st.enabled) LoadServers(std::string(1, RowOf(s).tcp_digit));
  st.port_tooltip = " Change Registered Successfully ";
  Publish();
}

void ServerEngine::MDLSelected(int isel) {
  if (isel < 1 || isel > 8) return;
  if (isel >= 7) return;  // About and advanced configuration: no panel change
  static constexpr Service kPanel[] = {Service::kTime, Service::kTime,     Service::kDaytime,
                                       Service::kNtp,  Service::kUnixTime, Service::kPrivate};
  Service s = kPanel[isel - 1];
  selected_slot_ = static_cast<int>(s);
  selected_number_ = selected_slot_ + 1;
  const ServiceState& st = service(s);
  status_text_ = SelectedStatusText(st.enabled, st.tcp_box, st.udp_box, counters_.Get(s, Transport::kTcp),
                                    counters_.Get(s, Transport::kUdp));
  Publish();
}

void ServerEngine::SetPaused(bool paused) {
  paused_ = paused;
  for (auto& st : services_) {
    st.tcp->SetPaused(paused);
    st.udp->SetPaused(paused);
  }
}

void ServerEngine::SetLogging(bool on) {
  logging_ = on;
  if (log_) log_->set_enabled(on);
}

void ServerEngine::MarkTimeSynced() {
  time_synced_ = true;
  StatusUp();
}

void ServerEngine::Indicate(Indicator i) {
  if (observer_) observer_->OnIndicator(i);
}

void ServerEngine::ShowRequester(Service s, const std::string& address) {
  last_requester_[static_cast<size_t>(s)] = address;
}

void ServerEngine::StatusUp() {
  server_status_text_ = ServerStatusText(counters_, LocalDateTimeText(), last_update_text);
  Service s = static_cast<Service>(selected_slot_);
  const ServiceState& st = service(s);
  selected_summary_text_ =
      SelectedSummaryText(st.enabled, st.tcp_box, st.udp_box, counters_.Get(s, Transport::kTcp),
                          counters_.Get(s, Transport::kUdp));
}

void ServerEngine::Diagnostic(const std::string& line) {
  if (observer_) observer_->OnDiagnostic(line);
}

void ServerEngine::Publish() {
  if (!observer_) return;
  EngineSnapshot snap;
  snap.status_line = status_line_;
  snap.status_text = status_text_;
  snap.sync_message = sync_message;
  snap.tray_tip = tray_tip;
  for (size_t i = 0; i < kServiceCount; ++i) snap.last_requester[i] = last_requester_[i];
  snap.time_synced = time_synced_;
  snap.selected_slot = selected_slot_;
  snap.counters = counters_;
  observer_->OnStatus(snap);
}

void ServerEngine::RestartTick() {
  if (!started_ || shut_down_) return;
  tick_timer_.cancel();
  ArmTick();
}

void ServerEngine::ArmTick() {
  tick_timer_.expires_after(options_.tick);
  tick_timer_.async_wait([this](const boost::system::error_code& ec) {
    if (ec || shut_down_) return;
    OnTick();
    ArmTick();
  });
}

void ServerEngine::OnTick() {
  if (paused_) return;
  zone_ = clock_.zone();
  sync_->Tick();
  // Status texts are recomposed once a second rather than after every request.
  StatusUp();
  bool changed = false;
  if (!server_status_text_.empty() && status_line_ != server_status_text_) {
    status_line_ = server_status_text_;
    changed = true;
  }
  if (status_text_ != selected_summary_text_) {
    status_text_ = selected_summary_text_;
    changed = true;
  }
  if (changed) Publish();
}

}  // namespace mdl
