// End-to-end over IPv6: every service on [::1] with the bytes it gives over
// IPv4, real clients, an upstream on [::1], a machine without IPv6, and a
// request log that a W3C log analyser reads line by line.
#include <cmath>
#include <cstdlib>
#include <regex>
#include <set>

#include "tests/e2e/harness.h"

namespace mdl::e2e {
namespace {

// Digits masked: two replies of the same service read the same.
std::string Shape(std::string text) {
  for (char& c : text)
    if (c >= '0' && c <= '9') c = '#';
  return text;
}

std::string ReadLog(const fs::path& home) {
  std::string all;
  for (const auto& e : fs::directory_iterator(home / "Logs")) all += ReadFile(e.path());
  return all;
}

TEST(Ipv6Test, EveryServiceAnswersOnLoopbackSixAsOnFourAndTheLogReadsInGoaccess) {
  for (auto [path, package] :
       {std::pair{"/usr/bin/socat", "socat"}, std::pair{"/usr/bin/goaccess", "goaccess"},
        std::pair{"/usr/bin/webalizer", "webalizer"}, std::pair{"/usr/bin/lnav", "lnav"},
        std::pair{"/usr/bin/python3", "python3-ntplib"}})
    ASSERT_TRUE(HavePeer(path, package));
  ServerRig rig;
  ASSERT_TRUE(rig.Start());
  const ServicePorts& p = rig.ports;

  // Time and UnixTime: 4 bytes over both transports, the same second either way.
  for (uint16_t port : {p.time, p.unix_time}) {
    SCOPED_TRACE("port " + std::to_string(port));
    auto v4 = UdpAskText(port, "", 1s);
    auto v6 = UdpAskText(port, "", 1s, true);
    ASSERT_TRUE(v4 && v6) << "no UDP answer over " << (v4 ? "IPv6" : "IPv4");
    ASSERT_EQ(v6->size(), 4u);
    EXPECT_NEAR(BigEndian32(*v6, 0), BigEndian32(*v4, 0), 1.0);
    auto t6 = TcpAskText(port, "", 1s, SIZE_MAX, true);
    ASSERT_TRUE(t6.has_value()) << "no TCP connection over IPv6";
    ASSERT_EQ(t6->data.size(), 4u);
    EXPECT_NEAR(BigEndian32(t6->data, 0), BigEndian32(*v4, 0), 1.0);
  }
  // Daytime: the same text.
  {
    auto v4 = TcpAskText(p.daytime, "", 1s);
    auto v6 = TcpAskText(p.daytime, "", 1s, SIZE_MAX, true);
    ASSERT_TRUE(v4 && v6);
    EXPECT_EQ(Shape(v6->data), Shape(v4->data));
    auto u6 = UdpAskText(p.daytime, "x\n", 1s, true);
    ASSERT_TRUE(u6.has_value()) << "no Daytime UDP answer over IPv6";
    EXPECT_EQ(Shape(*u6), Shape(v4->data));
  }
  // NTP over UDP and TCP, and the private protocol.
  {
    auto u6 = UdpAskText(p.ntp, NtpPacket(3), 1s, true);
    ASSERT_TRUE(u6 && u6->size() == 48) << "no NTP answer over IPv6";
    EXPECT_EQ((*u6)[0] & 7, 4) << "server mode";
    EXPECT_EQ((*u6)[1], 2) << "stratum";
    EXPECT_NEAR(NtpTransmitUnix(*u6), UnixNow(), 0.01);
    auto t6 = TcpAskText(p.ntp, NtpPacket(3), 1s, 48, true);
    ASSERT_TRUE(t6 && t6->data.size() == 48) << "no NTP/TCP answer over IPv6";
    for (bool tcp : {false, true}) {
      SCOPED_TRACE(tcp ? "private protocol over TCP" : "private protocol over UDP");
      std::optional<std::string> reply;
      if (tcp) {
        if (auto r = TcpAskText(p.mdl, MdlRequest(), 1s, 24, true)) reply = r->data;
      } else {
        reply = UdpAskText(p.mdl, MdlRequest(), 1s, true);
      }
      ASSERT_TRUE(reply && reply->size() == 24);
      EXPECT_EQ(reply->substr(0, 8), "MDLS5UTC");
      EXPECT_EQ(reply->substr(8, 8), MdlRequest().substr(8, 8)) << "send time echoed";
    }
  }

  // Real clients over ::1.
  RunResult chrony = RunToEnd(rig.dir.path(), "chronyd_q6",
                              {"/usr/sbin/chronyd", "-Q", "-t", "5",
                               "server ::1 port " + std::to_string(p.ntp) + " iburst maxsamples 1"},
                              10s);
  std::smatch m;
  static const std::regex kWrong(R"(System clock wrong by (-?[0-9.]+) seconds)");
  const std::string chrony_log = chrony.err + chrony.out;
  ASSERT_TRUE(std::regex_search(chrony_log, m, kWrong)) << "chronyd -Q got no offset over IPv6:\n"
                                                        << chrony_log;
  EXPECT_LT(std::fabs(std::stod(m[1])), 1e-3);
  RunResult py =
      RunToEnd(rig.dir.path(), "ntplib6",
               {"/usr/bin/python3", "-c",
                "import ntplib\nr = ntplib.NTPClient().request('::1', port=" + std::to_string(p.ntp) +
                    ", timeout=3)\nprint(r.stratum)\n"},
               10s);
  EXPECT_EQ(py.out, "2\n") << py.err;
  RunResult socat = RunToEnd(rig.dir.path(), "socat6",
                             {"/usr/bin/socat", "-T1", "-", "TCP6:[::1]:" + std::to_string(p.unix_time)}, 5s);
  EXPECT_EQ(socat.out.size(), 4u) << "socat over TCP6 read [" << socat.out << "]" << socat.err;
  const fs::path client_home = rig.dir.path() / "client";
  fs::create_directories(client_home);
  WriteFile(client_home / "registry.reg",
            "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Meridel]\r\n"
            "\"MDLClient\"=\"[::1]:" +
                std::to_string(p.mdl) + ":5:Minute/s:NO\"\r\n\r\n");
  RunResult client = RunToEnd(
      rig.dir.path(), "client6",
      {(ProgramDir() / "QOR_MDLSC_SVC").string(), "-ro", "--home", client_home.string(), "--virtual-clock"},
      15s);
  EXPECT_EQ(client.status, std::optional<int>(0)) << "our client over [::1]:\n" << client.out << client.err;

  ASSERT_TRUE(rig.StopCleanly());
  const std::string log = ReadLog(rig.home());
  EXPECT_NE(log.find(" ::1 - MDLS5 "), std::string::npos) << "IPv6 requester not logged as ::1:\n" << log;
  EXPECT_NE(log.find(" 127.0.0.1 - MDLS5 "), std::string::npos) << "IPv4 requester not logged as plain IPv4";
  EXPECT_NE(log.find(" MDL+Server+Client TCP "), std::string::npos) << log;
  size_t lines = 0;
  std::set<std::string> codes;
  std::stringstream in(log);
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    ++lines;
    std::vector<std::string> fields;
    std::stringstream words(line);
    for (std::string w; words >> w;) fields.push_back(w);
    ASSERT_EQ(fields.size(), 20u) << "every line carries a value for each #Fields name: [" << line << "]";
    codes.insert(fields[16]);
  }
  ASSERT_GT(lines, 10u);

  // goaccess reads every line as valid, with the service code in its place.
  const fs::path json = rig.dir.path() / "goaccess.json";
  std::vector<std::string> args = {"/usr/bin/goaccess",
                                   "--no-global-config",
                                   "--log-format=%d %t %h %^ %^ %^ %^ %m %U %q %^ %^ %b %^ %T %^ %v %u %^ %^",
                                   "--date-format=%Y-%m-%d",
                                   "--time-format=%H:%M:%S",
                                   "-o",
                                   json.string()};
  for (const auto& e : fs::directory_iterator(rig.home() / "Logs")) args.push_back(e.path().string());
  RunResult ga = RunToEnd(rig.dir.path(), "goaccess", args, 30s);
  ASSERT_EQ(ga.status, std::optional<int>(0)) << ga.out << ga.err;
  const std::string report = ReadFile(json);
  auto number = [&](const std::string& key) {
    std::smatch n;
    const std::regex re("\"" + key + "\": *([0-9]+)");
    return std::regex_search(report, n, re) ? std::stol(n[1]) : -1L;
  };
  EXPECT_EQ(number("total_requests"), static_cast<long>(lines));
  EXPECT_EQ(number("valid_requests"), static_cast<long>(lines));
  EXPECT_EQ(number("failed_requests"), 0);
  for (const std::string& code : codes)
    EXPECT_NE(report.find("\"data\": \"" + code + "\""), std::string::npos)
        << "goaccess did not find the service " << code;

  // webalizer, which refuses a line whose values do not match #Fields, reads every one.
  const fs::path out = rig.dir.path() / "webalizer";
  fs::create_directories(out);
  // Its own configuration: the system's would read history and ignore loopback.
  WriteFile(out / "webalizer.conf", "HistoryName " + (out / "hist").string() + "\nIncremental no\n");
  std::vector<std::string> wargs = {
      "/usr/bin/webalizer", "-c", (out / "webalizer.conf").string(), "-F", "w3c", "-o", out.string()};
  for (const auto& e : fs::directory_iterator(rig.home() / "Logs")) wargs.push_back(e.path().string());
  RunResult wa = RunToEnd(rig.dir.path(), "webalizer", wargs, 30s);
  ASSERT_EQ(wa.status, std::optional<int>(0)) << wa.out << wa.err;
  std::smatch records;
  const std::string said = wa.out + wa.err;
  ASSERT_TRUE(std::regex_search(said, records, std::regex("([0-9]+) records \\(([0-9]+) ignored"))) << said;
  EXPECT_EQ(std::stol(records[1]) - std::stol(records[2]), static_cast<long>(lines)) << said;
  EXPECT_EQ(said.find(" bad"), std::string::npos) << said;

  // lnav takes every line as a W3C record.
  std::vector<std::string> largs = {"/usr/bin/lnav", "-n", "-c", ";SELECT count(*) FROM w3c_log"};
  for (const auto& e : fs::directory_iterator(rig.home() / "Logs")) largs.push_back(e.path().string());
  RunResult ln = RunToEnd(rig.dir.path(), "lnav", largs, 30s);
  ASSERT_EQ(ln.status, std::optional<int>(0)) << ln.out << ln.err;
  EXPECT_NE(ln.out.find(" " + std::to_string(lines) + " "), std::string::npos) << ln.out;
}

TEST(Ipv6Test, UpstreamOnLoopbackSixSynchronisesWithTheMd5ReferenceId) {
  ServerRig rig;
  rig.upstream_v6 = true;
  ASSERT_TRUE(rig.Start());
  EXPECT_NE(rig.server->Err().find("synchronised with ::1"), std::string::npos) << rig.server->Err();
  auto reply = UdpAskText(rig.ports.ntp, NtpPacket(3), 1s);
  ASSERT_TRUE(reply && reply->size() == 48);
  // The first four octets of MD5(::1).
  EXPECT_EQ(BigEndian32(*reply, 12), 0xcf404dc8u);
  EXPECT_NEAR(NtpTransmitUnix(*reply), UnixNow(), 0.01);
  EXPECT_TRUE(rig.StopCleanly());
}

TEST(Ipv6Test, WithoutIpv6EveryServiceRunsOnIpv4AndSaysSoOnce) {
  ServerRig rig;
  const char* asan = std::getenv("ASAN_OPTIONS");
  rig.environment = {"LD_PRELOAD=" + (ProgramDir() / "libmdl_no_ipv6.so").string(),
                     // the preloaded library comes before the sanitizer's runtime
                     "ASAN_OPTIONS=" + std::string(asan ? asan : "") + ":verify_asan_link_order=0"};
  ASSERT_TRUE(rig.Start());
  EXPECT_EQ(CountOf(rig.server->Err(), "IPv6 is not available"), 1u) << rig.server->Err();
  EXPECT_EQ(CountOf(rig.server->Err(), "cannot open"), 0u) << rig.server->Err();
  auto v4 = UdpAskText(rig.ports.time, "", 1s);
  EXPECT_TRUE(v4 && v4->size() == 4) << "Time over IPv4 must still answer";
  EXPECT_FALSE(UdpAskText(rig.ports.time, "", 300ms, true).has_value());
  auto mdl = TcpAskText(rig.ports.mdl, MdlRequest(), 1s, 24);
  EXPECT_TRUE(mdl && mdl->data.size() == 24);
  EXPECT_TRUE(rig.StopCleanly());
}

}  // namespace
}  // namespace mdl::e2e
