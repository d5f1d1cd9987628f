// End-to-end: the server with access lists in its registry. A source in a
// denied network gets nothing from any service over UDP, and its TCP
// connections are closed at once without a byte; other sources are served.
// Over IPv4 (127.0.0.2 against 127.0.0.1) and IPv6 (::1, the one IPv6
// loopback address, against 127.0.0.1, which reaches the IPv4 sockets).
#include <sys/socket.h>

#include <regex>

#include "tests/e2e/harness.h"
#include "tests/support/source_ask.h"

namespace mdl::e2e {
namespace {

using testing::TcpAskFrom;
using testing::UdpAskFrom;

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

struct Probe {
  const char* name;
  uint16_t ServicePorts::*port;
  std::string udp_request;
  std::string tcp_request;
  size_t tcp_reply_size;  // 0: a line read until the server closes
};

std::vector<Probe> Probes() {
  return {{"Time", &ServicePorts::time, "", "", 4},
          {"Daytime", &ServicePorts::daytime, "x\n", "", 0},
          {"NTP", &ServicePorts::ntp, NtpPacket(3), NtpPacket(3), 48},
          {"UnixTime", &ServicePorts::unix_time, "x", "", 4},
          {"private protocol", &ServicePorts::mdl, MdlRequest(), MdlRequest(), 24}};
}

// Asks every service over both transports from `from`; checks that all are
// answered, or that none is and every connection is closed without a byte.
void ExpectServed(const ServicePorts& ports, const std::string& from, const std::string& to, bool served) {
  for (const Probe& p : Probes()) {
    SCOPED_TRACE(std::string(p.name) + " from " + from + " to " + to);
    const uint16_t port = ports.*p.port;
    auto udp = UdpAskFrom(from, to, port, Bytes(p.udp_request), served ? 1000ms : 300ms);
    EXPECT_EQ(udp.has_value(), served) << (served ? "no UDP reply" : "a UDP reply to a denied source");
    auto tcp = TcpAskFrom(from, to, port, Bytes(p.tcp_request), 1000ms,
                          p.tcp_reply_size ? p.tcp_reply_size : SIZE_MAX);
    ASSERT_TRUE(tcp.has_value()) << "no TCP connection (the listener must accept, then close)";
    if (served) {
      EXPECT_FALSE(tcp->data.empty()) << "no TCP reply";
    } else {
      EXPECT_TRUE(tcp->data.empty()) << tcp->data.size() << " bytes to a denied source over TCP";
      EXPECT_TRUE(tcp->closed_by_server) << "the connection of a denied source was left open";
    }
  }
}

// Whether this machine has ::1 (a socket can be bound to it).
bool HaveIpv6Loopback() { return testing::SocketFrom("::1", SOCK_DGRAM).valid(); }

TEST(AccessListTest, ADeniedIpv4SourceGetsNothingOnAnyServiceWhileOthersAreServed) {
  ServerRig rig;
  ASSERT_TRUE(rig.Start("59:Minute/s", "YES", "\"DenyNetworks\"=\"127.0.0.2/32\"\r\n"));
  EXPECT_TRUE(rig.server->WaitFor("access lists: 0 networks allowed, 1 denied", 1s)) << rig.server->Err();
  ExpectServed(rig.ports, "127.0.0.2", "127.0.0.1", false);
  ExpectServed(rig.ports, "127.0.0.1", "127.0.0.1", true);
  ExpectServed(rig.ports, "127.0.0.3", "127.0.0.1", true);
  // The refusals are reported on the server's ticks, at most every 10 s per
  // kind: the counts of the lines add up to the five services' refusals.
  for (const char* kind :
       {"UDP datagrams from denied networks not answered", "TCP connections from denied networks closed"}) {
    const std::regex line(std::string("access list: ([0-9]+) ") + kind +
                          "[^\n]*the latest from 127\\.0\\.0\\.2");
    size_t reported = 0;
    for (auto end = Clock::now() + 15s; Clock::now() < end; std::this_thread::sleep_for(100ms)) {
      const std::string err = rig.server->Err();
      reported = 0;
      for (std::sregex_iterator m(err.begin(), err.end(), line), none; m != none; ++m)
        reported += std::stoul((*m)[1]);
      if (reported >= 5) break;
    }
    EXPECT_EQ(reported, 5u) << kind << ":\n" << rig.server->Err();
  }
  ASSERT_TRUE(rig.StopCleanly());
}

TEST(AccessListTest, OverIpv6DenyingLoopbackSixLeavesIpv4ServedAndAnAllowListOfItTurnsThatRound) {
  if (!HaveIpv6Loopback()) GTEST_SKIP() << "this machine has no IPv6 loopback address ::1";
  {
    SCOPED_TRACE("DenyNetworks ::1/128");
    ServerRig rig;
    ASSERT_TRUE(rig.Start("59:Minute/s", "YES", "\"DenyNetworks\"=\"::1/128\"\r\n"));
    ExpectServed(rig.ports, "::1", "::1", false);
    ExpectServed(rig.ports, "127.0.0.1", "127.0.0.1", true);
    ASSERT_TRUE(rig.StopCleanly());
  }
  {
    // The upstream chronyd on 127.0.0.1 lies outside the allowed network: the
    // rig's start waits for the synchronisation, so its replies still came in.
    SCOPED_TRACE("AllowNetworks ::1");
    ServerRig rig;
    ASSERT_TRUE(rig.Start("59:Minute/s", "YES", "\"AllowNetworks\"=\"::1\"\r\n"));
    ExpectServed(rig.ports, "::1", "::1", true);
    ExpectServed(rig.ports, "127.0.0.1", "127.0.0.1", false);
    ExpectServed(rig.ports, "127.0.0.2", "127.0.0.1", false);
    ASSERT_TRUE(rig.StopCleanly());
  }
}

}  // namespace
}  // namespace mdl::e2e
