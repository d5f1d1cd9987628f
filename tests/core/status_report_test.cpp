// The status command's texts of hand-built server snapshots.
#include "server/core/status_report.h"

#include <gtest/gtest.h>

#include <sstream>

namespace mdl {
namespace {

using std::chrono::seconds;

const UtcTime kNow = UtcFromNs(1'796'906'096'000'000'000);  // 2026-12-10T12:34:56Z

// The line of `text` whose label is `label`, value only; "" when missing.
std::string Field(const std::string& text, const std::string& label) {
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(label, 0) != 0) continue;
    const size_t colon = line.find(": ");
    if (colon != std::string::npos && line.find_first_not_of(' ', label.size()) == colon)
      return line.substr(colon + 2);
  }
  return "";
}

// The table row of a service and transport, split at runs of spaces.
std::vector<std::string> TableRow(const std::string& text, const std::string& service,
                                  const std::string& proto) {
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::vector<std::string> cells;
    std::string w;
    while (words >> w) cells.push_back(w);
    if (cells.size() >= 2 && cells[0] == service && cells[1] == proto) return cells;
  }
  return {};
}

EngineSnapshot Synchronised() {
  EngineSnapshot s;
  s.taken_at = kNow;
  s.started_at = kNow - seconds(2 * 86400 + 3661);
  s.time_synced = true;
  s.sync.first_sync = kNow - seconds(86400);
  s.sync.last_sync = kNow - seconds(65);
  s.sync.syncs = 25;
  s.sync.upstream_name = "ntp.example";
  s.sync.upstream_address = "192.0.2.7";
  s.sync.upstream_stratum = 1;
  s.sync.upstream_ref_id = {'G', 'P', 'S', 0};
  s.sync.last_path_delay_ns = 250'000;
  s.served = {2, {192, 0, 2, 7}, 0.000375, 0.0012, false};
  s.served_error_ns = -1'234'567;
  s.frequency_ppm = 12.5;
  s.sync_interval_seconds = 3540;
  s.next_sync = kNow + seconds(3475);
  ServiceView& ntp = s.services[Index(Service::kNtp)];
  ntp.enabled = ntp.tcp_box = ntp.udp_box = ntp.tcp_open = ntp.udp_open = true;
  ntp.tcp_port = ntp.udp_port = 12123;
  ntp.port_text = "12123";
  ntp.tcp_connections = 2;
  ServiceView& time = s.services[Index(Service::kTime)];
  time.enabled = time.tcp_box = time.udp_box = true;
  time.tcp_open = true;
  time.tcp_port = 37;
  time.port_text = "37";
  time.open_error = "UDP port 37: address in use";
  for (int i = 0; i < 7; ++i) s.counters.Add(Service::kNtp, Transport::kUdp);
  for (int i = 0; i < 3; ++i) s.counters.Add(Service::kNtp, Transport::kTcp);
  s.counters.Add(Service::kTime, Transport::kTcp);
  s.stats.answered[Index(Service::kNtp)][Index(Transport::kUdp)] = 4;
  s.stats.answered[Index(Service::kNtp)][Index(Transport::kTcp)] = 3;
  s.stats.udp_dropped[Index(Service::kNtp)][Index(UdpDrop::kRateLimit)] = 2;
  s.stats.udp_dropped[Index(Service::kNtp)][Index(UdpDrop::kNtpNotClient)] = 1;
  s.stats.tcp_denied[Index(Service::kDaytime)] = 5;
  s.stats.kod_sent = 1;
  s.stats.nts_replies = 6;
  s.stats.nts_naks = 2;
  return s;
}

TEST(StatusReportTest, SynchronisedServerText) {
  const std::string t = StatusText(Synchronised());
  EXPECT_EQ(Field(t, "Report time"), "2026-12-10T12:34:56Z");
  EXPECT_EQ(Field(t, "Synchronised"), "yes, since 2026-12-09T12:34:56Z");
  EXPECT_EQ(Field(t, "Last synchronisation"), "2026-12-10T12:33:51Z (00:01:05 ago)");
  EXPECT_EQ(Field(t, "Upstream"), "ntp.example (192.0.2.7)");
  EXPECT_EQ(Field(t, "Upstream stratum"), "1");
  EXPECT_EQ(Field(t, "Upstream ref id"), "GPS");
  EXPECT_EQ(Field(t, "Last step"), "-1.235 ms (upstream minus ours, before the step)");
  EXPECT_EQ(Field(t, "Frequency"), "+12.500 ppm");
  EXPECT_EQ(Field(t, "Served stratum"), "2");
  EXPECT_EQ(Field(t, "Served ref id"), "192.0.2.7");
  EXPECT_EQ(Field(t, "Root delay"), "0.000375 s");
  EXPECT_EQ(Field(t, "Root dispersion"), "0.001200 s");
  EXPECT_EQ(Field(t, "Unsynchronised"), "no");
  EXPECT_EQ(Field(t, "Synchronisations"), "25");
  EXPECT_EQ(Field(t, "Failures"), "0");
  EXPECT_EQ(Field(t, "Last failure"), "");
  EXPECT_EQ(Field(t, "Next synchronisation"), "2026-12-10T13:32:51Z (in 00:57:55)");
  EXPECT_EQ(Field(t, "Paused"), "no");
  EXPECT_EQ(Field(t, "Uptime"), "2d 01:01:01 (since 2026-12-08T11:33:55Z)");
  EXPECT_EQ(Field(t, "KoD sent"), "1");
  EXPECT_EQ(Field(t, "NTS replies"), "6 (NAKs 2)");

  // Service, proto, enabled, wanted, port, received, answered, dropped, conns, state.
  EXPECT_EQ(TableRow(t, "NTP", "UDP"),
            (std::vector<std::string>{"NTP", "UDP", "yes", "yes", "12123", "7", "4", "3", "-", "open"}));
  EXPECT_EQ(TableRow(t, "NTP", "TCP"),
            (std::vector<std::string>{"NTP", "TCP", "yes", "yes", "12123", "3", "3", "-", "2", "open"}));
  const auto time_udp = TableRow(t, "Time", "UDP");
  ASSERT_GE(time_udp.size(), 10u);
  EXPECT_EQ(time_udp[4], "37");  // closed: the port field
  EXPECT_EQ(time_udp[9], "closed:");
  EXPECT_NE(t.find("closed: UDP port 37: address in use"), std::string::npos);
  EXPECT_EQ(TableRow(t, "Daytime", "TCP"),
            (std::vector<std::string>{"Daytime", "TCP", "no", "no", "-", "0", "0", "-", "0", "off"}));
  // The columns line up: every row of the table is as wide up to its state.
  const size_t header = t.find("\nService   Proto") + 1;
  ASSERT_NE(header, 0u);
  const size_t state_col = t.find("State", header) - header;
  std::istringstream in(t.substr(header));
  std::string line;
  for (int i = 0; i < 11 && std::getline(in, line); ++i) {
    ASSERT_GT(line.size(), state_col) << line;
    EXPECT_EQ(line[state_col - 1], ' ') << line;
    EXPECT_NE(line[state_col], ' ') << line;
  }

  // The reasons that happened, and only those.
  EXPECT_NE(t.find("NTP       UDP  rate limit             2"), std::string::npos) << t;
  EXPECT_NE(t.find("NTP       UDP  not a client request   1"), std::string::npos) << t;
  EXPECT_NE(t.find("Daytime   TCP  denied network         5"), std::string::npos) << t;
  EXPECT_EQ(t.find("amplification budget"), std::string::npos);
}

TEST(StatusReportTest, UnsynchronisedPausedAndFailedServerText) {
  EngineSnapshot s;
  s.taken_at = kNow;
  s.started_at = kNow - seconds(30);
  s.paused = true;
  s.sync.failures = 2;
  s.sync.last_failure = kNow - seconds(10);
  s.sync.last_failure_text = "no reply from 192.0.2.7 within 5 s";
  s.sync.held = true;
  s.served.stratum = 16;
  s.served.unsynchronised = true;
  const std::string t = StatusText(s);
  EXPECT_EQ(Field(t, "Synchronised"), "no");
  EXPECT_EQ(Field(t, "Last synchronisation"), "never");
  EXPECT_EQ(Field(t, "Upstream"), "none yet");
  EXPECT_EQ(Field(t, "Last step"), "none");
  EXPECT_EQ(Field(t, "Time held").substr(0, 3), "yes");
  // Nothing served yet: no reply fields, which would only be defaults.
  EXPECT_EQ(Field(t, "Served"), "nothing until the first synchronisation");
  EXPECT_EQ(t.find("Served stratum"), std::string::npos);
  s.time_synced = true;  // served, then too long without a synchronisation
  EXPECT_EQ(Field(StatusText(s), "Unsynchronised").substr(0, 3), "yes");
  EXPECT_EQ(Field(StatusText(s), "Served stratum"), "16");
  s.time_synced = false;
  EXPECT_EQ(Field(t, "Failures"), "2");
  EXPECT_EQ(Field(t, "Last failure"), "2026-12-10T12:34:46Z (10.0 s ago)");
  EXPECT_EQ(Field(t, "Last failure reason"), "no reply from 192.0.2.7 within 5 s");
  EXPECT_EQ(Field(t, "Next synchronisation"), "none: paused");
  EXPECT_EQ(Field(t, "Paused"), "yes");
  EXPECT_EQ(Field(t, "Uptime"), "30.0 s (since 2026-12-10T12:34:26Z)");
  EXPECT_NE(t.find("Not answered: none"), std::string::npos);

  s.paused = false;
  s.query_pending = true;
  EXPECT_EQ(Field(StatusText(s), "Next synchronisation"), "none: a query is in flight");
  s.query_pending = false;
  s.region = "Antarctica";
  s.region_without_server = true;
  EXPECT_EQ(Field(StatusText(s), "Next synchronisation"), "none: no server in region Antarctica");
}

TEST(StatusReportTest, SeveralUpstreamsAndTheirFalsetickers) {
  EngineSnapshot s = Synchronised();
  EXPECT_EQ(Field(StatusText(s), "Upstreams"), "") << "no line for a single upstream";
  s.sync.upstreams_asked = 3;
  s.sync.upstreams_answered = 3;
  s.sync.upstreams_agreed = 2;
  s.sync.falsetickers = {"c.example (+500.1 ms)"};
  EXPECT_EQ(Field(StatusText(s), "Upstreams"),
            "3 asked, 3 answered, 2 agreed; falseticker: c.example (+500.1 ms)");
  s.sync.falsetickers.push_back("d.example (-3.0 ms)");
  s.sync.upstreams_answered = 4;
  EXPECT_EQ(Field(StatusText(s), "Upstreams"),
            "3 asked, 4 answered, 2 agreed; falseticker: c.example (+500.1 ms), d.example (-3.0 ms)");
  const std::string j = StatusJson(s);
  const std::string part =
      "\"upstreams_asked\":3,\"upstreams_answered\":4,\"upstreams_agreed\":2,"
      "\"falsetickers\":[\"c.example (+500.1 ms)\",\"d.example (-3.0 ms)\"]}";
  EXPECT_NE(j.find(part), std::string::npos) << j;
}

TEST(StatusReportTest, StepsInTheirUnit) {
  EXPECT_EQ(StepText(0), "+0.000 \xC2\xB5s");
  EXPECT_EQ(StepText(12'345), "+12.345 \xC2\xB5s");
  EXPECT_EQ(StepText(-999'999), "-999.999 \xC2\xB5s");
  EXPECT_EQ(StepText(1'000'000), "+1.000 ms");
  EXPECT_EQ(StepText(-2'500'000'000), "-2.500000 s");
  EXPECT_EQ(StepText(std::numeric_limits<int64_t>::min()).substr(0, 12), "-9223372036.");
}

TEST(StatusReportTest, JsonCarriesTheSameFacts) {
  const std::string j = StatusJson(Synchronised());
  ASSERT_FALSE(j.empty());
  EXPECT_EQ(j.front(), '{');
  EXPECT_EQ(j.substr(j.size() - 2), "}\n");
  for (
      const char* part : {
          R"("taken_at":"2026-12-10T12:34:56Z","taken_at_unix":1796906096)",
          R"("synchronised":true,"first_sync":"2026-12-09T12:34:56Z","first_sync_unix":1796819696)",
          R"("last_sync_age_s":65,)",
          R"("upstream":{"name":"ntp.example","address":"192.0.2.7","stratum":1,"ref_id":"GPS",)",
          R"("served_error_ns":-1234567,"frequency_ppm":12.5,)",
          R"("served":{"stratum":2,"ref_id":"192.0.2.7","root_delay_s":0.000375,"root_dispersion_s":0.0012,)"
          R"("unsynchronised":false})",
          R"("syncs":25,"failures":0,"last_failure":null,"last_failure_unix":null,"last_failure_text":null)",
          R"("next_sync_in_s":3475,"no_next_sync_reason":null)",
          R"("uptime_s":176461,"kod_sent":1,"nts_replies":6,"nts_naks":2,)",
          R"({"service":"ntp","enabled":true,"port_text":"12123","open_error":null,)"
          R"("tcp":{"wanted":true,"open":true,"port":12123,"received":3,"answered":3,"connections":2,"denied":0},)"
          R"("udp":{"wanted":true,"open":true,"port":12123,"received":7,"answered":4,)"
          R"("dropped":{"source_port":0,"reply_shaped":0,"not_client_request":1,"amplification_budget":0,)"
          R"("denied_network":0,"rate_limit":2}}})",
          R"("open_error":"UDP port 37: address in use")",
      })
    EXPECT_NE(j.find(part), std::string::npos) << "missing " << part << "\nin " << j;

  EngineSnapshot none;
  none.taken_at = kNow;
  none.sync.last_failure = kNow;
  none.sync.last_failure_text = "bad \"reply\"\n";
  const std::string n = StatusJson(none);
  for (const char* part : {R"("upstream":null)", R"("served_error_ns":null)", R"("last_sync_age_s":null)",
                           R"("next_sync":null,"next_sync_unix":null,"next_sync_in_s":null,)"
                           R"("no_next_sync_reason":"none scheduled")",
                           R"("last_failure_text":"bad \"reply\"\n")"})
    EXPECT_NE(n.find(part), std::string::npos) << "missing " << part << "\nin " << n;
}

}  // namespace
}  // namespace mdl
