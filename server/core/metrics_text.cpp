// MetricsText: one family after another, in a fixed order.
#include "server/core/metrics_text.h"

#include <array>
#include <charconv>
#include <cmath>
#include <initializer_list>
#include <tuple>
#include <utility>

namespace mdl {
namespace {

constexpr std::array<std::string_view, kServiceCount> kServiceLabel = {"time", "daytime", "ntp", "unixtime",
                                                                       "private"};
constexpr std::array<std::string_view, 2> kTransportLabel = {"tcp", "udp"};
constexpr std::array<std::string_view, kUdpDropCount> kReasonLabel = {
    "source_port", "reply_shaped", "not_client", "budget", "denied", "rate_limit"};
constexpr std::array<Transport, 2> kTransports = {Transport::kTcp, Transport::kUdp};

using Label = std::pair<std::string_view, std::string_view>;

double UnixSeconds(UtcTime t) {
  return static_cast<double>(FloorUnixSeconds(t)) + static_cast<double>(NanosOfSecond(t)) / 1e9;
}
double Seconds(Nanoseconds d) { return static_cast<double>(d.count()) / 1e9; }

class Exposition {
 public:
  void Family(std::string_view name, std::string_view type, std::string_view help) {
    name_ = name;
    out_.append("# HELP ").append(name).append(" ").append(help).append("\n");
    out_.append("# TYPE ").append(name).append(" ").append(type).append("\n");
  }
  void Sample(std::initializer_list<Label> labels, std::string_view value) {
    out_.append(name_);
    if (labels.size() > 0) {
      char sep = '{';
      for (const Label& l : labels) {
        out_.push_back(sep);
        out_.append(l.first).append("=\"").append(EscapeLabelValue(l.second)).append("\"");
        sep = ',';
      }
      out_.push_back('}');
    }
    out_.append(" ").append(value).append("\n");
  }
  void Sample(std::initializer_list<Label> labels, uint64_t value) { Sample(labels, std::to_string(value)); }
  void Sample(std::initializer_list<Label> labels, double value) { Sample(labels, SampleValue(value)); }
  // A family of one sample without labels.
  void Single(std::string_view name, std::string_view type, std::string_view help, double value) {
    Family(name, type, help);
    Sample({}, value);
  }
  void Single(std::string_view name, std::string_view type, std::string_view help, uint64_t value) {
    Family(name, type, help);
    Sample({}, value);
  }
  std::string Take() { return std::move(out_); }

 private:
  std::string out_;
  std::string_view name_;
};

}  // namespace

std::string EscapeLabelValue(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string SampleValue(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  if (value == 0) return "0";  // also -0
  char buf[64];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  return ec == std::errc() ? std::string(buf, end) : "NaN";
}

std::string MetricsText(const EngineSnapshot& s, std::string_view version) {
  Exposition e;
  const bool synced_once = s.sync.last_sync.has_value();

  e.Family("meridel_requests_total", "counter", "Requests received, by service and transport.");
  for (Service sv : kAllServices)
    for (Transport t : kTransports)
      e.Sample({{"service", kServiceLabel[Index(sv)]}, {"transport", kTransportLabel[Index(t)]}},
               s.counters.Get(sv, t));
  e.Family("meridel_replies_total", "counter", "Replies sent, by service and transport.");
  for (Service sv : kAllServices)
    for (Transport t : kTransports)
      e.Sample({{"service", kServiceLabel[Index(sv)]}, {"transport", kTransportLabel[Index(t)]}},
               s.stats.answered[Index(sv)][Index(t)]);
  e.Family("meridel_dropped_total", "counter", "UDP requests left unanswered, by service and reason.");
  for (Service sv : kAllServices)
    for (size_t r = 0; r < kUdpDropCount; ++r)
      e.Sample({{"service", kServiceLabel[Index(sv)]}, {"reason", kReasonLabel[r]}},
               s.stats.udp_dropped[Index(sv)][r]);
  e.Family("meridel_tcp_denied_total", "counter",
           "TCP connections from refused networks, closed at once, by service.");
  for (Service sv : kAllServices)
    e.Sample({{"service", kServiceLabel[Index(sv)]}}, s.stats.tcp_denied[Index(sv)]);
  e.Single("meridel_kod_sent_total", "counter", "NTP Kiss-o'-Death RATE replies sent.", s.stats.kod_sent);
  e.Single("meridel_nts_replies_total", "counter", "Authenticated NTP (NTS) replies sent.",
           s.stats.nts_replies);
  e.Single("meridel_nts_naks_total", "counter", "NTS NAKs sent: a cookie or authenticator refused.",
           s.stats.nts_naks);
  e.Single("meridel_syncs_total", "counter", "Good synchronisations with an upstream server.", s.sync.syncs);
  e.Single("meridel_sync_failures_total", "counter", "Synchronisation attempts that did not set the time.",
           s.sync.failures);

  e.Single("meridel_synchronised", "gauge", "1 while the time served is synchronised, else 0.",
           uint64_t{s.time_synced && !s.served.unsynchronised});
  if (synced_once) {
    e.Single("meridel_last_sync_timestamp_seconds", "gauge", "When the last good synchronisation happened.",
             UnixSeconds(*s.sync.last_sync));
    e.Single("meridel_seconds_since_last_sync", "gauge", "Time since the last good synchronisation.",
             Seconds(s.taken_at - *s.sync.last_sync));
  }
  if (s.sync.last_failure)
    e.Single("meridel_last_sync_failure_timestamp_seconds", "gauge",
             "When the last synchronisation attempt failed.", UnixSeconds(*s.sync.last_failure));
  if (s.served_error_ns)
    e.Single("meridel_served_error_seconds", "gauge",
             "Step of the last synchronisation: the upstream's time minus the time served before it.",
             Seconds(Nanoseconds(*s.served_error_ns)));
  e.Single("meridel_frequency_correction_ppm", "gauge", "Rate correction of the clock in force, in ppm.",
           s.frequency_ppm);
  e.Single("meridel_slew_remaining_seconds", "gauge",
           "What the slew under way has left to make up (upstream minus ours; 0: none runs).",
           Seconds(SlewRemainingAt(s.sync, s.taken_at)));
  e.Family("meridel_corrections_total", "counter", "Clock corrections by synchronisations, by kind.");
  e.Sample({{"kind", "step"}}, s.sync.steps);
  e.Sample({{"kind", "slew"}}, s.sync.slews);
  e.Single("meridel_root_delay_seconds", "gauge", "Root delay that NTP replies carry.",
           s.served.root_delay_s);
  e.Single("meridel_root_dispersion_seconds", "gauge", "Root dispersion that NTP replies carry.",
           s.served.root_dispersion_s);
  e.Single("meridel_stratum", "gauge", "Stratum that NTP replies carry (16: unsynchronised).",
           static_cast<double>(s.served.stratum));
  if (synced_once) {
    e.Single("meridel_upstream_stratum", "gauge",
             "Stratum of the upstream server of the last synchronisation.",
             static_cast<double>(s.sync.upstream_stratum));
    e.Single("meridel_upstream_delay_seconds", "gauge",
             "Path delay to the upstream server in the exchange of the last synchronisation.",
             Seconds(Nanoseconds(s.sync.last_path_delay_ns)));
    if (s.sync.upstreams_asked > 1)
      e.Single("meridel_upstreams_agreed", "gauge",
               "Upstream servers whose answers agreed at the last synchronisation of several.",
               static_cast<double>(s.sync.upstreams_agreed));
    e.Family("meridel_upstream_info", "gauge", "The upstream server of the last synchronisation.");
    const std::string refid = RefIdText(s.sync.upstream_ref_id, s.sync.upstream_stratum);
    e.Sample({{"name", s.sync.upstream_name}, {"address", s.sync.upstream_address}, {"refid", refid}},
             uint64_t{1});
  }
  e.Single("meridel_time_held", "gauge",
           "1 while the time is held in the process because the machine's clock could not be set.",
           uint64_t{s.sync.held});
  // NTS upstreams: only once one was asked.
  const SyncStatus& y = s.sync;
  if (y.upstream_nts || y.nts_ke_exchanges || y.nts_ke_failures || y.nts_auth_failures || y.nts_naks) {
    e.Single("meridel_upstream_nts", "gauge",
             "1 when the upstream of the last synchronisation was authenticated by NTS, else 0.",
             uint64_t{y.upstream_nts});
    e.Single("meridel_upstream_nts_cookies", "gauge",
             "NTS cookies in hand for that upstream at the last synchronisation.",
             static_cast<uint64_t>(y.upstream_nts ? y.nts_cookies : 0));
    e.Family("meridel_upstream_nts_key_exchanges_total", "counter",
             "NTS key exchanges with upstream servers, by result.");
    e.Sample({{"result", "ok"}}, y.nts_ke_exchanges);
    e.Sample({{"result", "failed"}}, y.nts_ke_failures);
    e.Single("meridel_upstream_nts_unauthentic_total", "counter",
             "Replies to NTS queries that did not authenticate: never used.", y.nts_auth_failures);
    e.Single("meridel_upstream_nts_naks_total", "counter",
             "NTS NAKs (a cookie refused) from upstream servers.", y.nts_naks);
  }
  e.Family("meridel_socket_open", "gauge",
           "1 while a wanted socket is open, else 0, by service and transport.");
  for (Service sv : kAllServices) {
    const ServiceView& v = s.services[Index(sv)];
    if (!v.enabled) continue;
    for (auto [t, wanted, open] : {std::tuple{Transport::kTcp, v.tcp_box, v.tcp_open},
                                   std::tuple{Transport::kUdp, v.udp_box, v.udp_open}}) {
      if (wanted)
        e.Sample({{"service", kServiceLabel[Index(sv)]}, {"transport", kTransportLabel[Index(t)]}},
                 uint64_t{open});
    }
  }
  e.Family("meridel_tcp_connections", "gauge", "Accepted TCP connections open now, by service.");
  for (Service sv : kAllServices)
    e.Sample({{"service", kServiceLabel[Index(sv)]}}, uint64_t{s.services[Index(sv)].tcp_connections});
  e.Single("meridel_paused", "gauge", "1 while the server is paused, else 0.", uint64_t{s.paused});
  e.Single("meridel_start_time_seconds", "gauge", "When the server started.", UnixSeconds(s.started_at));
  e.Family("meridel_build_info", "gauge", "The server's version.");
  e.Sample({{"version", version}}, uint64_t{1});
  return e.Take();
}

}  // namespace mdl
