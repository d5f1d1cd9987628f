// End-to-end: the server synchronises from a chronyd upstream and serves NTP
// and the Time protocol to real clients.
#include <algorithm>
#include <cmath>
#include <ctime>
#include <regex>

#include "tests/e2e/harness.h"

namespace mdl::e2e {
namespace {

// Offset measured by `chronyd -Q` against 127.0.0.1:port, in seconds.
std::optional<double> ChronyOffset(const fs::path& dir, uint16_t port, std::string* log) {
  RunResult r = RunToEnd(dir, "chronyd_q",
                         {"/usr/sbin/chronyd", "-Q", "-t", "5",
                          "server 127.0.0.1 port " + std::to_string(port) + " iburst maxsamples 1"},
                         10s);
  *log = r.err + r.out;
  std::smatch m;
  static const std::regex kWrong(R"(System clock wrong by (-?[0-9.]+) seconds)");
  if (!std::regex_search(*log, m, kWrong)) return std::nullopt;
  return std::stod(m[1].str());
}

// Unix time read by `rdate -p` (prints ctime-like local time).
std::optional<double> RdateTime(const fs::path& dir, bool udp, std::string* log) {
  std::vector<std::string> args = {"/usr/sbin/rdate", "-p"};
  if (udp) args.push_back("-u");
  args.push_back("127.0.0.1");
  RunResult r = RunToEnd(dir, udp ? "rdate_udp" : "rdate_tcp", args, 10s);
  *log = "status " + (r.status ? std::to_string(*r.status) : std::string("none")) + "\n" + r.out + r.err;
  if (r.status != 0) return std::nullopt;
  // "Tue Dec  8 05:42:01 UTC 2026": local time, zone name, year.
  std::smatch m;
  static const std::regex kDate(R"((\w{3} \w{3} +\d+ \d\d:\d\d:\d\d) \S+ (\d{4}))");
  if (!std::regex_search(r.out, m, kDate)) return std::nullopt;
  std::tm tm{};
  if (!strptime((m[1].str() + " " + m[2].str()).c_str(), "%a %b %d %H:%M:%S %Y", &tm)) return std::nullopt;
  tm.tm_isdst = -1;
  return static_cast<double>(std::mktime(&tm));
}

TEST(SyncNtpTest, ServerSynchronisesFromUpstreamAndServesAccurateNtpAndTime) {
  ASSERT_TRUE(HavePeer("/usr/sbin/rdate", "rdate"));
  ASSERT_TRUE(HavePeer("/usr/bin/python3", "python3"));
  ServerRig rig;
  const bool port37_free = testing::TcpPortFree(37) && testing::UdpPortFree(37);
  if (port37_free) rig.ports.time = 37;
  ASSERT_TRUE(rig.Start());
  EXPECT_NE(rig.server->Err().find("synchronised with 127.0.0.1"), std::string::npos)
      << "no synchronisation line on stderr:\n"
      << rig.server->Err();

  // Offset seen by chronyd as a client: median of five queries.
  std::vector<double> offsets;
  std::string log;
  for (int i = 0; i < 5; ++i) {
    auto off = ChronyOffset(rig.dir.path(), rig.ports.ntp, &log);
    ASSERT_TRUE(off.has_value()) << "chronyd -Q got no offset from our NTP port:\n" << log;
    offsets.push_back(std::fabs(*off));
  }
  std::sort(offsets.begin(), offsets.end());
  EXPECT_LT(offsets[2], 100e-6) << "median offset measured by chronyd -Q is " << offsets[2] << " s";

  // Stratum and reference id seen by ntplib.
  RunResult py = RunToEnd(rig.dir.path(), "ntplib",
                          {"/usr/bin/python3", "-c",
                           "import ntplib\n"
                           "r = ntplib.NTPClient().request('127.0.0.1', port=" +
                               std::to_string(rig.ports.ntp) +
                               ", version=4, timeout=3)\n"
                               "print(r.stratum, ntplib.ref_id_to_text(r.ref_id, r.stratum))\n"},
                          10s);
  ASSERT_TRUE(py.status.has_value() && *py.status == 0 && py.err.find("No module named") == std::string::npos)
      << "python3 ntplib query failed (install the Debian package 'python3-ntplib'):\n"
      << py.err;
  EXPECT_EQ(py.out, "2 127.0.0.1\n") << "ntplib should read stratum 2 and refid 127.0.0.1";

  // Time protocol over TCP and UDP.
  if (port37_free) {
    for (bool udp : {false, true}) {
      auto t = RdateTime(rig.dir.path(), udp, &log);
      ASSERT_TRUE(t.has_value()) << "rdate" << (udp ? " -u" : "") << " failed:\n" << log;
      EXPECT_NEAR(*t, UnixNow(), 1.5) << "rdate" << (udp ? " -u" : "") << " read a wrong time: " << log;
    }
  } else {
    std::cout << "[ note ] port 37 is held by another program: the Time service is read with the test's own "
                 "client\n";
  }
  auto tcp = TcpAskText(rig.ports.time, "", 3s);
  ASSERT_TRUE(tcp && tcp->closed_by_server && tcp->data.size() == 4) << "Time/TCP did not answer 4 bytes";
  EXPECT_NEAR(BigEndian32(tcp->data, 0) - kNtpToUnix, UnixNow(), 1.5) << "Time/TCP served a wrong time";
  auto udp = UdpAskText(rig.ports.time, "", 3s);
  ASSERT_TRUE(udp.has_value() && udp->size() == 4) << "Time/UDP did not answer 4 bytes";
  EXPECT_NEAR(BigEndian32(*udp, 0) - kNtpToUnix, UnixNow(), 1.5) << "Time/UDP served a wrong time";

  // A server-mode datagram is never answered (no ping-pong between servers); a client one is.
  EXPECT_FALSE(UdpAskText(rig.ports.ntp, NtpPacket(4), 1s).has_value())
      << "the server answered a mode-4 packet";
  auto reply = UdpAskText(rig.ports.ntp, NtpPacket(3), 2s);
  ASSERT_TRUE(reply.has_value() && reply->size() >= 48) << "the server did not answer a client request";
  EXPECT_EQ((*reply)[0] & 7, 4) << "reply is not in server mode";
  EXPECT_NEAR(NtpTransmitUnix(*reply), UnixNow(), 0.01) << "NTP transmit time is off";
  EXPECT_TRUE(rig.StopCleanly());
}

}  // namespace
}  // namespace mdl::e2e
