// The metrics text of a hand-built snapshot: every family announced by its
// HELP and TYPE lines before its samples, the values where they belong,
// label values escaped, and the upstream's families absent before the first
// synchronisation.
#include "server/core/metrics_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace mdl {
namespace {

constexpr int64_t kNow = 1765360800;  // 2025-12-10 10:00:00 UTC

UtcTime At(double unix_seconds) { return UtcFromNs(static_cast<int64_t>(std::llround(unix_seconds * 1e9))); }

EngineSnapshot SyncedSnapshot() {
  EngineSnapshot s;
  s.taken_at = At(kNow);
  s.started_at = At(kNow - 3600);
  for (int i = 0; i < 7; ++i) s.counters.Add(Service::kNtp, Transport::kUdp);
  for (int i = 0; i < 3; ++i) s.counters.Add(Service::kTime, Transport::kTcp);
  s.stats.answered[Index(Service::kNtp)][Index(Transport::kUdp)] = 5;
  s.stats.udp_dropped[Index(Service::kNtp)][Index(UdpDrop::kRateLimit)] = 2;
  s.stats.udp_dropped[Index(Service::kDaytime)][Index(UdpDrop::kSourcePort)] = 4;
  s.stats.tcp_denied[Index(Service::kPrivate)] = 9;
  s.stats.kod_sent = 11;
  s.stats.nts_replies = 21;
  s.stats.nts_naks = 22;
  s.sync.syncs = 12;
  s.sync.failures = 13;
  s.sync.first_sync = At(kNow - 3000);
  s.sync.last_sync = At(kNow - 90.5);
  s.sync.last_failure = At(kNow - 1000);
  s.sync.upstream_name = "Lab \"clock\" \\ room\nB";
  s.sync.upstream_address = "192.0.2.1";
  s.sync.upstream_stratum = 1;
  s.sync.upstream_ref_id = {'G', 'P', 'S', 0};
  s.sync.last_path_delay_ns = 1'500'000;
  s.served_error_ns = -250'000'000;
  s.frequency_ppm = -12.5;
  s.time_synced = true;
  s.served.stratum = 2;
  s.served.root_delay_s = 0.0015;
  s.served.root_dispersion_s = 0.25;
  ServiceView& ntp = s.services[Index(Service::kNtp)];
  ntp.enabled = true;
  ntp.udp_box = ntp.udp_open = true;
  ntp.tcp_box = true;  // wanted but not open
  ServiceView& time = s.services[Index(Service::kTime)];
  time.enabled = true;
  time.tcp_box = time.tcp_open = true;
  time.tcp_connections = 3;
  // Disabled: no socket of it is wanted, whatever its boxes say.
  s.services[Index(Service::kDaytime)].tcp_box = true;
  return s;
}

// The text read back: families in order, their types, and the samples by
// their full name with labels, checking the layout on the way.
struct Parsed {
  std::vector<std::string> families;
  std::map<std::string, std::string> types;
  std::map<std::string, std::string> samples;
  std::vector<std::string> faults;
};

Parsed Parse(const std::string& text) {
  Parsed p;
  if (text.empty() || text.back() != '\n') p.faults.push_back("the text does not end with a line feed");
  std::istringstream in(text);
  std::string line, help_of, current;
  std::set<std::string> seen;
  while (std::getline(in, line)) {
    if (line.rfind("# HELP ", 0) == 0) {
      help_of = line.substr(7, line.find(' ', 7) - 7);
      if (!seen.insert(help_of).second) p.faults.push_back("family twice: " + help_of);
      if (line.size() <= 8 + help_of.size()) p.faults.push_back("empty help: " + help_of);
    } else if (line.rfind("# TYPE ", 0) == 0) {
      std::istringstream words(line.substr(7));
      std::string name, type;
      words >> name >> type;
      if (name != help_of) p.faults.push_back("TYPE without its HELP just before: " + line);
      current = name;
      p.families.push_back(name);
      p.types[name] = type;
    } else {
      const size_t end_of_name = line.find_first_of("{ ");
      const size_t space = line.rfind(' ');
      if (end_of_name == std::string::npos || space == std::string::npos) {
        p.faults.push_back("not a sample: " + line);
        continue;
      }
      if (line.substr(0, end_of_name) != current) p.faults.push_back("sample outside its family: " + line);
      if (!p.samples.emplace(line.substr(0, space), line.substr(space + 1)).second)
        p.faults.push_back("sample twice: " + line);
    }
  }
  return p;
}

double Value(const Parsed& p, const std::string& sample) {
  auto it = p.samples.find(sample);
  if (it == p.samples.end()) {
    ADD_FAILURE() << "no sample " << sample;
    return NAN;
  }
  return std::strtod(it->second.c_str(), nullptr);
}

TEST(MetricsTextTest, EveryFamilyIsAnnouncedOnceWithItsTypeBeforeItsSamples) {
  const Parsed p = Parse(MetricsText(SyncedSnapshot(), "4.2.0"));
  EXPECT_TRUE(p.faults.empty()) << ::testing::PrintToString(p.faults);
  const std::map<std::string, std::string> expected = {
      {"meridel_requests_total", "counter"},
      {"meridel_replies_total", "counter"},
      {"meridel_dropped_total", "counter"},
      {"meridel_tcp_denied_total", "counter"},
      {"meridel_kod_sent_total", "counter"},
      {"meridel_nts_replies_total", "counter"},
      {"meridel_nts_naks_total", "counter"},
      {"meridel_syncs_total", "counter"},
      {"meridel_sync_failures_total", "counter"},
      {"meridel_synchronised", "gauge"},
      {"meridel_last_sync_timestamp_seconds", "gauge"},
      {"meridel_seconds_since_last_sync", "gauge"},
      {"meridel_last_sync_failure_timestamp_seconds", "gauge"},
      {"meridel_served_error_seconds", "gauge"},
      {"meridel_frequency_correction_ppm", "gauge"},
      {"meridel_slew_remaining_seconds", "gauge"},
      {"meridel_corrections_total", "counter"},
      {"meridel_root_delay_seconds", "gauge"},
      {"meridel_root_dispersion_seconds", "gauge"},
      {"meridel_stratum", "gauge"},
      {"meridel_upstream_stratum", "gauge"},
      {"meridel_upstream_delay_seconds", "gauge"},
      {"meridel_upstream_info", "gauge"},
      {"meridel_time_held", "gauge"},
      {"meridel_socket_open", "gauge"},
      {"meridel_tcp_connections", "gauge"},
      {"meridel_paused", "gauge"},
      {"meridel_start_time_seconds", "gauge"},
      {"meridel_build_info", "gauge"},
  };
  EXPECT_EQ(p.types, expected);
  for (const auto& [name, type] : p.types) {
    if (type == "counter") {
      EXPECT_TRUE(name.ends_with("_total")) << name;
    }
  }
  // Every service and transport, every service and drop reason.
  EXPECT_EQ(p.samples.count("meridel_requests_total{service=\"unixtime\",transport=\"tcp\"}"), 1u);
  size_t requests = 0, drops = 0;
  for (const auto& [sample, value] : p.samples) {
    requests += sample.rfind("meridel_requests_total{", 0) == 0;
    drops += sample.rfind("meridel_dropped_total{", 0) == 0;
  }
  EXPECT_EQ(requests, 10u);
  EXPECT_EQ(drops, 30u);
}

TEST(MetricsTextTest, UpstreamsAgreedOnlyForSeveralUpstreams) {
  EngineSnapshot s = SyncedSnapshot();
  EXPECT_EQ(Parse(MetricsText(s, "4.2.0")).types.count("meridel_upstreams_agreed"), 0u);
  s.sync.upstreams_asked = 3;
  s.sync.upstreams_agreed = 2;
  const Parsed p = Parse(MetricsText(s, "4.2.0"));
  EXPECT_TRUE(p.faults.empty()) << ::testing::PrintToString(p.faults);
  EXPECT_EQ(p.types.at("meridel_upstreams_agreed"), "gauge");
  EXPECT_EQ(Value(p, "meridel_upstreams_agreed"), 2);
}

TEST(MetricsTextTest, SamplesCarryTheSnapshotsFigures) {
  const Parsed p = Parse(MetricsText(SyncedSnapshot(), "4.2.0"));
  const struct {
    const char* sample;
    double value;
  } cases[] = {
      {"meridel_requests_total{service=\"ntp\",transport=\"udp\"}", 7},
      {"meridel_requests_total{service=\"time\",transport=\"tcp\"}", 3},
      {"meridel_requests_total{service=\"ntp\",transport=\"tcp\"}", 0},
      {"meridel_replies_total{service=\"ntp\",transport=\"udp\"}", 5},
      {"meridel_dropped_total{service=\"ntp\",reason=\"rate_limit\"}", 2},
      {"meridel_dropped_total{service=\"daytime\",reason=\"source_port\"}", 4},
      {"meridel_dropped_total{service=\"ntp\",reason=\"not_client\"}", 0},
      {"meridel_tcp_denied_total{service=\"private\"}", 9},
      {"meridel_kod_sent_total", 11},
      {"meridel_nts_replies_total", 21},
      {"meridel_nts_naks_total", 22},
      {"meridel_syncs_total", 12},
      {"meridel_sync_failures_total", 13},
      {"meridel_synchronised", 1},
      {"meridel_last_sync_timestamp_seconds", kNow - 90.5},
      {"meridel_seconds_since_last_sync", 90.5},
      {"meridel_last_sync_failure_timestamp_seconds", kNow - 1000},
      {"meridel_served_error_seconds", -0.25},
      {"meridel_frequency_correction_ppm", -12.5},
      {"meridel_root_delay_seconds", 0.0015},
      {"meridel_root_dispersion_seconds", 0.25},
      {"meridel_stratum", 2},
      {"meridel_upstream_stratum", 1},
      {"meridel_upstream_delay_seconds", 0.0015},
      {"meridel_time_held", 0},
      {"meridel_socket_open{service=\"ntp\",transport=\"udp\"}", 1},
      {"meridel_socket_open{service=\"ntp\",transport=\"tcp\"}", 0},
      {"meridel_socket_open{service=\"time\",transport=\"tcp\"}", 1},
      {"meridel_tcp_connections{service=\"time\"}", 3},
      {"meridel_paused", 0},
      {"meridel_start_time_seconds", kNow - 3600},
      {"meridel_build_info{version=\"4.2.0\"}", 1},
  };
  for (const auto& c : cases) EXPECT_DOUBLE_EQ(Value(p, c.sample), c.value) << c.sample;
  // Sockets nobody wants (a box off, a disabled service) have no sample.
  for (const char* absent : {"meridel_socket_open{service=\"time\",transport=\"udp\"}",
                             "meridel_socket_open{service=\"daytime\",transport=\"tcp\"}"})
    EXPECT_EQ(p.samples.count(absent), 0u) << absent;
}

TEST(MetricsTextTest, LabelValuesAreEscapedAndTheUpstreamNamed) {
  const std::string text = MetricsText(SyncedSnapshot(), "4.2.0 \"beta\"");
  EXPECT_NE(text.find("meridel_upstream_info{name=\"Lab \\\"clock\\\" \\\\ room\\nB\",address=\"192.0.2.1\","
                      "refid=\"GPS\"} 1\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("meridel_build_info{version=\"4.2.0 \\\"beta\\\"\"} 1\n"), std::string::npos);

  const struct {
    const char* raw;
    const char* escaped;
  } cases[] = {{"plain", "plain"},
               {"a\\b", "a\\\\b"},
               {"say \"hi\"", "say \\\"hi\\\""},
               {"two\nlines", "two\\nlines"},
               {"tab\tstays", "tab\tstays"},
               {"", ""}};
  for (const auto& c : cases) EXPECT_EQ(EscapeLabelValue(c.raw), c.escaped) << c.raw;
}

TEST(MetricsTextTest, UpstreamFamiliesAreAbsentBeforeTheFirstSynchronisation) {
  EngineSnapshot s = SyncedSnapshot();
  s.sync = SyncStatus{};
  s.sync.failures = 2;
  s.served_error_ns.reset();
  s.time_synced = false;
  s.served.stratum = 16;
  s.served.unsynchronised = true;
  const Parsed p = Parse(MetricsText(s, "4.2.0"));
  EXPECT_TRUE(p.faults.empty()) << ::testing::PrintToString(p.faults);
  for (const char* absent :
       {"meridel_last_sync_timestamp_seconds", "meridel_seconds_since_last_sync",
        "meridel_last_sync_failure_timestamp_seconds", "meridel_served_error_seconds",
        "meridel_upstream_stratum", "meridel_upstream_delay_seconds", "meridel_upstream_info"})
    EXPECT_EQ(p.types.count(absent), 0u) << absent << " is there before the first synchronisation";
  EXPECT_EQ(Value(p, "meridel_synchronised"), 0);
  EXPECT_EQ(Value(p, "meridel_stratum"), 16);
  EXPECT_EQ(Value(p, "meridel_sync_failures_total"), 2);

  // Synchronised once, but the time served has since gone unsynchronised.
  s = SyncedSnapshot();
  s.served.unsynchronised = true;
  EXPECT_EQ(Value(Parse(MetricsText(s, "4.2.0")), "meridel_synchronised"), 0);
}

TEST(MetricsTextTest, SampleValuesReadBackExactly) {
  for (double v :
       {0.0, 1.0, -1.0, 0.1, 1e-9, -0.000123, 1765360800.123456789, 18446744073709551615.0, 2.5e20}) {
    const std::string text = SampleValue(v);
    EXPECT_EQ(std::strtod(text.c_str(), nullptr), v) << text;
    EXPECT_EQ(text.find_first_of(", "), std::string::npos) << text;
  }
  EXPECT_EQ(SampleValue(3.0), "3");
  EXPECT_EQ(SampleValue(-0.0), "0");
  EXPECT_EQ(SampleValue(NAN), "NaN");
  EXPECT_EQ(SampleValue(INFINITY), "+Inf");
  EXPECT_EQ(SampleValue(-INFINITY), "-Inf");
}

}  // namespace
}  // namespace mdl
