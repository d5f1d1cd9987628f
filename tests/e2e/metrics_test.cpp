// End-to-end: the server with MetricsAddress set serves its metrics; promtool
// accepts the text, the NTP requests sent show in the counters, and a real
// Prometheus on loopback scrapes them.
#include <arpa/inet.h>

#include <regex>

#include "tests/e2e/harness.h"

namespace mdl::e2e {
namespace {

constexpr int kNtpRequests = 25;
const std::string kNtpUdp = "meridel_requests_total{service=\"ntp\",transport=\"udp\"}";

// The body of an HTTP/1.0 GET of `target` on 127.0.0.1:port; empty unless the status is 200.
std::string HttpGet(uint16_t port, const std::string& target) {
  const auto reply = TcpAskText(port, "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n", 3000ms);
  if (!reply || reply->data.rfind("HTTP/1.", 0) != 0 || reply->data.find(" 200 ") != 8) return "";
  const size_t end = reply->data.find("\r\n\r\n");
  return end == std::string::npos ? "" : reply->data.substr(end + 4);
}

// The value of the sample named exactly `sample` (with its labels), or -1.
double SampleOf(const std::string& text, const std::string& sample) {
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(sample + " ", 0) == 0) return std::stod(line.substr(sample.size() + 1));
  }
  return -1;
}

TEST(MetricsTest, PrometheusScrapesTheServersCounters) {
  ASSERT_TRUE(HavePeer("/usr/bin/promtool", "prometheus"));
  ASSERT_TRUE(HavePeer("/usr/bin/prometheus", "prometheus"));
  ServerRig rig;
  const uint16_t metrics_port = testing::FreeTcpPort();
  ASSERT_NE(metrics_port, 0);
  const std::string metrics_at = "127.0.0.1:" + std::to_string(metrics_port);
  ASSERT_TRUE(rig.Start("59:Minute/s", "YES", "\"MetricsAddress\"=\"" + metrics_at + "\"\r\n"));
  ASSERT_TRUE(rig.server->WaitFor("metrics endpoint listening on http://" + metrics_at + "/metrics", 5s))
      << rig.server->Err();

  int answered = 0;
  for (int i = 0; i < kNtpRequests; ++i) answered += UdpAskText(rig.ports.ntp, NtpPacket(3)).has_value();
  EXPECT_EQ(answered, kNtpRequests);

  // Snapshots follow at most a second later.
  std::string text;
  for (const auto end = Clock::now() + 5s; Clock::now() < end; std::this_thread::sleep_for(100ms)) {
    text = HttpGet(metrics_port, "/metrics");
    if (SampleOf(text, kNtpUdp) >= kNtpRequests) break;
  }
  ASSERT_FALSE(text.empty()) << "no 200 from /metrics; server stderr:\n" << rig.server->Err();
  EXPECT_EQ(SampleOf(text, kNtpUdp), kNtpRequests) << text;
  EXPECT_EQ(SampleOf(text, "meridel_replies_total{service=\"ntp\",transport=\"udp\"}"), answered);
  EXPECT_EQ(SampleOf(text, "meridel_synchronised"), 1);
  EXPECT_EQ(SampleOf(text, "meridel_syncs_total"), 1);
  EXPECT_EQ(SampleOf(text, "meridel_socket_open{service=\"ntp\",transport=\"udp\"}"), 1);
  EXPECT_NE(text.find("meridel_upstream_info{name=\"127.0.0.1\",address=\"127.0.0.1\""), std::string::npos)
      << text;
  // The virtual clock follows the upstream: the last synchronisation was moments ago.
  const double since = SampleOf(text, "meridel_seconds_since_last_sync");
  EXPECT_GE(since, 0);
  EXPECT_LT(since, 60);
  EXPECT_NEAR(SampleOf(text, "meridel_last_sync_timestamp_seconds"), UnixNow(), 60);

  // (a) promtool reads the text without a complaint.
  const fs::path scraped = rig.dir.path() / "scraped.txt";
  WriteFile(scraped, text);
  RunResult check =
      RunToEnd(rig.dir.path(), "promtool",
               {"/bin/sh", "-c", "/usr/bin/promtool check metrics < '" + scraped.string() + "'"}, 30s);
  EXPECT_EQ(check.status, 0) << "promtool check metrics:\n" << check.out << check.err;
  EXPECT_EQ(check.out + check.err, "") << "promtool check metrics complained";

  // (b) Prometheus on loopback scrapes our endpoint every second.
  const uint16_t prometheus_port = testing::FreeTcpPort();
  ASSERT_NE(prometheus_port, 0);
  const fs::path config = rig.dir.path() / "prometheus.yml";
  WriteFile(config,
            "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n  evaluation_interval: 10s\n"
            "scrape_configs:\n  - job_name: meridel\n    static_configs:\n      - targets: ['" +
                metrics_at + "']\n");
  fs::create_directories(rig.dir.path() / "tsdb");
  Process prometheus(rig.dir.path(), "prometheus",
                     {"/usr/bin/prometheus", "--config.file=" + config.string(),
                      "--storage.tsdb.path=" + (rig.dir.path() / "tsdb").string(),
                      "--web.listen-address=127.0.0.1:" + std::to_string(prometheus_port)});
  ASSERT_TRUE(prometheus.started());
  const auto deadline = Clock::now() + 40s;
  bool ready = false;
  while (!ready && Clock::now() < deadline && prometheus.Running()) {
    ready = !HttpGet(prometheus_port, "/-/ready").empty();
    if (!ready) std::this_thread::sleep_for(200ms);
  }
  ASSERT_TRUE(ready) << "Prometheus not ready within 40 s; its stderr:\n" << prometheus.Err();
  // {service="ntp",transport="udp"}, URL-encoded.
  const std::string query =
      "/api/v1/query?query=meridel_requests_total%7Bservice%3D%22ntp%22%2Ctransport%3D%22udp%22%7D";
  static const std::regex kValue(R"re("value":\[[0-9.]+,"([0-9.e+]+)"\])re");
  std::string answer;
  double value = -1;
  while (Clock::now() < deadline && value < kNtpRequests) {
    answer = HttpGet(prometheus_port, query);
    std::smatch m;
    if (std::regex_search(answer, m, kValue)) value = std::stod(m[1].str());
    if (value < kNtpRequests) std::this_thread::sleep_for(500ms);
  }
  EXPECT_EQ(value, kNtpRequests) << "Prometheus's answer: " << answer << "\nits stderr:\n"
                                 << prometheus.Err();
  EXPECT_NE(answer.find("\"job\":\"meridel\""), std::string::npos) << answer;
  prometheus.Signal(SIGTERM);
  EXPECT_TRUE(prometheus.Wait(20s).has_value()) << "Prometheus did not end on SIGTERM";

  EXPECT_TRUE(rig.StopCleanly());
}

TEST(MetricsTest, AnUnusableOrBusyAddressLeavesTheServerRunning) {
  // A port this test holds: the endpoint cannot have it.
  UniqueFd holder(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_TRUE(holder.valid());
  const sockaddr_in any_port = Loopback(0);
  ASSERT_EQ(::bind(holder.get(), reinterpret_cast<const sockaddr*>(&any_port), sizeof any_port), 0);
  ASSERT_EQ(::listen(holder.get(), 1), 0);
  sockaddr_in bound{};
  socklen_t len = sizeof bound;
  ASSERT_EQ(::getsockname(holder.get(), reinterpret_cast<sockaddr*>(&bound), &len), 0);
  const std::string busy = "127.0.0.1:" + std::to_string(ntohs(bound.sin_port));

  const struct {
    std::string value;
    std::string line;
  } cases[] = {
      {busy, "metrics endpoint " + busy + " not opened: Address already in use"},
      {"9123", "MetricsAddress \"9123\" is not <address>:<port>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    ServerRig rig;
    ASSERT_TRUE(rig.Start("59:Minute/s", "YES", "\"MetricsAddress\"=\"" + c.value + "\"\r\n"));
    EXPECT_TRUE(rig.server->WaitFor(c.line, 5s)) << rig.server->Err();
    EXPECT_EQ(rig.server->Err().find("metrics endpoint listening"), std::string::npos);
    // The server serves on.
    EXPECT_TRUE(UdpAskText(rig.ports.ntp, NtpPacket(3)).has_value());
    EXPECT_TRUE(rig.StopCleanly());
  }
}

}  // namespace
}  // namespace mdl::e2e
