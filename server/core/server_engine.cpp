// Server engine: the services and their parts, start-up and shutdown, status
// texts, snapshots and the tick. The serving configuration and the operator's
// actions are in engine_serving.cpp and engine_actions.cpp.
#include "server/core/server_engine.h"

#include <boost/asio/ip/host_name.hpp>
#include <cstdint>

#include "common/net/local_address.h"
#include "common/time/calendar.h"
#include "common/time/ntp_timestamp.h"
#include "server/core/nts_keys.h"
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
  hooks.warning = [this](const std::string& line) {
    if (listener_) listener_->OnEvent(DiagnosticEvent{line, true});
  };
  hooks.restart_tick = [this] {
    if (!started_ || shut_down_) return;
    ArmTick();
  };
  sync_ = std::make_unique<UpstreamSync>(
      io_, ctx_, *service(Service::kNtp).udp, [this] { return MakePort(); }, options_.home, std::move(hooks));
  ctx_.set_tap(Service::kNtp, sync_.get());
  sync_->SetMinQueryGap(options_.min_upstream_query_gap);
  sync_->SetNtsKeRunner(options_.nts_key_exchange);
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
  nts_keys_ = std::make_unique<NtsKeyKeeper>(
      options_.home, [this](const std::string& line) { Diagnostic(line); },
      [this](const NtsKeyKeeper::KeysPtr& keys) {
        ctx_.set_nts_keys(keys);
        if (nts_sink_) nts_sink_(keys);
      });
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
  started_at_ = clock_.now();
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
  ApplyNts();
  sync_->AfterSettings();
  // Logging is on after every start, whatever "EnableLogging" said.
  SetLogging(true);
  ShowService(Service::kTime);
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
void ServerEngine::StatusUp() {
  const RequestCounters& counters = ctx_.counters();
  server_status_text_ = ServerStatusText(counters, LocalDateTimeText(), sync_->last_update_text());
  selected_summary_text_ = ServiceStatus(selected_, /*panel=*/false);
  const ServerList& list = sync_->list();
  region_note_ = list.ServerCount() > 0 && list.RegionIndex().empty()
                     ? "No server of region " + sync_->region() + " in the list."
                     : std::string();
}

std::string ServerEngine::StatusLine() const {
  if (region_note_.empty()) return server_status_text_;
  const size_t second_line = server_status_text_.find('\r');
  return second_line == std::string::npos ? region_note_
                                          : region_note_ + server_status_text_.substr(second_line);
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

namespace {

// An NTP short format (16.16 seconds, network order) as seconds.
double ShortFormatSeconds(const std::array<uint8_t, 4>& b) {
  const uint32_t v = uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3];
  return v / 65536.0;
}

}  // namespace

void ServerEngine::Publish() {
  snapshot_timer_->Cancel();
  last_publish_ = clock_.monotonic();
  auto snap = std::make_shared<EngineSnapshot>();
  snap->sequence = ++sequence_;
  snap->taken_at = clock_.now();
  snap->zone = ctx_.zone();
  snap->status_line = status_line_;
  snap->status_text = status_text_;
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
    v.port_text = st.port_text;
    v.port_tooltip = st.port_tooltip;
    v.tcp_port = v.tcp_open ? st.tcp->local_port() : 0;
    v.udp_port = v.udp_open ? st.udp->local_port() : 0;
    v.tcp_connections = st.tcp->open_count();
    v.open_error = st.open_error;
    if (ctx_.has_requester(s)) {
      v.last_requester = AddressText(ctx_.requester(s));
      // The requester's time is that of the first snapshot to see it (at
      // most a snapshot period late), so that no request reads the clock for it.
      RequesterSeen& seen = requester_seen_[Index(s)];
      const uint64_t count = ctx_.counters().ServiceTotal(s);
      if (seen.tooltip.empty() || seen.address != ctx_.requester(s) || seen.count != count) {
        seen.address = ctx_.requester(s);
        seen.count = count;
        // Appended in steps: GCC 12 warns (-Wrestrict, falsely) on " " + a temporary here.
        seen.tooltip.assign(1, ' ').append(LocalDateTimeText()).push_back(' ');
      }
      v.last_requester_tooltip = seen.tooltip;
    }
  }
  snap->selected_service = selected_;
  snap->counters = ctx_.counters();
  snap->indicators = ctx_.TakeChanges();
  snap->last_ntp_millis = ctx_.ntp_reference().last_millis;
  for (const ServerEntry& e : sync_->list().entries()) snap->servers.push_back({e.display_text, e.image});
  snap->selected_server = sync_->list().SelectedServer();
  snap->region = sync_->region();
  snap->region_without_server = !region_note_.empty();
  snap->random = sync_->random();
  snap->interval_count = sync_->count_text();
  snap->interval_unit = sync_->unit_text();
  snap->sync_interval_seconds = sync_->schedule().SyncInterval();
  snap->query_pending = sync_->query_pending();
  snap->time_synced = ctx_.synced();
  snap->paused = paused_;
  snap->logging = ctx_.logging();
  snap->open_minimized = open_minimized_;
  snap->run_at_start = run_wanted_;
  snap->update_button_enabled = update_->button_enabled();
  snap->standard_name = standard_name_;
  snap->daylight_name = daylight_name_;
  snap->shut_down = shut_down_;
  snap->started_at = started_at_;
  snap->stats = ctx_.stats();
  snap->access = shared_access_;
  snap->sync = sync_->status();
  const NtpReferenceState& ref = ctx_.ntp_reference();
  snap->served.stratum = ref.unsynchronised ? 16 : ref.stratum;
  snap->served.ref_id = ref.ref_id;
  snap->served.root_delay_s = ShortFormatSeconds(ref.root_delay);
  snap->served.root_dispersion_s = ShortFormatSeconds(ref.root_dispersion);
  snap->served.unsynchronised = ref.unsynchronised;
  if (!paused_ && !sync_->query_pending() && region_note_.empty()) {
    const int32_t left =
        std::max<int32_t>(0, sync_->schedule().SyncInterval() - sync_->schedule().SyncCounter());
    snap->next_sync = snap->taken_at + std::chrono::seconds(left);
  }
  if (listener_) listener_->OnSnapshot(snap);
  if (snap->sync_message != reported_sync_message_) {
    reported_sync_message_ = snap->sync_message;
    if (listener_ && !reported_sync_message_.empty())
      listener_->OnEvent(SyncReport{reported_sync_message_, sync_->sync_warning()});
  }
}

EngineFigures ServerEngine::Figures() const {
  EngineFigures f;
  for (Service s : kAllServices) {
    const ServiceState& st = services_[Index(s)];
    EngineFigures::Sockets& out = f.sockets[Index(s)];
    out.tcp_port = st.tcp->IsListening() ? st.tcp->local_port() : 0;
    out.udp_port = st.udp->IsOpen() ? st.udp->local_port() : 0;
    out.tcp_connections = st.tcp->open_count();
  }
  f.server_status_text = server_status_text_;
  f.replies_refused = ctx_.budget_refused();
  for (size_t i = 0; i < kUdpDropCount; ++i) f.udp_dropped[i] = ctx_.dropped(static_cast<UdpDrop>(i));
  f.update_running = update_->running();
  f.update_status = update_->status();
  return f;
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
  nts_keys_->Tick(FloorUnixSeconds(clock_.now()));
  if (paused_) return;
  ctx_.set_zone(clock_.zone());
  sync_->Tick();
  // Status texts are recomposed once a second rather than after every request.
  StatusUp();
  if (!server_status_text_.empty()) status_line_ = StatusLine();
  if (status_text_ != selected_summary_text_) status_text_ = selected_summary_text_;
  // The status's clock line moves each second: a snapshot follows every tick.
  Changed();
}

}  // namespace mdl
