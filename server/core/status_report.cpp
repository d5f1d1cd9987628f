// StatusText and StatusJson.
#include "server/core/status_report.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "common/time/report_text.h"

namespace mdl {
namespace {

struct ServiceNames {
  std::string_view text;
  std::string_view key;
};
// Indexed by Service.
constexpr std::array<ServiceNames, kServiceCount> kNames{{
    {"Time", "time"},
    {"Daytime", "daytime"},
    {"NTP", "ntp"},
    {"UnixTime", "unix_time"},
    {"MDL", "mdl"},
}};

struct DropNames {
  std::string_view text;
  std::string_view key;
};
// Indexed by UdpDrop.
constexpr std::array<DropNames, kUdpDropCount> kDrops{{
    {"source port", "source_port"},
    {"reply-shaped", "reply_shaped"},
    {"not a client request", "not_client_request"},
    {"amplification budget", "amplification_budget"},
    {"denied network", "denied_network"},
    {"rate limit", "rate_limit"},
}};

std::string Printf(const char* format, auto... args) {
  char buf[256];
  std::snprintf(buf, sizeof buf, format, args...);
  return buf;
}

// "2026-12-10T12:34:56Z (1.5 s ago)" / "(in 00:59:00)".
std::string WhenText(UtcTime t, UtcTime now) {
  const Nanoseconds d = now - t;
  if (d.count() >= 0) return IsoUtcText(t) + " (" + DurationText(d) + " ago)";
  return IsoUtcText(t) + " (in " + DurationText(-d) + ")";
}

std::string_view YesNo(bool b) { return b ? "yes" : "no"; }

// "slew of -1.234 ms over 2.5 s, 0.400 ms left", "step of 12.000 ms", "none".
std::string CorrectionText(const SyncStatus& y, UtcTime now) {
  const double ms = static_cast<double>(y.last_correction_ns) / 1e6;
  switch (y.last_correction) {
    case SyncStatus::CorrectionKind::kStep:
      return Printf("step of %.3f ms", ms);
    case SyncStatus::CorrectionKind::kSlew: {
      std::string text =
          Printf("slew of %.3f ms over %.1f s", ms, static_cast<double>(y.slew_duration_ns) / 1e9);
      const Nanoseconds left = SlewRemainingAt(y, now);
      if (left != Nanoseconds::zero())
        text += Printf(", %.3f ms left", static_cast<double>(left.count()) / 1e6);
      return text;
    }
    case SyncStatus::CorrectionKind::kNone:
      break;
  }
  return "none";
}

// Why no synchronisation is scheduled, for a snapshot without `next_sync`.
std::string NoSyncReason(const EngineSnapshot& s) {
  if (s.paused) return "paused";
  if (s.query_pending) return "a query is in flight";
  if (s.region_without_server) return "no server in region " + s.region;
  return "none scheduled";
}

uint64_t DroppedTotal(const ServingStats& stats, Service svc) {
  uint64_t n = 0;
  for (uint64_t d : stats.udp_dropped[Index(svc)]) n += d;
  return n;
}

// One row of the service table.
struct Row {
  std::string cells[10];
};

void Line(std::string& out, std::string_view label, std::string_view value) {
  out += Printf("%-20.*s: ", static_cast<int>(label.size()), label.data());
  out += value;
  out += '\n';
}

// The NTS upstreams' key exchanges and refused replies; empty when none was asked.
std::string NtsUpstreamText(const SyncStatus& y) {
  if (!y.upstream_nts && !y.nts_ke_exchanges && !y.nts_ke_failures && !y.nts_auth_failures && !y.nts_naks)
    return {};
  std::string text =
      std::to_string(y.nts_ke_exchanges) + " key exchanges, " + std::to_string(y.nts_ke_failures) + " failed";
  if (!y.nts_ke_error.empty()) text += " (last: " + y.nts_ke_error + ")";
  text += "; " + std::to_string(y.nts_auth_failures) + " replies not authentic (not used); " +
          std::to_string(y.nts_naks) + " NAKs";
  return text;
}

}  // namespace

std::string StepText(int64_t ns) {
  const uint64_t mag = ns < 0 ? 0 - static_cast<uint64_t>(ns) : static_cast<uint64_t>(ns);
  const char sign = ns < 0 ? '-' : '+';
  if (mag >= 1'000'000'000ull) return Printf("%c%.6f s", sign, static_cast<double>(mag) / 1e9);
  if (mag >= 1'000'000ull) return Printf("%c%.3f ms", sign, static_cast<double>(mag) / 1e6);
  return Printf("%c%.3f \xC2\xB5s", sign, static_cast<double>(mag) / 1e3);
}

std::string StatusText(const EngineSnapshot& s) {
  const UtcTime now = s.taken_at;
  const SyncStatus& y = s.sync;
  std::string out;
  Line(out, "Report time", IsoUtcText(now));
  Line(out, "Synchronised",
       s.time_synced ? (y.first_sync ? "yes, since " + IsoUtcText(*y.first_sync) : std::string("yes"))
                     : std::string("no"));
  Line(out, "Last synchronisation", y.last_sync ? WhenText(*y.last_sync, now) : "never");
  Line(out, "Time held",
       y.held ? "yes (the machine's clock could not be set: the time is held in the process)" : "no");
  if (!y.upstream_address.empty()) {
    std::string up = y.upstream_name.empty() || y.upstream_name == y.upstream_address
                         ? y.upstream_address
                         : y.upstream_name + " (" + y.upstream_address + ")";
    if (y.upstream_nts) up += " (NTS, " + std::to_string(y.nts_cookies) + " cookies)";
    Line(out, "Upstream", up);
    Line(out, "Upstream stratum", std::to_string(y.upstream_stratum));
    Line(out, "Upstream ref id", RefIdText(y.upstream_ref_id, y.upstream_stratum));
    Line(out, "Upstream path delay", Printf("%.6f s", static_cast<double>(y.last_path_delay_ns) / 1e9));
  } else {
    Line(out, "Upstream", "none yet");
  }
  if (const std::string nts = NtsUpstreamText(y); !nts.empty()) Line(out, "Upstream NTS", nts);
  if (y.upstreams_asked > 1) {
    std::string line = std::to_string(y.upstreams_asked) + " asked, " + std::to_string(y.upstreams_answered) +
                       " answered, " + std::to_string(y.upstreams_agreed) + " agreed";
    for (size_t i = 0; i < y.falsetickers.size(); ++i)
      line += (i == 0 ? "; falseticker: " : ", ") + y.falsetickers[i];
    Line(out, "Upstreams", line);
  }
  Line(out, "Last step",
       s.served_error_ns ? StepText(*s.served_error_ns) + " (upstream minus ours, before the step)" : "none");
  Line(out, "Last correction", CorrectionText(y, now));
  Line(out, "Frequency", Printf("%+.3f ppm", s.frequency_ppm));
  if (s.time_synced) {
    Line(out, "Served stratum", std::to_string(s.served.stratum));
    Line(out, "Served ref id", RefIdText(s.served.ref_id, s.served.stratum));
    Line(out, "Root delay", Printf("%.6f s", s.served.root_delay_s));
    Line(out, "Root dispersion", Printf("%.6f s", s.served.root_dispersion_s));
    Line(out, "Unsynchronised", s.served.unsynchronised ? "yes (replies say leap 3, stratum 16)" : "no");
  } else {
    // Nothing is served before the first synchronisation: no reply fields to show.
    Line(out, "Served", "nothing until the first synchronisation");
  }
  Line(out, "Synchronisations", std::to_string(y.syncs));
  Line(out, "Failures", std::to_string(y.failures));
  if (y.last_failure) {
    Line(out, "Last failure", WhenText(*y.last_failure, now));
    if (!y.last_failure_text.empty()) Line(out, "Last failure reason", y.last_failure_text);
  }
  Line(out, "Interval", std::to_string(s.sync_interval_seconds) + " s");
  Line(out, "Next synchronisation", s.next_sync ? WhenText(*s.next_sync, now) : "none: " + NoSyncReason(s));
  Line(out, "Paused", YesNo(s.paused));
  Line(out, "Uptime", DurationText(now - s.started_at) + " (since " + IsoUtcText(s.started_at) + ")");
  Line(out, "KoD sent", std::to_string(s.stats.kod_sent));
  Line(out, "NTS replies",
       std::to_string(s.stats.nts_replies) + " (NAKs " + std::to_string(s.stats.nts_naks) + ")");

  // The services: one row per service and transport.
  std::vector<Row> rows;
  rows.push_back({{"Service", "Proto", "Enabled", "Wanted", "Port", "Received", "Answered", "Dropped",
                   "Conns", "State"}});
  for (Service svc : kAllServices) {
    const ServiceView& v = s.services[Index(svc)];
    for (Transport tr : {Transport::kTcp, Transport::kUdp}) {
      const bool tcp = tr == Transport::kTcp;
      const bool wanted = tcp ? v.tcp_box : v.udp_box;
      const bool open = tcp ? v.tcp_open : v.udp_open;
      const uint16_t port = tcp ? v.tcp_port : v.udp_port;
      std::string state;
      if (open) {
        state = "open";
      } else if (v.enabled && wanted) {
        state = v.open_error.empty() ? "closed" : "closed: " + v.open_error;
      } else {
        state = "off";
      }
      rows.push_back(
          {{std::string(kNames[Index(svc)].text), tcp ? "TCP" : "UDP", std::string(YesNo(v.enabled)),
            std::string(YesNo(wanted)),
            port != 0             ? std::to_string(port)
            : v.port_text.empty() ? "-"
                                  : v.port_text,
            std::to_string(s.counters.Get(svc, tr)), std::to_string(s.stats.answered[Index(svc)][Index(tr)]),
            tcp ? "-" : std::to_string(DroppedTotal(s.stats, svc)),
            tcp ? std::to_string(v.tcp_connections) : "-", state}});
    }
  }
  size_t width[10] = {};
  for (const Row& r : rows)
    for (size_t c = 0; c < 10; ++c) width[c] = std::max(width[c], r.cells[c].size());
  out += '\n';
  for (const Row& r : rows) {
    std::string line;
    for (size_t c = 0; c < 10; ++c) {
      const std::string& cell = r.cells[c];
      // Names left, numbers right; the last column unpadded.
      const bool left = c <= 1 || c == 9;
      const std::string pad(width[c] - cell.size(), ' ');
      if (c == 9) {
        line += cell;
      } else {
        line += left ? cell + pad : pad + cell;
        line += "  ";
      }
    }
    out += line + '\n';
  }

  // Why requests went unanswered: the reasons that happened.
  std::string drops;
  for (Service svc : kAllServices) {
    for (size_t d = 0; d < kUdpDropCount; ++d) {
      const uint64_t n = s.stats.udp_dropped[Index(svc)][d];
      if (n == 0) continue;
      drops += Printf("  %-9.*s UDP  %-22.*s %llu\n", static_cast<int>(kNames[Index(svc)].text.size()),
                      kNames[Index(svc)].text.data(), static_cast<int>(kDrops[d].text.size()),
                      kDrops[d].text.data(), static_cast<unsigned long long>(n));
    }
    const uint64_t denied = s.stats.tcp_denied[Index(svc)];
    if (denied != 0) {
      drops +=
          Printf("  %-9.*s TCP  %-22s %llu\n", static_cast<int>(kNames[Index(svc)].text.size()),
                 kNames[Index(svc)].text.data(), "denied network", static_cast<unsigned long long>(denied));
    }
  }
  out += "\nNot answered:";
  out += drops.empty() ? " none\n" : "\n" + drops;
  return out;
}

std::string StatusJson(const EngineSnapshot& s) {
  const UtcTime now = s.taken_at;
  const SyncStatus& y = s.sync;
  JsonWriter j;
  j.OpenObject();
  j.Time("taken_at", now);
  j.Bool("synchronised", s.time_synced);
  j.Time("first_sync", y.first_sync);
  j.Time("last_sync", y.last_sync);
  if (y.last_sync) {
    j.Double("last_sync_age_s", std::chrono::duration<double>(now - *y.last_sync).count());
  } else {
    j.Null("last_sync_age_s");
  }
  j.Bool("held", y.held);
  if (y.upstream_address.empty()) {
    j.Null("upstream");
  } else {
    j.OpenObject("upstream")
        .String("name", y.upstream_name)
        .String("address", y.upstream_address)
        .Int("stratum", y.upstream_stratum)
        .String("ref_id", RefIdText(y.upstream_ref_id, y.upstream_stratum))
        .Int("path_delay_ns", y.last_path_delay_ns)
        .Bool("nts", y.upstream_nts)
        .Int("nts_cookies", y.upstream_nts ? y.nts_cookies : 0)
        .Int("upstreams_asked", y.upstreams_asked)
        .Int("upstreams_answered", y.upstreams_answered)
        .Int("upstreams_agreed", y.upstreams_agreed)
        .OpenArray("falsetickers");
    for (const std::string& f : y.falsetickers) j.String({}, f);
    j.CloseArray().CloseObject();
  }
  if (s.served_error_ns) {
    j.Int("served_error_ns", *s.served_error_ns);
  } else {
    j.Null("served_error_ns");
  }
  j.Double("frequency_ppm", s.frequency_ppm);
  j.OpenObject("served")
      .Int("stratum", s.served.stratum)
      .String("ref_id", RefIdText(s.served.ref_id, s.served.stratum))
      .Double("root_delay_s", s.served.root_delay_s)
      .Double("root_dispersion_s", s.served.root_dispersion_s)
      .Bool("unsynchronised", s.served.unsynchronised)
      .CloseObject();
  j.OpenObject("upstream_nts")
      .Uint("key_exchanges", y.nts_ke_exchanges)
      .Uint("key_exchange_failures", y.nts_ke_failures);
  if (y.nts_ke_error.empty()) {
    j.Null("last_key_exchange_error");
  } else {
    j.String("last_key_exchange_error", y.nts_ke_error);
  }
  j.Uint("replies_not_authentic", y.nts_auth_failures).Uint("naks", y.nts_naks).CloseObject();
  j.Uint("syncs", y.syncs);
  j.Uint("failures", y.failures);
  j.Time("last_failure", y.last_failure);
  if (y.last_failure) {
    j.String("last_failure_text", y.last_failure_text);
  } else {
    j.Null("last_failure_text");
  }
  j.Int("sync_interval_s", s.sync_interval_seconds);
  j.Time("next_sync", s.next_sync);
  if (s.next_sync) {
    j.Double("next_sync_in_s", std::chrono::duration<double>(*s.next_sync - now).count());
    j.Null("no_next_sync_reason");
  } else {
    j.Null("next_sync_in_s");
    j.String("no_next_sync_reason", NoSyncReason(s));
  }
  j.Bool("paused", s.paused);
  j.Bool("query_pending", s.query_pending);
  j.String("region", s.region);
  j.Time("started_at", s.started_at);
  j.Double("uptime_s", std::chrono::duration<double>(now - s.started_at).count());
  j.Uint("kod_sent", s.stats.kod_sent);
  j.Uint("nts_replies", s.stats.nts_replies);
  j.Uint("nts_naks", s.stats.nts_naks);
  j.OpenArray("services");
  for (Service svc : kAllServices) {
    const size_t i = Index(svc);
    const ServiceView& v = s.services[i];
    j.OpenObject()
        .String("service", kNames[i].key)
        .Bool("enabled", v.enabled)
        .String("port_text", v.port_text);
    if (v.open_error.empty()) {
      j.Null("open_error");
    } else {
      j.String("open_error", v.open_error);
    }
    j.OpenObject("tcp")
        .Bool("wanted", v.tcp_box)
        .Bool("open", v.tcp_open)
        .Uint("port", v.tcp_port)
        .Uint("received", s.counters.Get(svc, Transport::kTcp))
        .Uint("answered", s.stats.answered[i][Index(Transport::kTcp)])
        .Uint("connections", v.tcp_connections)
        .Uint("denied", s.stats.tcp_denied[i])
        .CloseObject();
    j.OpenObject("udp")
        .Bool("wanted", v.udp_box)
        .Bool("open", v.udp_open)
        .Uint("port", v.udp_port)
        .Uint("received", s.counters.Get(svc, Transport::kUdp))
        .Uint("answered", s.stats.answered[i][Index(Transport::kUdp)])
        .OpenObject("dropped");
    for (size_t d = 0; d < kUdpDropCount; ++d) j.Uint(kDrops[d].key, s.stats.udp_dropped[i][d]);
    j.CloseObject().CloseObject().CloseObject();
  }
  j.CloseArray();
  j.CloseObject();
  return j.text() + "\n";
}

}  // namespace mdl
