// Upstream synchronisation: query, reply recognition, clock setting, schedule.
#include "server/upstream/sync_handler.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>

#include "common/clock/secure_random.h"
#include "common/net/address.h"
#include "common/net/udp_socket.h"
#include "common/nts/ntp_auth.h"
#include "common/time/calendar.h"
#include "common/time/ntp_timestamp.h"
#include "server/upstream/select.h"
#include "server/upstream/sync_texts.h"

namespace mdl {
namespace {

// A list file larger than this is not a server list.
constexpr std::uintmax_t kMaxListFileBytes = 4 * 1024 * 1024;

std::string DurationMs(std::chrono::nanoseconds d) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.3f", static_cast<double>(d.count()) / 1e6);
  return buf;
}

std::string Ppm(double ppm) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%+.3f ppm", ppm);
  return buf;
}

std::string Seconds(std::chrono::nanoseconds d) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%+.3f", static_cast<double>(d.count()) / 1e9);
  return buf;
}

boost::asio::ip::udp::endpoint PreferredEndpoint(
    const boost::asio::ip::udp::resolver::results_type& results) {
  for (const auto& r : results)
    if (r.endpoint().address().is_v4()) return r.endpoint();
  return results.begin()->endpoint();
}

std::string EndpointText(const boost::asio::ip::udp::endpoint& e) {
  const std::string host = e.address().to_string();
  return (e.address().is_v6() ? "[" + host + "]" : host) + ":" + std::to_string(e.port());
}

// The filter's history of one upstream address: authenticated exchanges
// apart from plain ones with the same address.
std::string FilterKey(const boost::asio::ip::udp::endpoint& e, bool nts) {
  return EndpointText(e) + (nts ? " NTS" : "");
}

std::string OffsetMs(std::chrono::nanoseconds d) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%+.1f ms", static_cast<double>(d.count()) / 1e6);
  return buf;
}

Nanoseconds FromSeconds(double s) {
  return Nanoseconds(static_cast<int64_t>(std::llround(std::clamp(s, 0.0, 1e6) * 1e9)));
}

// The host a list field names, lower case: two fields naming it are one server.
std::string HostKey(const std::string& host_field) {
  auto address = ParseUpstreamAddress(host_field);
  std::string key = address ? address->host : host_field;
  std::transform(key.begin(), key.end(), key.begin(),
                 [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
  return key;
}

}  // namespace

UpstreamSync::UpstreamSync(boost::asio::io_context& io, ServingContext& context,
                           net::DatagramPort& ntp_socket, net::PortMaker make_port,
                           std::filesystem::path home, SyncHooks hooks)
    : io_(io),
      ctx_(context),
      clock_(context.clock()),
      ntp_socket_(ntp_socket),
      make_port_(std::move(make_port)),
      home_(std::move(home)),
      hooks_(std::move(hooks)),
      resolver_(io),
      reply_timer_(context.clock().MakeTimer(io)),
      burst_timer_(context.clock().MakeTimer(io)),
      hold_timer_(context.clock().MakeTimer(io)),
      slew_timer_(context.clock().MakeTimer(io)),
      random_engine_(std::random_device{}()) {}

UpstreamSync::~UpstreamSync() { *alive_ = false; }

void UpstreamSync::ReadServerList() {
  const std::filesystem::path path = home_ / std::string(kServerListFileName);
  ServerListFile file = LoadServerListFile(path, kMaxListFileBytes);
  if (!file.loaded) {
    ctx_.Diagnostic(file.problem);
    return;
  }
  list_ = std::move(file.list);
  list_loaded_ = true;
  for (const std::string& w : list_.warnings()) ctx_.Diagnostic("server list: " + w);
}

void UpstreamSync::ApplyStored(const SyncSettings& f) {
  random_ = f.random;
  if (f.count_text) count_text_ = *f.count_text;
  unit_text_ = f.unit_text;
  region_ = f.region.empty() ? "NA" : f.region;
  first_byte_text_ = f.ntp_first_byte_text;
  // Only a byte can go into the reply; anything else falls back to the default.
  ctx_.ntp_reference().first_byte = f.ntp_first_byte >= 0 && f.ntp_first_byte <= 255
                                        ? static_cast<uint8_t>(f.ntp_first_byte)
                                        : kDefaultNtpFirstByte;
}

void UpstreamSync::AfterSettings() {
  CalcIntC();
  list_.CalcRandR(region_);
  list_.Select(1);
}

SyncSettings UpstreamSync::Stored() const {
  return SyncSettings{random_,         count_text_, unit_text_, region_, ctx_.ntp_reference().first_byte,
                      first_byte_text_};
}

void UpstreamSync::CalcIntC() {
  IntervalResult r = ::mdl::CalcIntC(count_text_, unit_text_, schedule_.SyncInterval());
  if (!r.ok) {
    ctx_.Diagnostic(r.error);
    return;
  }
  schedule_.SetInterval(r.seconds);
  if (r.unit_is_seconds && hooks_.restart_tick) hooks_.restart_tick();
}

void UpstreamSync::SetInterval(std::string count_text, std::string unit_text) {
  count_text_ = GuardSyncN(std::move(count_text));
  unit_text_ = std::move(unit_text);
  CalcIntC();
}

void UpstreamSync::SetRegion(std::string region) {
  discipline_.Forget();
  region_ = region.empty() ? "NA" : std::move(region);
  list_.CalcRandR(region_);
  GrabRandom();
}

bool UpstreamSync::SelectServer(int position) {
  if (!list_.Select(position)) return false;
  discipline_.Forget();
  return true;
}

void UpstreamSync::SetDiscipline(bool on) {
  if (discipline_on_ == on) return;
  EndSlew();
  discipline_on_ = on;
  const double max_ppm = discipline_.max_ppm();
  discipline_ = FrequencyDiscipline{};
  discipline_.SetMaxPpm(max_ppm);
  // Only a rate of ours is taken back.
  if (!on && rate_applied_ && !clock_.set_frequency(0)) BaseRate(0);
  rate_applied_ = false;
}

void UpstreamSync::StartDiscipline(std::optional<double> stored) {
  if (!discipline_on_) return;
  const std::optional<double> read = clock_.current_frequency();
  const double in_force = read.value_or(0);
  const double max_ppm = discipline_.max_ppm();
  double start = stored.value_or(in_force);
  if (!stored && std::fabs(in_force) > max_ppm) {
    start = std::clamp(in_force, -max_ppm, max_ppm);
    ctx_.Diagnostic("the clock runs at " + Ppm(in_force) + ", beyond MaxFrequencyPpm (" +
                    Ppm(max_ppm).substr(1) + "); the frequency correction starts from " + Ppm(start));
  }
  BaseRate(in_force);
  discipline_.Start(start);
  if (start != in_force || (stored && !read)) {
    if (!ApplyFrequency(start)) discipline_.Unapplied(in_force);
  }
  const bool took_stored = stored && discipline_.correction_ppm() == start;
  ctx_.Diagnostic("frequency correction starts at " + Ppm(discipline_.correction_ppm()) +
                  (took_stored ? " (stored at the last stop)" : " (the clock's own)"));
}

std::optional<double> UpstreamSync::StoredFrequency() const {
  if (!discipline_on_) return std::nullopt;
  return discipline_.confirmed_ppm();
}

bool UpstreamSync::ApplyFrequency(double ppm) {
  // A slew under way goes on from what it has left, on the new base.
  std::optional<Slew> replanned;
  if (slew_) {
    const Nanoseconds now = clock_.monotonic();
    replanned = StartSlew(slew_->Remaining(now), ppm, now);
  }
  const std::error_code ec = clock_.set_frequency(ppm + (replanned ? replanned->plan.ppm : 0));
  rate_applied_ |= !ec;
  if (!ec) BaseRate(ppm);
  if (ec && !rate_error_reported_) {
    rate_error_reported_ = true;
    ctx_.Diagnostic("the clock's rate cannot be corrected (" + ec.message() +
                    "); it is only set at each synchronisation");
  }
  if (!ec && replanned) RunSlew(*replanned);
  return !ec;
}

bool UpstreamSync::SlewWanted(Nanoseconds offset) {
  if (slew_threshold_ <= Nanoseconds::zero() || !status_.first_sync ||
      std::chrono::abs(offset) >= slew_threshold_)
    return false;
  if (clock_.held()) {
    if (!held_slew_said_) {
      held_slew_said_ = true;
      ctx_.Diagnostic(
          "the time held in the process has no rate of its own: corrections below SlewThresholdMs step it");
    }
    return false;
  }
  return true;
}

Nanoseconds UpstreamSync::CorrectionsAt(Nanoseconds t) const {
  return filter_.corrections() - (slew_ ? slew_->Remaining(t) : Nanoseconds(0));
}

Nanoseconds UpstreamSync::AppliedAt(Nanoseconds t) const {
  const double added = rate_.added_ns + rate_.ppm * 1e-6 * static_cast<double>((t - rate_.since).count());
  return CorrectionsAt(t) + Nanoseconds(static_cast<int64_t>(std::llround(added)));
}

void UpstreamSync::BaseRate(double ppm) {
  const Nanoseconds now = clock_.monotonic();
  rate_.added_ns += rate_.ppm * 1e-6 * static_cast<double>((now - rate_.since).count());
  rate_.since = now;
  rate_.ppm = ppm;
}

bool UpstreamSync::BeginSlew(Nanoseconds offset) {
  const double base = discipline_on_ ? discipline_.correction_ppm() : clock_.current_frequency().value_or(0);
  const Slew slew = StartSlew(offset, base, clock_.monotonic());
  // Nothing to make up: nothing to change.
  if (offset == Nanoseconds::zero()) return true;
  // The base rate already at the bound in that direction: no room to slew.
  if (slew.plan.duration <= Nanoseconds::zero()) return false;
  if (const std::error_code ec = clock_.set_frequency(base + slew.plan.ppm)) {
    if (!slew_refused_said_) {
      slew_refused_said_ = true;
      ctx_.Diagnostic("the clock's rate cannot be changed (" + ec.message() +
                      "): corrections below SlewThresholdMs are stepped");
    }
    return false;
  }
  RunSlew(slew);
  return true;
}

void UpstreamSync::RunSlew(const Slew& slew) {
  slew_timer_->Cancel();
  if (slew.plan.duration <= Nanoseconds::zero()) {
    slew_.reset();
    status_.slew_from.reset();
    status_.slew_end.reset();
    status_.slew_left_ns = 0;
    return;
  }
  slew_ = slew;
  const UtcTime now = clock_.now();
  status_.slew_from = now;
  status_.slew_end = now + slew.plan.duration + slew.offset;
  status_.slew_left_ns = slew.offset.count();
  slew_timer_->Start(slew.plan.duration, [this, alive = std::weak_ptr<bool>(alive_)] {
    auto a = alive.lock();
    if (!a || !*a) return;
    EndSlew();
    Changed();
  });
}

void UpstreamSync::EndSlew() {
  if (!slew_) return;
  // What it will not make up was never applied.
  filter_.OnCorrectionApplied(-slew_->Remaining(clock_.monotonic()));
  const double base = slew_->base_ppm;
  RunSlew(Slew{});
  clock_.set_frequency(base);
}

std::string UpstreamSync::FrequencyText() const {
  std::string text = ", frequency correction " + Ppm(discipline_.correction_ppm());
  if (!discipline_.confirmed())
    text += " (not confirmed yet; " + Ppm(discipline_.confirmed_ppm()) + " confirmed)";
  return text;
}

// After a synchronisation that measured the offset `step`, the reply of
// `sample` having arrived while a slew still had `unslewed` to make up: the
// rate correction until the next one.
void UpstreamSync::Discipline(const Sample& sample, Nanoseconds step, Nanoseconds unslewed) {
  served_error_ = step;
  // Our own setting is no outside step.
  watch_ = ClockWatch{clock_.monotonic(), clock_.now().time_since_epoch() - clock_.monotonic()};
  if (!discipline_on_) return;
  const double before = discipline_.correction_ppm();
  // What a slew had not made up at the measurement is no drift: the interval
  // is judged as if the last correction had been a step.
  // Through a line, its slope is the figure (none while too uncertain);
  // otherwise the interval's own.
  const double ppm = sample.fitted ? discipline_.OnFigure(sample.arrived, sample.rate_figure)
                                   : discipline_.OnSync(sample.arrived, step - unslewed);
  if (discipline_.last_figure_refused()) {
    ctx_.Diagnostic("the interval's rate figure " + Ppm(*discipline_.last_figure()) +
                    " is beyond MaxFrequencyPpm (" + Ppm(discipline_.max_ppm()).substr(1) +
                    "): no oscillator is that far off, so the upstream or its path is; not used");
  }
  if (ppm != before && !ApplyFrequency(ppm)) discipline_.Unapplied(before);
}

// Between synchronisations: a jump of the clock against the monotonic scale
// (more than the largest rate could make) was a setting from outside.
void UpstreamSync::WatchClock() {
  const Nanoseconds gap = clock_.now().time_since_epoch() - clock_.monotonic();
  if (watch_) {
    const Nanoseconds elapsed = clock_.monotonic() - watch_->at;
    const auto allowed = std::chrono::milliseconds(5) + elapsed / 1000;  // 1000 ppm
    if (std::chrono::abs(gap - watch_->gap) > allowed) {
      discipline_.SkipInterval();
      // No kept offset can be brought past a setting of unknown size.
      filter_.Forget();
      fit_.Forget();
    }
  }
  watch_ = ClockWatch{clock_.monotonic(), gap};
}

// Without synchronisations the figures cannot check the correction in force:
// after a few intervals only a confirmed one is kept.
void UpstreamSync::HoldIfLost() {
  const double before = discipline_.correction_ppm();
  const std::optional<double> held =
      discipline_.OnSilence(clock_.monotonic(), std::chrono::seconds(schedule_.SyncInterval()));
  if (!held) return;
  if (!ApplyFrequency(*held)) {
    discipline_.Unapplied(before);
    return;
  }
  ctx_.Diagnostic("no synchronisation for " + std::to_string(FrequencyDiscipline::kHoldIntervals) +
                  " intervals: frequency correction back from " + Ppm(before) + " to the confirmed " +
                  Ppm(*held));
}

void UpstreamSync::GrabRandom() {
  std::uniform_real_distribution<double> u(0.0, 1.0);
  list_.GrabRandom(u(random_engine_));
}

void UpstreamSync::RefreshReference() {
  if (!quality_) return;
  const ReferenceFields f = ReferenceAt(*quality_, clock_.monotonic(), max_unsynced_);
  NtpReferenceState& r = ctx_.ntp_reference();
  r.stratum = f.stratum;
  r.root_delay = f.root_delay;
  r.root_dispersion = f.root_dispersion;
  r.unsynchronised = f.unsynchronised;
  if (f.unsynchronised && !unsynced_told_) {
    unsynced_told_ = true;
    sync_warning_ = true;
    sync_message_ = UnsyncedMessage(max_unsynced_.count());
    tray_tip_ = SyncedTooltip(sync_message_);
    ctx_.Diagnostic("no synchronisation for more than " + std::to_string(max_unsynced_.count()) +
                    " s (MaxUnsyncedSeconds): NTP replies now say unsynchronised (leap 3, stratum 16)");
    Changed();
  }
  if (!f.unsynchronised) unsynced_told_ = false;
}

void UpstreamSync::Tick() {
  RefreshReference();
  // Both the discipline and the filter's history must know of outside settings.
  if (discipline_on_ || filter_on_) WatchClock();
  if (discipline_on_) HoldIfLost();
  // A query still in flight is left to its reply or its time-out.
  const bool due = schedule_.Tick();
  if ((due || deferred_) && !busy_) StartQuery(false);
}

void UpstreamSync::Stop() {
  *alive_ = false;
  alive_ = std::make_shared<bool>(true);
  reply_timer_->Cancel();
  burst_timer_->Cancel();
  hold_timer_->Cancel();
  EndSlew();
  burst_.reset();
  round_.reset();
  resolver_.cancel();
  query_pending_ = false;
  busy_ = false;
  if (own_socket_) own_socket_->Close();
  // The clock keeps this rate after we end, with nothing left to check it:
  // the confirmed correction (the one stored for the next start), not one
  // half way to a value that a lying upstream may have asked for.
  if (discipline_on_ && !discipline_.confirmed() && ApplyFrequency(discipline_.confirmed_ppm()))
    discipline_.Start(discipline_.confirmed_ppm());
}

void UpstreamSync::OnNtpSocketClosed() {
  // A pending query's reply would come back to the closed socket.
  if (query_pending_ && !own_socket_) query_pending_ = false;
}

net::DatagramPort* UpstreamSync::QuerySocket(const boost::asio::ip::udp::endpoint& to) {
  // The NTP service's socket where it can reach the upstream's family.
  if (ntp_socket_.IsOpen() && (ntp_socket_.is_v6() || to.address().is_v4())) return &ntp_socket_;
  // Otherwise an ephemeral socket of our own: both families, or IPv4 alone
  // where the machine has no IPv6.
  if (!own_socket_) own_socket_ = make_port_();
  if (!own_socket_->IsOpen()) {
    if (own_socket_->Bind(boost::asio::ip::address_v6::any(), 0) &&
        own_socket_->Bind(boost::asio::ip::address_v4::any(), 0))
      return nullptr;
    own_socket_->Start(this);
  }
  if (!own_socket_->is_v6() && !to.address().is_v4()) return nullptr;
  return own_socket_.get();
}

void UpstreamSync::OnDatagram(const net::Datagram& d) { Take(d); }

void UpstreamSync::SyncTimeNow() { StartQuery(true); }

bool UpstreamSync::OtherServerPossible() const {
  if (!random_) return false;
  const auto& index = list_.RegionIndex();
  for (int pos : index) {
    if (list_.entries()[static_cast<size_t>(pos - 1)].host_field !=
        list_.entries()[static_cast<size_t>(index.front() - 1)].host_field)
      return true;
  }
  return false;
}

// A refused step is confirmed by another server where the region has one.
void UpstreamSync::GrabOtherThan(const std::string& host_field) {
  constexpr int kTries = 32;
  for (int i = 0; i < kTries && (i == 0 || list_.QueryHost() == host_field); ++i) GrabRandom();
}

void UpstreamSync::StartQuery(bool asked) {
  if (list_.ServerCount() == 0 || list_.RegionIndex().empty()) {
    // Said once for a region and list, not at every due tick.
    const std::string said = region_ + ":" + std::to_string(list_.ServerCount());
    if (list_loaded_ && said != no_server_said_) {
      no_server_said_ = said;
      ctx_.Diagnostic("no upstream server of region " + region_ + " in the server list");
    }
    return;
  }
  no_server_said_.clear();
  const Nanoseconds now = clock_.monotonic();
  if (!gate_.Allows(now)) {
    if (asked && !deferred_) {
      const auto wait = std::chrono::ceil<std::chrono::seconds>(gate_.Remaining(now));
      ctx_.Diagnostic(
          "upstream query deferred by " + std::to_string(wait.count()) + " s: queries go out at least " +
          std::to_string(std::chrono::ceil<std::chrono::seconds>(gate_.gap()).count()) + " s apart");
    }
    deferred_ = true;
    return;
  }
  deferred_ = false;
  gate_.Sent(now);
  if (random_) {
    if (const std::string* pending = step_guard_.pending_server(); pending && OtherServerPossible()) {
      GrabOtherThan(*pending);
    } else {
      GrabRandom();
    }
  }
  std::string host_field(list_.QueryHost());
  const int pos = list_.SelectedServer() > 0 ? list_.SelectedServer() : 1;
  round_.reset();
  if (upstreams_per_sync_ > 1) {
    // Distinct host names of the region; fewer than asked for is said once.
    std::vector<std::string> hosts;
    for (int p : list_.RegionIndex()) {
      std::string key = HostKey(list_.entries()[static_cast<size_t>(p - 1)].host_field);
      if (std::find(hosts.begin(), hosts.end(), key) == hosts.end()) hosts.push_back(std::move(key));
    }
    const int wanted = std::min(upstreams_per_sync_, static_cast<int>(hosts.size()));
    const std::string said = region_ + ":" + std::to_string(wanted);
    if (wanted < upstreams_per_sync_ && said != fewer_said_) {
      ctx_.Diagnostic("region " + region_ + " has " + std::to_string(hosts.size()) +
                      " distinct upstream servers: asking " + std::to_string(wanted) +
                      " of UpstreamsPerSync " + std::to_string(upstreams_per_sync_));
    }
    fewer_said_ = said;
    round_ = Round{};
    round_->wanted = wanted;
  }
  AskHost(host_field, pos);
}

void UpstreamSync::AskHost(const std::string& host_field, int pos) {
  query_host_field_ = host_field;
  upstream_started_ = clock_.monotonic();
  if (round_) round_->hosts.push_back(HostKey(host_field));
  std::string display = list_.entries()[static_cast<size_t>(pos - 1)].display_text;
  tray_tip_ = CheckingTooltip(display);
  Changed();
  auto address = ParseUpstreamAddress(host_field);
  if (!address) {
    Failed("\"" + host_field + "\" is not a host name or address");
    return;
  }
  upstream_name_ = address->host;
  uint64_t query = ++query_id_;
  busy_ = true;
  query_nts_ = address->nts;
  if (address->nts) {
    nts_key_ = NtsKeyOf(host_field);
    const NtsSession* session = nts_.Find(nts_key_);
    if (!session || session->NeedsKe()) {
      StartKe(*address, query);
      return;
    }
    StartReplyTimer(query);
    Resolve(session->ntp_server, session->ntp_port, query);
    return;
  }
  StartReplyTimer(query);
  Resolve(address->host, address->port, query);
}

void UpstreamSync::StartReplyTimer(uint64_t query) {
  reply_timer_->Start(kUpstreamReplyTimeout, [this, alive = std::weak_ptr<bool>(alive_), query] {
    auto a = alive.lock();
    if (!a || !*a || query != query_id_ || !busy_) return;
    query_pending_ = false;
    resolver_.cancel();
    Failed("no reply from " + upstream_name_ + " within " + std::to_string(kUpstreamReplyTimeout.count()) +
           " s");
  });
}

void UpstreamSync::Resolve(const std::string& host, uint16_t port, uint64_t query) {
  std::weak_ptr<bool> alive = alive_;
  // Both families; IPv4 first where a name has both.
  resolver_.async_resolve(host, std::to_string(port),
                          [this, alive, query, host](const boost::system::error_code& ec,
                                                     boost::asio::ip::udp::resolver::results_type results) {
                            auto a = alive.lock();
                            if (!a || !*a || query != query_id_) return;
                            if (ec || results.empty()) {
                              Failed("cannot resolve " + host + ": " + (ec ? ec.message() : "no address"));
                              return;
                            }
                            const boost::asio::ip::udp::endpoint to = PreferredEndpoint(results);
                            if (round_) {
                              // Two names of one machine would be one voice counted twice.
                              const auto addr = net::Unmapped(to).address();
                              auto& seen = round_->addresses;
                              if (std::find(seen.begin(), seen.end(), addr) != seen.end()) {
                                ctx_.Diagnostic(upstream_name_ +
                                                " has the address of an upstream already asked (" +
                                                AddressText(addr) + "); not asked");
                                busy_ = false;
                                reply_timer_->Cancel();
                                NextUpstream();
                                return;
                              }
                              seen.push_back(addr);
                              ++round_->asked;
                            }
                            Send(to, query);
                          });
}

std::string UpstreamSync::NtsKeyOf(const std::string& host_field) {
  const auto address = ParseUpstreamAddress(host_field);
  if (!address || !address->nts) return {};
  return HostKey(host_field) + ":" + std::to_string(address->port);
}

void UpstreamSync::StartKe(const UpstreamAddress& address, uint64_t query) {
  std::weak_ptr<bool> alive = alive_;
  // The exchange's own time-out ends it; this one stands behind it.
  reply_timer_->Start(kNtsKeTimeout + std::chrono::seconds(1), [this, alive, query, address] {
    auto a = alive.lock();
    if (!a || !*a || query != query_id_ || !busy_) return;
    KeFailed(address, query, "no answer within " + std::to_string(kNtsKeTimeout.count()) + " s");
  });
  auto done = [this, alive, query, address](nts::KeOutcome outcome) {
    auto a = alive.lock();
    if (!a || !*a || query != query_id_ || !busy_) return;
    NtsSessionResult r = SessionFromKe(std::move(outcome), address.host);
    if (!r.ok) {
      KeFailed(address, query, r.error);
      return;
    }
    ++status_.nts_ke_exchanges;
    const NtsSession& s = nts_.Put(nts_key_, std::move(r.session));
    ctx_.Diagnostic("NTS key exchange with " + address.host + " port " + std::to_string(address.port) +
                    ": AEAD " + std::to_string(static_cast<int>(s.keys.aead)) + ", " +
                    std::to_string(s.cookies.size()) + " cookies, NTP at " + s.ntp_server + " port " +
                    std::to_string(s.ntp_port));
    StartReplyTimer(query);
    Resolve(s.ntp_server, s.ntp_port, query);
  };
  const nts::KeTrust trust{nts_trusted_, true};
  if (ke_runner_) {
    ke_runner_(io_, address.host, address.port, trust, kNtsKeTimeout, std::move(done));
  } else {
    nts::AsyncKeExchange(io_, address.host, address.port, trust, kNtsKeTimeout, std::move(done));
  }
}

void UpstreamSync::KeFailed(const UpstreamAddress& address, uint64_t query, const std::string& error) {
  ++status_.nts_ke_failures;
  status_.nts_ke_error = address.host + ": " + error;
  nts_.Drop(nts_key_);
  if (nts_plain_fallback_) {
    ctx_.Diagnostic("NTS key exchange with " + address.host + " failed (" + error +
                    "); plain NTP to its port 123, unauthenticated, as NtsPlainFallback allows");
    query_nts_ = false;
    StartReplyTimer(query);
    Resolve(address.host, kNtpPort, query);
    return;
  }
  Failed("NTS key exchange with " + address.host + " failed: " + error);
}

void UpstreamSync::Send(const boost::asio::ip::udp::endpoint& resolved, uint64_t query) {
  const boost::asio::ip::udp::endpoint to = net::Unmapped(resolved);
  net::DatagramPort* socket = QuerySocket(to);
  if (!socket) {
    Failed(to.address().is_v6() ? "no IPv6 socket to send the query from"
                                : "no socket to send the query from");
    return;
  }
  std::array<uint8_t, 4> nonce{};
  if (!FillSecureRandom(nonce)) {
    Failed("no random source for the query's nonce");
    return;
  }
  upstream_ = to;
  query_socket_ = socket;
  const UtcTime now = clock_.now();
  send_real_stamp_ = NtpFromUtc(now).ToBytes();
  send_stamp_ = QueryStamp(now, nonce);
  auto request = BuildSntpRequest(send_stamp_);
  std::vector<uint8_t> nts_request;
  std::span<const uint8_t> wire = request;
  if (query_nts_) {
    NtsSession* s = nts_.Find(nts_key_);
    if (!s || s->cookies.empty()) {
      if (s) s->renew = true;
      Failed("no NTS cookie left for " + upstream_name_ + "; a new key exchange follows");
      return;
    }
    if (!FillSecureRandom(unique_id_)) {
      Failed("no random source for the NTS unique identifier");
      return;
    }
    // Extension fields are NTPv4's: version 4, client.
    request[0] = kNtsRequestFirstByte;
    const std::vector<uint8_t> cookie = std::move(s->cookies.front());
    s->cookies.pop_front();
    // As many placeholders as fit the largest datagram (the reply is no larger).
    for (size_t p = NtsPlaceholdersWanted(s->cookies.size() + 1);; --p) {
      nts_request = nts::BuildNtsRequest(request, unique_id_, cookie, p, s->keys);
      if (nts_request.size() <= net::UdpSocket::kMaxDatagram || p == 0) break;
    }
    if (nts_request.empty() || nts_request.size() > net::UdpSocket::kMaxDatagram) {
      s->renew = true;
      Failed("cannot build an NTS request for " + upstream_name_ + " (cookie of " +
             std::to_string(cookie.size()) + " bytes)");
      return;
    }
    query_keys_ = s->keys;
    nts_fault_reported_ = false;
    wire = nts_request;
  }
  query_pending_ = true;
  forgery_reported_ = false;
  send_tick_ = clock_.monotonic();
  gate_.Sent(send_tick_);
  // The kernel notes when the query left; the reply's arrival stamp pairs with it.
  if (!socket->SendNowStamped(wire, to)) {
    query_pending_ = false;
    Failed("cannot send the query to " + upstream_name_);
    return;
  }
  (void)query;
}

void UpstreamSync::Failed(const std::string& why) {
  if (query_nts_) {
    if (NtsSession* s = nts_.Find(nts_key_)) s->Failed();
  }
  // A burst that already has a usable exchange ends with its best one.
  if (burst_ && burst_->best) {
    const Sample best = *burst_->best;
    const int taken = burst_->taken;
    burst_.reset();
    busy_ = false;
    reply_timer_->Cancel();
    ctx_.Diagnostic("burst exchange with " + upstream_name_ + " failed (" + why + "); using the best of " +
                    std::to_string(taken));
    FinishUpstream(best, taken);
    return;
  }
  burst_.reset();
  if (round_) {
    // One upstream of several: it counts as not answered, and the others go on.
    busy_ = false;
    reply_timer_->Cancel();
    query_pending_ = false;
    round_->silent.push_back(upstream_name_ + " (" + why + ")");
    ctx_.Diagnostic("upstream " + upstream_name_ + " not answered: " + why);
    NextUpstream();
    return;
  }
  ++status_.failures;
  status_.last_failure = clock_.now();
  status_.last_failure_text = why;
  // Another server, and a retry after a delay that doubles up to 64 s
  // (whatever the interval) until a reply is applied.
  busy_ = false;
  reply_timer_->Cancel();
  GrabRandom();
  auto delay = static_cast<int32_t>(backoff_.NextDelay().count());
  // Never sooner than the gate lets the next query go.
  const auto gated = std::chrono::ceil<std::chrono::seconds>(gate_.Remaining(clock_.monotonic()));
  delay = std::max(delay, static_cast<int32_t>(gated.count()));
  schedule_.DueIn(delay);
  ctx_.Diagnostic("synchronisation failed: " + why + "; next attempt in " + std::to_string(delay) + " s");
  Changed();
}

// A reply that must not set the clock: the displays say so, and the next
// attempt follows the back-off, with another server where the list has one.
void UpstreamSync::Refuse(const std::string& shown, const std::string& why) {
  sync_warning_ = true;
  sync_message_ = SyncFailedMessage(shown);
  tray_tip_ = SyncedTooltip(sync_message_);
  Failed("refused: " + why);
}

bool UpstreamSync::Take(const net::Datagram& d) {
  // An NTS query is answered only by a reply that authenticates; the
  // transmit timestamp echoed (nonce included) says it is meant for us.
  if (query_nts_ && query_pending_ && d.from == upstream_ && d.data.size() >= kSntpPacketSize &&
      std::equal(send_stamp_.begin(), send_stamp_.end(), d.data.begin() + 24))
    return TakeNts(d);
  if (d.truncated) return false;
  switch (ClassifyArrival(d.data, query_pending_, send_stamp_)) {
    case UpstreamArrival::kUpstreamReply:
      // Only the server that was asked may set the clock, with the whole
      // transmit timestamp (nonce included) echoed.
      if (d.from != upstream_ || !OriginateMatches(d.data, send_stamp_)) {
        if (!forgery_reported_) {
          forgery_reported_ = true;
          ctx_.Diagnostic("ignored a reply that does not match the query to " + upstream_name_ + " (from " +
                          EndpointText(d.from) + ")");
        }
        return false;
      }
      ctx_.Uncount(Service::kNtp, Transport::kUdp);
      Apply(d);
      return true;
    case UpstreamArrival::kOneByteRetry:
      if (d.from != upstream_) return false;
      query_pending_ = false;
      Failed(upstream_name_ + " sent a one-byte reply");
      return true;
    default:
      return false;
  }
}

bool UpstreamSync::TakeNts(const net::Datagram& d) {
  ctx_.Uncount(Service::kNtp, Transport::kUdp);
  NtsSession* session = nts_.Find(nts_key_);
  if (!d.truncated && nts::IsNtsNak(d.data, unique_id_)) {
    ++status_.nts_naks;
    if (session) session->renew = true;
    query_pending_ = false;
    Failed(upstream_name_ + " refused its NTS cookie (NTS NAK); a new key exchange follows");
    return true;
  }
  std::optional<nts::NtsReply> reply;
  if (!d.truncated && query_keys_) reply = nts::VerifyNtsReply(d.data, unique_id_, *query_keys_);
  if (!reply) {
    // Never used: the query waits on for an authentic reply or its time-out.
    ++status_.nts_auth_failures;
    if (!nts_fault_reported_) {
      nts_fault_reported_ = true;
      ctx_.Diagnostic("ignored a reply from " + upstream_name_ + " (" + EndpointText(d.from) + ", " +
                      std::to_string(d.data.size()) + (d.truncated ? " bytes, cut" : " bytes") +
                      ") that NTS does not authenticate");
    }
    return true;
  }
  if (session) {
    session->AddCookies(std::move(reply->cookies));
    session->failures = 0;
  }
  Apply(d);
  return true;
}

void UpstreamSync::Apply(const net::Datagram& d) {
  query_pending_ = false;
  busy_ = false;
  reply_timer_->Cancel();
  Nanoseconds steady_now = clock_.monotonic();
  Nanoseconds steady_arrived = steady_now - d.age;
  net::DatagramPort* socket = query_socket_;
  // The port's stamps are on this clock: they pair with its now() alone.
  ExchangeTiming timing =
      ChooseExchangeTiming(socket && socket->IsOpen() ? socket->TakeSendStamp() : std::nullopt, d.arrival,
                           clock_.now(), steady_arrived - send_tick_, steady_now - steady_arrived);
  auto round_trip = timing.round_trip;
  auto arrived = steady_now - timing.since_arrival;
  std::span<const uint8_t, kSntpPacketSize> reply(d.data.data(), kSntpPacketSize);
  if (ReplyFault fault = CheckReply(reply); fault != ReplyFault::kUsable) {
    Failed(upstream_name_ + " sent no usable time (" + ReplyFaultText(fault) + ")");
    return;
  }
  const UtcTime before = clock_.now();
  const Nanoseconds read_late = clock_.monotonic() - arrived;
  const Correction c = ComputeCorrection(reply, send_real_stamp_, round_trip, before);
  if (!PlausibleUpstreamTime(c.new_time)) {
    burst_.reset();
    Refuse("the time server gave a time before 2025", upstream_name_ + " gave a time before 2025 (" +
                                                          DefaultDateTimeText(c.new_time, ctx_.zone()) + ")");
    return;
  }
  const Sample sample{c,
                      arrived,
                      round_trip,
                      before,
                      QualityOfSync(reply, c.path_delay, round_trip, arrived),
                      reply[1],
                      {reply[12], reply[13], reply[14], reply[15]},
                      CorrectionsAt(arrived),
                      query_nts_,
                      read_late,
                      false,
                      std::nullopt};
  if (filter_on_)
    filter_.Add(FilterKey(upstream_, query_nts_), sample.offset(), c.path_delay, arrived, sample);
  if (filter_on_ && fit_on_)
    fit_.Add(FilterKey(upstream_, query_nts_),
             FitPoint{arrived, c.path_delay, sample.offset() + AppliedAt(arrived)});
  if (samples_ > 1) {
    // A burst: the exchange with the least path delay (its round trip less
    // the upstream's hold) sets the clock; half of it bounds its error.
    if (!burst_) burst_ = Burst{};
    ++burst_->taken;
    if (!burst_->best || sample.c.path_delay < burst_->best->c.path_delay) burst_->best = sample;
    if (burst_->taken < samples_) {
      NextBurstQuery();
      return;
    }
    const Sample best = *burst_->best;
    const int taken = burst_->taken;
    burst_.reset();
    FinishUpstream(best, taken);
    return;
  }
  FinishUpstream(sample, 1);
}

void UpstreamSync::FinishUpstream(const Sample& best, int taken) {
  Sample chosen = best;
  std::string how;
  Nanoseconds dispersion{0};
  if (filter_on_) {
    const Nanoseconds now = clock_.monotonic();
    const Nanoseconds max_age = std::min<Nanoseconds>(
        kFilterIntervals * std::max<Nanoseconds>(std::chrono::seconds(schedule_.SyncInterval()), gate_.gap()),
        std::chrono::hours(24));
    std::optional<OffsetFit> fit;
    if (fit_on_) {
      // The rate in force is the slope as known so far: firmly once confirmed.
      FitTuning tuning;
      if (discipline_on_)
        tuning.prior = FitTuning::Prior{discipline_.correction_ppm(),
                                        discipline_.confirmed() ? kFitPriorPpmError : 10 * kFitPriorPpmError};
      fit = fit_.Fit(FilterKey(upstream_, best.nts), now, kFitMaxAge, tuning);
    }
    if (fit) {
      // This burst's best carries the fitted offset now: Commit brings it
      // to now by the corrections since, which the line already left out.
      Nanoseconds offset_now = fit->level - AppliedAt(now);
      // The first synchronisation steps to one exchange's offset: of this
      // burst's, the one nearest the middle of their bounds.
      if (!status_.first_sync)
        if (const auto p = fit_.Nearest(FilterKey(upstream_, best.nts), upstream_started_, fit->level))
          offset_now = p->adjusted - AppliedAt(now);
      const Nanoseconds best_now = best.offset() - (CorrectionsAt(now) - best.corrections_at);
      chosen.c.new_time += offset_now - best_now;
      chosen.fitted = true;
      // The slope is the rate figure once the line spans long enough and is
      // either certain against the interval or plainly away from the
      // correction in force. The interval is the one configured, or the
      // time since the last synchronisation when they came sooner.
      Nanoseconds interval = std::chrono::seconds(schedule_.SyncInterval());
      if (const auto last = discipline_.last_heard(); last && now > *last)
        interval = std::min(interval, now - *last);
      chosen.rate_figure = SlopeFigure(*fit, discipline_.correction_ppm(), interval);
      char text[160];
      std::snprintf(text, sizeof text, " (a line through %zu of the last %zu exchanges over %.0f s",
                    fit->used, fit->used + fit->left_out, std::chrono::duration<double>(fit->span).count());
      how = text;
      if (fit->ppm) {
        std::snprintf(text, sizeof text, ", slope %+.3f ppm +- %.3f%s", *fit->ppm, fit->ppm_error,
                      !chosen.rate_figure                ? ", too short for the rate"
                      : *chosen.rate_figure != *fit->ppm ? ", within its errors of the rate in force"
                                                         : "");
        how += text;
      }
      if (fit->cut) how += "; the upstream moved: the history before it dropped";
      how += ")";
    } else if (auto c = filter_.Choose(FilterKey(upstream_, best.nts), now, max_age)) {
      dispersion = c->dispersion;
      // An exchange of an earlier synchronisation: its offset less the
      // corrections since (Commit subtracts them) is the offset now.
      if (c->payload.arrived < upstream_started_) {
        how = " (the filter's best of the last " +
              std::to_string(filter_.size(FilterKey(upstream_, best.nts))) + " exchanges, taken " +
              std::to_string(
                  std::chrono::duration_cast<std::chrono::seconds>(now - c->payload.arrived).count()) +
              " s ago; its offset brought to now)";
      }
      chosen = c->payload;
    }
  }
  if (!round_) {
    status_.upstreams_asked = status_.upstreams_answered = status_.upstreams_agreed = 1;
    status_.falsetickers.clear();
    Commit(chosen, taken, how);
    return;
  }
  Answer a;
  a.name = upstream_name_;
  a.host_field = query_host_field_;
  a.address = upstream_;
  a.sample = chosen;
  a.taken = taken;
  a.how = how;
  a.offset = chosen.offset() - (CorrectionsAt(clock_.monotonic()) - chosen.corrections_at);
  a.half_width = FromSeconds(chosen.quality.root_delay / 2 + chosen.quality.root_dispersion) + dispersion;
  round_->answers.push_back(std::move(a));
  NextUpstream();
}

// The next distinct server of the region, or the end of the synchronisation.
void UpstreamSync::NextUpstream() {
  if (static_cast<int>(round_->addresses.size()) < round_->wanted) {
    std::vector<int> candidates;
    for (int p : list_.RegionIndex()) {
      const std::string& field = list_.entries()[static_cast<size_t>(p - 1)].host_field;
      const std::string key = HostKey(field);
      if (std::find(round_->hosts.begin(), round_->hosts.end(), key) != round_->hosts.end()) continue;
      // One position per host name.
      bool listed = false;
      for (int q : candidates)
        listed |= HostKey(list_.entries()[static_cast<size_t>(q - 1)].host_field) == key;
      if (!listed) candidates.push_back(p);
    }
    if (!candidates.empty()) {
      size_t pick = 0;
      if (random_) {
        std::uniform_int_distribution<size_t> u(0, candidates.size() - 1);
        pick = u(random_engine_);
      }
      const int pos = candidates[pick];
      AskHost(list_.entries()[static_cast<size_t>(pos - 1)].host_field, pos);
      return;
    }
  }
  FinishRound();
}

// The answers of a synchronisation of several upstreams: one alone is
// trusted (as a single upstream is); of two or more, more than half must
// agree, and the agreeing ones' offsets are combined.
void UpstreamSync::FinishRound() {
  Round r = std::move(*round_);
  round_.reset();
  status_.upstreams_asked = r.asked;
  status_.upstreams_answered = static_cast<int>(r.answers.size());
  status_.upstreams_agreed = 0;
  status_.falsetickers.clear();
  if (r.answers.empty()) {
    std::string whys;
    for (const std::string& s : r.silent) whys += (whys.empty() ? "" : ", ") + s;
    Failed("none of " + std::to_string(r.asked) + " upstreams answered" + (whys.empty() ? "" : ": " + whys));
    return;
  }
  std::vector<SourceInterval> intervals;
  for (const Answer& a : r.answers) intervals.push_back({a.offset, a.half_width});
  const Intersection cut = Intersect(intervals);
  std::string all;
  for (const Answer& a : r.answers) all += (all.empty() ? "" : ", ") + a.name + ": " + OffsetMs(a.offset);
  status_.upstreams_agreed = static_cast<int>(cut.agreeing.size());
  if (!cut.majority()) {
    Failed("no majority: " + std::to_string(cut.agreeing.size()) + " of " + std::to_string(r.answers.size()) +
           " upstreams agree (" + all + ")");
    return;
  }
  for (size_t i = 0; i < r.answers.size(); ++i) {
    if (std::find(cut.agreeing.begin(), cut.agreeing.end(), i) != cut.agreeing.end()) continue;
    status_.falsetickers.push_back(r.answers[i].name + " (" + OffsetMs(r.answers[i].offset) + ")");
    ctx_.Diagnostic("falseticker voted out: " + r.answers[i].name + " (" +
                    AddressText(r.answers[i].address.address()) + ") at " + OffsetMs(r.answers[i].offset) +
                    ", outside the " + std::to_string(cut.agreeing.size()) +
                    " agreeing upstreams' interval " + OffsetMs(cut.low) + " .. " + OffsetMs(cut.high));
  }
  // The clock is set through the agreeing upstream of least interval, its
  // offset replaced by the combined one.
  size_t base = cut.agreeing.front();
  for (size_t i : cut.agreeing)
    if (r.answers[i].half_width < r.answers[base].half_width) base = i;
  const Nanoseconds combined = CombineOffsets(intervals, cut.agreeing).value_or(r.answers[base].offset);
  Answer& a = r.answers[base];
  Sample s = a.sample;
  s.c.new_time += combined - a.offset;
  upstream_ = a.address;
  upstream_name_ = a.name;
  query_host_field_ = a.host_field;
  std::string how = a.how;
  if (r.answers.size() > 1)
    how += " (" + std::to_string(cut.agreeing.size()) + " of " + std::to_string(r.answers.size()) +
           " upstreams agree: " + all + "; combined " + OffsetMs(combined) + ")";
  Commit(s, a.taken, how);
}

// The next query of a burst, to the same server, 2 s after the last reply.
void UpstreamSync::NextBurstQuery() {
  busy_ = true;
  const uint64_t query = ++query_id_;
  std::weak_ptr<bool> alive = alive_;
  burst_timer_->Start(kBurstSpacing, [this, alive, query] {
    auto a = alive.lock();
    if (!a || !*a || query != query_id_ || !busy_) return;
    reply_timer_->Start(kUpstreamReplyTimeout, [this, alive, query] {
      auto a2 = alive.lock();
      if (!a2 || !*a2 || query != query_id_ || !busy_) return;
      query_pending_ = false;
      Failed("no reply from " + upstream_name_ + " within " + std::to_string(kUpstreamReplyTimeout.count()) +
             " s");
    });
    Send(upstream_, query);
  });
}

void UpstreamSync::Commit(const Sample& sample, int taken, const std::string& how) {
  Clock& clock = clock_;
  const Correction& c = sample.c;
  const Nanoseconds arrived = sample.arrived;
  const Nanoseconds round_trip = sample.round_trip;
  // The offset now: the corrections applied since the exchange are no longer in it.
  const auto step = sample.offset() - (CorrectionsAt(clock_.monotonic()) - sample.corrections_at);
  const StepGuard::Verdict verdict = step_guard_.Judge(step, query_host_field_, OtherServerPossible());
  if (verdict == StepGuard::Verdict::kRefuse) {
    filter_.Drop(FilterKey(upstream_, sample.nts), arrived);
    fit_.DropFrom(FilterKey(upstream_, sample.nts), std::min(arrived, upstream_started_));
    Refuse("the time server is " + Seconds(step) + " s off",
           upstream_name_ + " would step the clock by " + Seconds(step) + " s, more than MaxStepSeconds (" +
               std::to_string(step_guard_.max_step()->count()) + " s); a second exchange agreeing within " +
               std::to_string(StepGuard::kConfirmTolerance.count()) + " s will apply it");
    return;
  }
  if (verdict == StepGuard::Verdict::kAcceptConfirmed) {
    ctx_.Diagnostic("step of " + Seconds(step) + " s confirmed by a second exchange with " + upstream_name_);
  }
  // The correction is the time at the reply's arrival; the clock is set a
  // little later (the reply waited in the queue, and was processed).
  // A setting from outside since the last tick shows before ours.
  if (discipline_on_ || filter_on_) WatchClock();
  const UtcTime target = c.new_time + (clock_.monotonic() - arrived);
  // The offset (brought to now) includes what a slew under way has not made
  // up yet; the new correction takes over from it.
  const Nanoseconds unslewed = slew_ ? slew_->Remaining(clock_.monotonic()) : Nanoseconds(0);
  const bool slew_wanted = SlewWanted(step);
  EndSlew();
  // Made up from the clock's reading now: what the ended slew did since the
  // measurement is counted.
  const Nanoseconds applied = target - clock.now();
  const bool slewed = slew_wanted && BeginSlew(applied);
  std::error_code ec;
  bool held = false;
  if (!slewed) {
    ec = clock.set(target);
    held = ec && HoldTime(target, ec);
  }
  // A slew counts in full from its start; the part it will not make up is
  // taken back when it ends early (EndSlew), and CorrectionsAt leaves out
  // what it has still to do.
  if (slewed || !ec || held) filter_.OnCorrectionApplied(applied);
  if (ec && !held) {
    sync_warning_ = true;
    sync_message_ = SyncFailedMessage(ec.message());
    tray_tip_ = SyncedTooltip(sync_message_);
    ctx_.Diagnostic("clock not set from " + upstream_name_ + ": " + ec.message());
    ++status_.failures;
    status_.last_failure = clock_.now();
    status_.last_failure_text = "clock not set: " + ec.message();
    Changed();
    return;
  }
  backoff_.Reset();
  step_guard_.Applied();
  Discipline(sample, step, unslewed);
  status_.last_correction = slewed ? SyncStatus::CorrectionKind::kSlew : SyncStatus::CorrectionKind::kStep;
  status_.last_correction_ns = step.count();
  status_.slew_duration_ns = slew_ ? slew_->plan.duration.count() : 0;
  ++(slewed ? status_.slews : status_.steps);
  auto addr = upstream_.address();
  if (addr.is_v4()) {
    auto b = addr.to_v4().to_bytes();
    ctx_.ntp_reference().ref_id = RefIdFromAddress(b);
  } else {
    auto b = addr.to_v6().to_bytes();
    ctx_.ntp_reference().ref_id = RefIdFromAddress(b);
  }
  ctx_.ntp_reference().ref_stamp = NtpFromUtc(clock.now()).ToBytes();
  quality_ = sample.quality;
  unsynced_told_ = false;
  RefreshReference();
  last_update_text_ = DefaultDateTimeText(clock.now(), ctx_.zone());
  ++status_.syncs;
  status_.last_sync = clock.now();
  if (!status_.first_sync) status_.first_sync = status_.last_sync;
  status_.upstream_name = upstream_name_;
  status_.upstream_address = AddressText(addr);
  status_.upstream_stratum = sample.upstream_stratum;
  status_.upstream_ref_id = sample.upstream_ref_id;
  status_.last_path_delay_ns = c.path_delay.count();
  status_.held = held;
  status_.upstream_nts = sample.nts;
  status_.nts_cookies = 0;
  if (sample.nts) {
    if (const NtsSession* s = nts_.Find(NtsKeyOf(query_host_field_)))
      status_.nts_cookies = static_cast<int>(s->cookies.size());
  }
  sync_message_ =
      ctx_.service_build() ? std::string(kServiceSyncMessage) : AdjustedMessage(c.reply_difference_ms);
  sync_warning_ = held;
  if (held) sync_message_ = HeldTimeMessage(ec.message()) + "  " + sync_message_;
  tray_tip_ = SyncedTooltip(sync_message_);
  servers_tooltip_ = ServersTooltip(c.upstream_whole_second, c.display_ms, sync_message_);
  if (hooks_.synced) hooks_.synced();
  std::string rate;
  if (discipline_on_) rate = FrequencyText();
  std::string best_of = taken > 1 ? " (the least of " + std::to_string(taken) + " exchanges)" : "";
  if (!how.empty()) best_of = how;
  std::string what =
      (held ? "time held in the process stepped by " : "clock stepped by ") + DurationMs(step) + " ms";
  if (slewed) {
    what = "slewing " + DurationMs(step) + " ms over " +
           Seconds(Nanoseconds(status_.slew_duration_ns)).substr(1) + " s";
  }
  ctx_.Diagnostic("synchronised with " + upstream_name_ + " (" + AddressText(addr) +
                  (sample.nts ? ", authenticated by NTS" : "") + "): " + what +
                  " (the error served until now), round trip " + DurationMs(round_trip) + " ms, path delay " +
                  DurationMs(c.path_delay) + " ms" + best_of + rate);
  Changed();
}

bool UpstreamSync::HoldTime(UtcTime target, const std::error_code& refused) {
  if (!serve_held_ || !IsClockRightError(refused)) return false;
  const bool was_held = clock_.held();
  if (!clock_.hold(target)) return false;
  if (!was_held) {
    hold_retry_ = kHoldRetryFirst;
    const std::string line =
        "cannot set the machine's clock: " + refused.message() +
        " (the program lacks the right to set it); serving the upstream's time held in the "
        "process, the machine's clock untouched; trying again in " +
        std::to_string(hold_retry_.count()) +
        " s (the registry value WithoutClockRight = REFUSE serves nothing instead)";
    if (hooks_.warning) {
      hooks_.warning(line);
    } else {
      ctx_.Diagnostic(line);
    }
    hold_timer_->Start(hold_retry_, [this, alive = std::weak_ptr<bool>(alive_)] {
      if (auto a = alive.lock(); a && *a) RetryHeldTime();
    });
  }
  return true;
}

// The right may come back (a capability granted, a privilege enabled):
// the machine's clock then takes the held time, and the hold ends.
void UpstreamSync::RetryHeldTime() {
  if (!clock_.held()) return;
  const std::error_code ec = clock_.set(clock_.now());
  if (!ec) {
    ctx_.Diagnostic("the machine's clock is set now: it takes the time served until now");
    status_.held = false;
    Changed();
    return;
  }
  hold_retry_ = std::min(hold_retry_ * 2, std::chrono::seconds(kHoldRetryMax));
  hold_timer_->Start(hold_retry_, [this, alive = std::weak_ptr<bool>(alive_)] {
    if (auto a = alive.lock(); a && *a) RetryHeldTime();
  });
}

}  // namespace mdl
