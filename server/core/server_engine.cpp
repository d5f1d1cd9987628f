// Server engine: listeners of the service table, operator commands, status
// texts, snapshots, start-up and shutdown.
#include "server/core/server_engine.h"

#include <boost/asio/ip/host_name.hpp>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "common/net/local_address.h"
#include "common/time/calendar.h"
#include "common/time/ntp_timestamp.h"
#include "server/core/settings.h"
#include "server/private/mdl_handler.h"
#include "server/protocols/handlers.h"
#include "server/serving/service_table.h"
#include "server/update/update_check.h"
#include "server/upstream/sync_handler.h"

namespace mdl {
namespace {

std::unique_ptr<ServiceHandler> MakeHandler(Service s, ServingContext& ctx) {
  switch (s) {
    case Service::kTime:
      return MakeTimeHandler(ctx);
    case Service::kDaytime:
      return MakeDaytimeHandler(ctx);
    case Service::kNtp:
      return MakeNtpHandler(ctx);
    case Service::kUnixTime:
      return MakeUnixTimeHandler(ctx);
    case Service::kPrivate:
      return MakePrivateHandler(ctx);
  }
  return nullptr;
}

std::string Digit(char c) { return std::string(1, c); }

// The errors of a machine (or namespace) without IPv6.
bool IsNoIpv6(std::error_code ec) {
  return ec == std::errc::address_family_not_supported || ec == std::errc::address_not_available ||
         ec == std::errc::protocol_not_supported;
}

// A plain non-negative decimal registry value.
std::optional<long> RegistryNumber(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || v < 0) return std::nullopt;
  return v;
}

}  // namespace

ServerEngine::ServerEngine(boost::asio::io_context& io, Clock& clock, Registry& registry,
                           EngineOptions options, EngineListener* listener)
    : io_(io),
      clock_(clock),
      registry_(registry),
      options_(std::move(options)),
      listener_(listener),
      ctx_(clock, [this](const std::string& line) { Diagnostic(line); }),
      tick_timer_(clock.MakeTimer(io)),
      snapshot_timer_(clock.MakeTimer(io)) {
  ctx_.set_service_build(options_.service_build);
  ctx_.set_on_change([this] { Changed(); });
  for (Service s : kAllServices) {
    ServiceState& st = service(s);
    // Window defaults of a service the settings leave untouched: the table's defaults.
    ServiceFields f = ParseServiceFields(RowOf(s).default_value);
    st.enabled = f.enabled;
    st.tcp_box = f.tcp;
    st.udp_box = f.udp;
    st.boxes_enabled = f.enabled;
    st.port_text = f.port_text;
    st.handler = MakeHandler(s, ctx_);
    st.tcp = std::make_unique<net::TcpListener>(io_, clock_, *st.handler);
    st.udp = MakePort();
    st.tcp->SetIdleTimeout(options_.tcp_idle_timeout);
    st.tcp->SetMaxConnections(options_.tcp_max_connections);
    st.tcp->SetMaxPerAddress(options_.tcp_max_per_address);
    ctx_.set_socket(s, st.udp.get());
    ctx_.set_listener(s, st.tcp.get());
    SetEnabledFlag(s, f.enabled);
  }
  SyncHooks hooks;
  hooks.synced = [this] { MarkTimeSynced(); };
  hooks.changed = [this] { Changed(); };
  hooks.restart_tick = [this] {
    if (!started_ || shut_down_) return;
    ArmTick();
  };
  sync_ = std::make_unique<UpstreamSync>(
      io_, ctx_, *service(Service::kNtp).udp, [this] { return MakePort(); }, options_.home, std::move(hooks));
  ctx_.set_tap(Service::kNtp, sync_.get());
  sync_->SetMinQueryGap(options_.min_upstream_query_gap);
  UpdateCheckOptions update_options;
  update_options.home = options_.home;
  update_options.version = options_.version;
  update_options.can_ask = !options_.service_build;
  UpdateHooks update_hooks;
  update_hooks.diagnostic = [this](const std::string& line) { Diagnostic(line); };
  update_hooks.ask = [this](const UpdateQuestion& q) {
    if (listener_) listener_->OnEvent(q);
  };
  update_hooks.notify = [this](const UpdateNotice& n) {
    if (listener_) listener_->OnEvent(n);
  };
  update_hooks.start_updater = [this](const UpdaterStart& s) {
    if (listener_) listener_->OnEvent(s);
  };
  // A new list is read at once and a synchronisation starts from it.
  update_hooks.list_installed = [this](int) {
    sync_->ReadServerList();
    sync_->AfterSettings();
    sync_->SyncTimeNow();
    Changed();
  };
  update_hooks.changed = [this] { Changed(); };
  update_ = std::make_unique<UpdateCheck>(io_, clock_, std::move(update_options), std::move(update_hooks));
  // NTP replies carry the time the port expects them to leave (on this clock).
  service(Service::kNtp).udp->SetStamper([this](std::span<uint8_t> b, UtcTime leaves) {
    if (b.size() != 48) return;
    GrabbedTime t = GrabTime(leaves);
    ctx_.ntp_reference().last_millis = static_cast<int>(t.last_millis);
    auto bytes = t.stamp.ToBytes();
    std::copy(bytes.begin(), bytes.end(), b.begin() + 40);
  });
}

ServerEngine::~ServerEngine() {
  tick_timer_->Cancel();
  snapshot_timer_->Cancel();
  update_.reset();
  ctx_.set_tap(Service::kNtp, nullptr);
  sync_.reset();
  for (auto& st : services_) {
    st.tcp.reset();
    st.udp.reset();
  }
}

std::string ServerEngine::LocalDateTimeText() const { return DefaultDateTimeText(clock_.now(), ctx_.zone()); }

void ServerEngine::Start() {
  if (started_) return;
  started_ = true;
  ctx_.set_zone(clock_.zone());
  started_text_ = LocalDateTimeText();
  server_name_ = boost::asio::ip::host_name();
  LogIdentity id{options_.home, options_.version, started_text_, server_name_, net::LocalIpv4Text()};
  log_ = std::make_unique<RequestLog>(id);
  log_->set_path_check_interval(std::chrono::seconds(1));
  log_->set_error_callback([this](LogError kind, int err, const std::filesystem::path& p) {
    Diagnostic(DescribeLogError(kind, err, p));
  });
  // Without the request log (benchmarks only) the setting stays as stored.
  if (options_.request_log) ctx_.set_log(log_.get());
  ReadBindAddress();
  // The server list first, then the settings, which open the listeners.
  sync_->ReadServerList();
  LoadSettings();
  ApplyRegistryTuning();
  update_->Configure(registry_.ReadValue(kServerKey, "UpdateHost"),
                     registry_.ReadValue(kServerKey, "AutoUpdateList"));
  sync_->AfterSettings();
  // Logging is on after every start, whatever "EnableLogging" said.
  SetLogging(true);
  MDLSelected(1);
  ArmTick();
  StatusUp();
  if (options_.sync_at_start) sync_->SyncTimeNow();
  // Without a list file the update check fetches one; it is read as soon as it is in place.
  if (update_->ListFileMissing()) update_->Start();
  Publish();
}

void ServerEngine::Shutdown() {
  if (!started_ || shut_down_) return;
  shut_down_ = true;
  tick_timer_->Cancel();
  snapshot_timer_->Cancel();
  sync_->Stop();
  update_->Stop();
  for (Service s : kTcpCloseOrder) service(s).tcp->CloseAll();
  ctx_.ReportDrops(/*final=*/true);
  for (auto it = kTcpCloseOrder.rbegin(); it != kTcpCloseOrder.rend(); ++it) service(*it).udp->Close();
  log_->Flush();
  SaveSettings();
  Publish();
}

struct ServerEngine::Commands {
  ServerEngine& e;
  void operator()(const cmd::SetEnabled& c) { e.SetEnabled(c.service, c.on); }
  void operator()(const cmd::SetTcp& c) { e.SetTcp(c.service, c.on); }
  void operator()(const cmd::SetUdp& c) { e.SetUdp(c.service, c.on); }
  void operator()(const cmd::SetPortText& c) { e.SetPortText(c.service, c.text); }
  void operator()(const cmd::PortEnter& c) { e.PortEnter(c.service); }
  void operator()(const cmd::SelectNode& c) { e.MDLSelected(c.node); }
  void operator()(const cmd::SelectServer& c) {
    if (e.sync_->SelectServer(c.position)) e.Changed();
  }
  void operator()(const cmd::SetRegion& c) {
    e.sync_->SetRegion(c.region);
    e.Changed();
  }
  void operator()(const cmd::SetRandom& c) {
    e.sync_->SetRandom(c.on);
    e.Changed();
  }
  void operator()(const cmd::SetInterval& c) {
    e.sync_->SetInterval(c.count_text, c.unit_text);
    e.Changed();
  }
  void operator()(const cmd::SetPaused& c) { e.SetPaused(c.paused); }
  void operator()(const cmd::SetLogging& c) { e.SetLogging(c.on); }
  void operator()(const cmd::SetOpenMinimized& c) {
    e.open_minimized_ = c.on;
    e.Changed();
  }
  void operator()(const cmd::SetRunAtStart& c) {
    e.run_wanted_ = c.on;
    e.Changed();
  }
  void operator()(const cmd::SyncNow&) { e.sync_->SyncTimeNow(); }
  void operator()(const cmd::ReloadServerList&) {
    e.sync_->ReadServerList();
    e.sync_->AfterSettings();
    e.Changed();
  }
  void operator()(const cmd::CheckForUpdates&) { e.update_->Start(); }
  void operator()(const cmd::AnswerUpdate& c) { e.update_->Answer(c.id, c.yes); }
  void operator()(const cmd::MarkSynchronised&) { e.MarkTimeSynced(); }
  void operator()(const cmd::Shutdown&) { e.Shutdown(); }
};

void ServerEngine::Execute(const EngineCommand& command) {
  // After the shutdown the sockets are closed and the settings saved: nothing more changes.
  if (shut_down_) return;
  std::visit(Commands{*this}, command);
}

void ServerEngine::LoadSettings() {
  StoredServerSettings stored = LoadServerSettings(registry_);
  daylight_name_ = clock_.zone().daylight_name;
  standard_name_ = clock_.zone().standard_name;
  run_found_ = run_wanted_ = stored.run_value_found;
  if (stored.first_start) {
    WriteFirstStartDefaults(registry_, server_name_);
    stored = LoadServerSettings(registry_);
  }
  if (!stored.server_name.empty()) server_name_ = stored.server_name;
  open_minimized_ = stored.open_minimized;
  ctx_.set_use_julian(stored.use_julian);
  ctx_.set_logging(stored.enable_logging);
  if (stored.sync.valid) {
    const SyncSettingsFields& f = stored.sync;
    sync_->ApplyStored(SyncStored{f.random, f.count_text, f.unit_text, f.region, f.ntp_first_byte});
  }
  for (Service s : kLoadOrder) {
    const ServiceFields& f = stored.services[Index(s)];
    ServiceState& st = service(s);
    // A disabled service stays disabled and keeps its stored boxes and port,
    // so that the next save does not switch it back on.
    SetEnabledFlag(s, f.enabled);
    st.boxes_enabled = f.enabled;
    st.port_text = f.port_text;
    st.tcp_box = f.tcp;
    st.udp_box = f.udp;
    if (!f.enabled) continue;
    if (f.tcp) LoadServers(Digit(RowOf(s).tcp_digit));
    if (f.udp) LoadServers(Digit(RowOf(s).udp_digit));
  }
}

// The registry value of our own "BindAddress": one address of this machine
// (IPv4 or IPv6) that every service listens on; "::" (the default) is every
// address of both families, "0.0.0.0" every IPv4 address.
void ServerEngine::ReadBindAddress() {
  const std::string text = registry_.ReadValue(kServerKey, "BindAddress");
  if (text.empty()) return;
  boost::system::error_code ec;
  const auto a = boost::asio::ip::make_address(text, ec);
  if (ec) {
    Diagnostic("BindAddress \"" + text + "\" is not an IPv4 or IPv6 address; listening on " +
               options_.bind_address.to_string());
    return;
  }
  options_.bind_address = a;
}

void ServerEngine::ApplyRegistryTuning() {
  // Values of our own: idle time-out (seconds), connection cap of the TCP
  // services and their cap per source address (0: none).
  if (auto v = RegistryNumber(registry_.ReadValue(kServerKey, "TcpIdleTimeout")); v && *v > 0 && *v <= 86400)
    options_.tcp_idle_timeout = std::chrono::seconds(*v);
  if (auto v = RegistryNumber(registry_.ReadValue(kServerKey, "TcpMaxConnections"));
      v && *v > 0 && *v <= 1000000)
    options_.tcp_max_connections = static_cast<size_t>(*v);
  if (std::string per = registry_.ReadValue(kServerKey, "TcpMaxPerAddress"); !per.empty()) {
    if (auto v = RegistryNumber(per); v && *v <= 1000000) {
      options_.tcp_max_per_address = static_cast<size_t>(*v);
    } else {
      Diagnostic("TcpMaxPerAddress \"" + per + "\" is not a number of connections; " +
                 std::to_string(options_.tcp_max_per_address) + " kept");
    }
  }
  for (auto& st : services_) {
    st.tcp->SetIdleTimeout(options_.tcp_idle_timeout);
    st.tcp->SetMaxConnections(options_.tcp_max_connections);
    st.tcp->SetMaxPerAddress(options_.tcp_max_per_address);
  }
  ReplyBudget defaults;
  uint32_t rate = defaults.rate(), burst = defaults.burst();
  std::string budget = registry_.ReadValue(kServerKey, "AmplificationBudget");
  if (auto colon = budget.find(':'); colon != std::string::npos) {
    auto r = RegistryNumber(budget.substr(0, colon));
    auto b = RegistryNumber(budget.substr(colon + 1));
    if (r && b && *r <= 100000000 && *b <= 100000000) {
      rate = static_cast<uint32_t>(*r);
      burst = static_cast<uint32_t>(*b);
    } else {
      Diagnostic("AmplificationBudget \"" + budget +
                 "\" is not <bytes per second>:<burst bytes>; default kept");
    }
  }
  ctx_.ConfigureBudget(registry_.ReadValue(kServerKey, "AmplificationLimit") != "NO", rate, burst);
  // The largest size of a day's request log, in bytes; "0": no limit.
  if (std::string max_log = registry_.ReadValue(kServerKey, "LogMaxBytes"); !max_log.empty()) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(max_log.c_str(), &end, 10);
    if (std::isdigit(static_cast<unsigned char>(max_log[0])) && *end == '\0' && errno == 0) {
      log_->set_max_day_bytes(v == 0 ? UINT64_MAX : static_cast<uint64_t>(v));
    } else {
      Diagnostic("LogMaxBytes \"" + max_log + "\" is not a number of bytes; 1073741824 kept");
    }
  }
  // Frequency correction between synchronisations: "NO" leaves the rate alone.
  if (std::string d = registry_.ReadValue(kServerKey, "Discipline"); !d.empty()) {
    if (d == "YES" || d == "NO") {
      sync_->SetDiscipline(d == "YES");
    } else {
      Diagnostic("Discipline \"" + d + "\" is not YES or NO; YES kept");
    }
  }
  // The bound of the frequency correction either way, then the correction
  // confirmed before the last stop, which must lie within it.
  if (std::string max = registry_.ReadValue(kServerKey, "MaxFrequencyPpm"); !max.empty()) {
    if (auto v = ParsePpm(max); v && *v > 0 && *v <= FrequencyDiscipline::kKernelMaxPpm) {
      sync_->SetMaxFrequency(*v);
    } else {
      Diagnostic("MaxFrequencyPpm \"" + max + "\" is not a number of ppm above 0 and up to " +
                 FormatPpm(FrequencyDiscipline::kKernelMaxPpm) + "; " +
                 FormatPpm(FrequencyDiscipline::kDefaultMaxPpm) + " kept");
    }
  }
  std::optional<double> stored_ppm;
  if (std::string f = registry_.ReadValue(kServerKey, "FrequencyPpm"); !f.empty()) {
    if (auto v = ParsePpm(f); v && std::fabs(*v) <= sync_->max_frequency_ppm()) {
      stored_ppm = v;
    } else {
      Diagnostic("FrequencyPpm \"" + f + "\" is not a number of ppm within MaxFrequencyPpm (" +
                 FormatPpm(sync_->max_frequency_ppm()) + "); ignored");
    }
  }
  sync_->StartDiscipline(stored_ppm);
  // Exchanges per synchronisation, the least path delay taken.
  if (std::string n = registry_.ReadValue(kServerKey, "SyncSamples"); !n.empty()) {
    if (auto v = RegistryNumber(n); v && *v >= 1 && *v <= 8) {
      sync_->SetSamples(static_cast<int>(*v));
    } else {
      Diagnostic("SyncSamples \"" + n + "\" is not a number from 1 to 8; 1 kept");
    }
  }
  // How long after the last good synchronisation NTP replies say
  // unsynchronised, in seconds; "0": never.
  if (std::string max_unsynced = registry_.ReadValue(kServerKey, "MaxUnsyncedSeconds");
      !max_unsynced.empty()) {
    if (auto v = RegistryNumber(max_unsynced); v && *v <= 2000000000) {
      sync_->SetMaxUnsynced(std::chrono::seconds(*v));
    } else {
      Diagnostic("MaxUnsyncedSeconds \"" + max_unsynced + "\" is not a number of seconds; 86400 s kept");
    }
  }
  // The largest clock step after the first synchronisation, in seconds; "0": no bound.
  if (std::string max_step = registry_.ReadValue(kServerKey, "MaxStepSeconds"); !max_step.empty()) {
    if (auto v = RegistryNumber(max_step); v && *v >= 0 && *v <= 2000000000) {
      sync_->SetMaxStep(*v == 0 ? std::nullopt : std::optional(std::chrono::seconds(*v)));
    } else {
      Diagnostic("MaxStepSeconds \"" + max_step + "\" is not a number of seconds; 1000 s kept");
    }
  }
}

void ServerEngine::SaveSettings() {
  SaveInput in;
  SyncStored sync = sync_->Stored();
  in.random = sync.random;
  in.count_text = sync.count_text.value_or("");
  in.unit_text = sync.unit_text;
  in.region = sync.region;
  in.ntp_first_byte = sync.ntp_first_byte;
  in.open_minimized = open_minimized_;
  in.enable_logging = ctx_.logging();
  in.run_wanted = run_wanted_;
  in.run_found_at_start = run_found_;
  in.run_value_data = RunValueData(options_.home.string());
  for (Service s : kAllServices) {
    const ServiceState& st = services_[Index(s)];
    in.services[Index(s)] = ServiceFields{st.enabled, st.tcp_box, st.udp_box, st.port_text};
  }
  in.frequency_ppm = sync_->StoredFrequency();
  SaveServerSettings(registry_, in);
}

void ServerEngine::LoadServers(std::string_view mode) {
  auto target = ParseModeDigit(mode);
  if (!target) return;
  ServiceState& st = service(target->service);
  const ServiceRow& row = RowOf(target->service);
  auto port = ParsePortField(st.port_text);
  if (target->transport == Transport::kUdp) {
    st.udp->Close();
  } else {
    st.tcp->Close();
  }
  Changed();
  if (!port) {
    status_text_ = std::string(row.tree_caption) + ": \"" + st.port_text +
                   "\" is not a port number from 1 to 65535; the " +
                   (target->transport == Transport::kUdp ? "UDP" : "TCP") + " socket stays closed.";
    Diagnostic(status_text_);
    return;
  }
  auto open = [&](const boost::asio::ip::address& at) {
    return target->transport == Transport::kUdp ? st.udp->Bind(at, *port) : st.tcp->Listen(at, *port);
  };
  std::error_code ec = open(options_.bind_address);
  if (IsNoIpv6(ec) && options_.bind_address == boost::asio::ip::address_v6::any()) {
    // A machine without IPv6: every service on IPv4 alone, said once.
    Diagnostic("IPv6 is not available (" + ec.message() + "); the services listen on IPv4 only");
    options_.bind_address = boost::asio::ip::address_v4::any();
    ec = open(options_.bind_address);
  }
  if (!ec) {
    if (target->transport == Transport::kUdp) {
      st.udp->Start(st.handler.get());
      st.udp->SetPaused(paused_);
    } else {
      st.tcp->SetPaused(paused_);
    }
    return;
  }
  ReportBindError(target->service, ec, *port);
  // One line per failure, naming service, transport and port; the headless
  // program shows no status texts, so the line carries them.
  std::string what = ec == std::errc::address_in_use ? status_text_ : "cannot open: " + ec.message() + ".";
  if (ec == std::errc::address_in_use && target->service == Service::kDaytime) {
    what = status_line_;
    for (size_t at = what.find('\r'); at != std::string::npos; at = what.find('\r', at + 3))
      what.replace(at, 1, " / ");
  }
  Diagnostic(std::string(row.tree_caption) + ": " + (target->transport == Transport::kTcp ? "TCP" : "UDP") +
             " port " + std::to_string(*port) + ": " + what);
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
  Changed();
}

void ServerEngine::SetEnabledFlag(Service s, bool on) {
  service(s).enabled = on;
  ctx_.set_enabled(s, on);
}

void ServerEngine::SetEnabled(Service s, bool checked) {
  ServiceState& st = service(s);
  const ServiceRow& row = RowOf(s);
  SetEnabledFlag(s, checked);
  if (checked) {
    st.boxes_enabled = true;
    if (!st.tcp->IsListening()) {
      if (st.udp_box) LoadServers(Digit(row.udp_digit));
      if (st.tcp_box) LoadServers(Digit(row.tcp_digit));
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
    LoadServers(Digit(RowOf(s).tcp_digit));
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
    LoadServers(Digit(RowOf(s).udp_digit));
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
  Changed();
}

void ServerEngine::PortEnter(Service s) {
  // The private protocol's port takes effect only when its socket is next opened.
  if (s == Service::kPrivate) return;
  ServiceState& st = service(s);
  if (st.enabled) LoadServers(Digit(RowOf(s).udp_digit));
  if (st.enabled) LoadServers(Digit(RowOf(s).tcp_digit));
  st.port_tooltip = " Change Registered Successfully ";
  Changed();
}

void ServerEngine::MDLSelected(int isel) {
  if (isel < 1 || isel > 8) return;
  if (isel >= 7) return;  // About and advanced configuration: no panel change
  static constexpr Service kPanel[] = {Service::kTime, Service::kTime,     Service::kDaytime,
                                       Service::kNtp,  Service::kUnixTime, Service::kPrivate};
  Service s = kPanel[isel - 1];
  selected_slot_ = static_cast<int>(s);
  const ServiceState& st = service(s);
  const RequestCounters& counters = ctx_.counters();
  status_text_ = SelectedStatusText(st.enabled, st.tcp_box, st.udp_box, counters.Get(s, Transport::kTcp),
                                    counters.Get(s, Transport::kUdp));
  Changed();
}

void ServerEngine::SetPaused(bool paused) {
  paused_ = paused;
  // The ticks that keep the reference fields current stopped while paused.
  if (!paused) sync_->RefreshReference();
  for (auto& st : services_) {
    st.tcp->SetPaused(paused);
    st.udp->SetPaused(paused);
  }
  Changed();
}

void ServerEngine::SetLogging(bool on) {
  ctx_.set_logging(on);
  Changed();
}

void ServerEngine::MarkTimeSynced() {
  ctx_.set_synced(true);
  StatusUp();
  Changed();
}

void ServerEngine::StatusUp() {
  const RequestCounters& counters = ctx_.counters();
  server_status_text_ = ServerStatusText(counters, LocalDateTimeText(), sync_->last_update_text());
  Service s = static_cast<Service>(selected_slot_);
  const ServiceState& st = service(s);
  selected_summary_text_ = SelectedSummaryText(
      st.enabled, st.tcp_box, st.udp_box, counters.Get(s, Transport::kTcp), counters.Get(s, Transport::kUdp));
}

void ServerEngine::Diagnostic(const std::string& line) {
  if (listener_) listener_->OnEvent(DiagnosticEvent{line});
}

std::unique_ptr<net::DatagramPort> ServerEngine::MakePort() {
  if (options_.make_port) return options_.make_port();
  return std::make_unique<net::UdpSocket>(io_, clock_);
}

void ServerEngine::Changed() {
  if (snapshot_timer_->pending() || !started_ || shut_down_) return;
  Nanoseconds since = clock_.monotonic() - last_publish_;
  Nanoseconds wait = std::max(Nanoseconds::zero(), Nanoseconds(options_.snapshot_period) - since);
  snapshot_timer_->Start(wait, [this] { Publish(); });
}

void ServerEngine::Publish() {
  snapshot_timer_->Cancel();
  last_publish_ = clock_.monotonic();
  auto snap = std::make_shared<EngineSnapshot>();
  snap->sequence = ++sequence_;
  snap->taken_at = clock_.now();
  snap->zone = ctx_.zone();
  snap->status_line = status_line_;
  snap->status_text = status_text_;
  snap->server_status_text = server_status_text_;
  snap->sync_message = sync_->sync_message();
  snap->tray_tip = sync_->tray_tip();
  snap->servers_tooltip = sync_->servers_tooltip();
  snap->last_update_text = sync_->last_update_text();
  if (auto e = sync_->served_error()) snap->served_error_ns = e->count();
  snap->frequency_ppm = sync_->frequency_ppm();
  for (Service s : kAllServices) {
    const ServiceState& st = service(s);
    ServiceView& v = snap->services[Index(s)];
    v.enabled = st.enabled;
    v.tcp_box = st.tcp_box;
    v.udp_box = st.udp_box;
    v.boxes_enabled = st.boxes_enabled;
    v.tcp_open = st.tcp->IsListening();
    v.udp_open = st.udp->IsOpen();
    v.tcp_port = v.tcp_open ? st.tcp->local_port() : 0;
    v.udp_port = v.udp_open ? st.udp->local_port() : 0;
    v.tcp_connections = st.tcp->open_count();
    v.port_text = st.port_text;
    v.port_tooltip = st.port_tooltip;
    if (ctx_.has_requester(s)) {
      v.last_requester = AddressText(ctx_.requester(s));
      // The requester's time is that of the first snapshot to see it (at
      // most a snapshot period late), so that no request reads the clock for it.
      RequesterSeen& seen = requester_seen_[Index(s)];
      const uint64_t count = ctx_.counters().ServiceTotal(s);
      if (seen.tooltip.empty() || seen.address != ctx_.requester(s) || seen.count != count) {
        seen.address = ctx_.requester(s);
        seen.count = count;
        seen.tooltip = " " + LocalDateTimeText() + " ";
      }
      v.last_requester_tooltip = seen.tooltip;
    }
  }
  snap->selected_slot = selected_slot_;
  snap->counters = ctx_.counters();
  snap->indicators = ctx_.TakeChanges();
  snap->last_ntp_millis = ctx_.ntp_reference().last_millis;
  snap->replies_refused = ctx_.budget_refused();
  for (size_t i = 0; i < kUdpDropCount; ++i) snap->udp_dropped[i] = ctx_.dropped(static_cast<UdpDrop>(i));
  for (const ServerEntry& e : sync_->list().entries()) snap->servers.push_back({e.display_text, e.image});
  snap->selected_server = sync_->list().SelectedServer();
  snap->region = sync_->region();
  snap->random = sync_->random();
  snap->interval_count = sync_->count_text();
  snap->interval_unit = sync_->unit_text();
  snap->sync_interval_seconds = sync_->schedule().SyncInterval();
  snap->query_pending = sync_->query_pending();
  snap->time_synced = ctx_.synced();
  snap->paused = paused_;
  snap->logging = ctx_.logging();
  snap->use_julian = ctx_.use_julian();
  snap->open_minimized = open_minimized_;
  snap->run_at_start = run_wanted_;
  snap->server_name = server_name_;
  snap->update_button_enabled = update_->button_enabled();
  snap->update_running = update_->running();
  snap->update_status = update_->status();
  snap->standard_name = standard_name_;
  snap->daylight_name = daylight_name_;
  snap->shut_down = shut_down_;
  if (listener_) listener_->OnSnapshot(snap);
}

void ServerEngine::ArmTick() {
  tick_timer_->Start(options_.tick, [this] {
    if (shut_down_) return;
    OnTick();
    ArmTick();
  });
}

void ServerEngine::OnTick() {
  ctx_.ReportDrops();
  if (paused_) return;
  ctx_.set_zone(clock_.zone());
  sync_->Tick();
  // Status texts are recomposed once a second rather than after every request.
  StatusUp();
  if (!server_status_text_.empty() && status_line_ != server_status_text_) status_line_ = server_status_text_;
  if (status_text_ != selected_summary_text_) status_text_ = selected_summary_text_;
  // The status's clock line moves each second: a snapshot follows every tick.
  Changed();
}

}  // namespace mdl
