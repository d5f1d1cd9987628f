// Replies leave through a second socket on the served port: every request
// must still reach the receiving socket, replies must come from the served
// port, and the port must stay refused to others as a plain socket's is.
#include "common/net/udp_socket.h"

#include "common/clock/system_clock.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace mdl::net {
namespace {

class PortEcho : public UdpReceiver {
 public:
  void OnDatagram(const Datagram& d) override {
    std::vector<uint8_t> reply(d.data.begin(), d.data.end());
    d.socket->SendTo(reply, d.from, /*stamp=*/false);
    ++seen;
  }
  int seen = 0;
};

// A client socket of `family` with a short receive timeout; -1 on failure.
int PlainClient(int family) {
  const int fd = ::socket(family, SOCK_DGRAM, 0);
  if (fd < 0) return -1;
  // Replies are on loopback by the time the server has handled the requests.
  timeval tv{0, 200'000};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return fd;
}

sockaddr_storage LoopbackAt(int family, uint16_t port) {
  sockaddr_storage s{};
  if (family == AF_INET) {
    auto* a = reinterpret_cast<sockaddr_in*>(&s);
    a->sin_family = AF_INET;
    a->sin_port = htons(port);
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  } else {
    auto* a = reinterpret_cast<sockaddr_in6*>(&s);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(port);
    a->sin6_addr = in6addr_loopback;
  }
  return s;
}

socklen_t AddressLength(int family) { return family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6); }

uint16_t PortIn(const sockaddr_storage& s) {
  return ntohs(s.ss_family == AF_INET ? reinterpret_cast<const sockaddr_in&>(s).sin_port
                                      : reinterpret_cast<const sockaddr_in6&>(s).sin6_port);
}

// One request from each of `clients` new sockets (each its own source port,
// so the kernel's choice among the port's sockets varies); how many echoes
// came back from the served port.
int AskFromManyPorts(boost::asio::io_context& io, PortEcho& echo, int family, uint16_t port, int clients) {
  std::vector<int> fds;
  const sockaddr_storage to = LoopbackAt(family, port);
  for (int i = 0; i < clients; ++i) {
    const int fd = PlainClient(family);
    if (fd < 0) break;
    fds.push_back(fd);
    uint8_t req[8] = {};
    std::memcpy(req, &i, sizeof i);
    if (::sendto(fd, req, sizeof req, 0, reinterpret_cast<const sockaddr*>(&to), AddressLength(family)) != 8)
      break;
  }
  const int want = echo.seen + static_cast<int>(fds.size());
  io.restart();
  while (echo.seen < want && io.run_one_for(std::chrono::seconds(2))) {
  }
  int answered = 0;
  for (size_t i = 0; i < fds.size(); ++i) {
    uint8_t buf[16];
    sockaddr_storage from{};
    socklen_t from_len = sizeof from;
    const ssize_t n = ::recvfrom(fds[i], buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &from_len);
    int index = -1;
    if (n == 8) std::memcpy(&index, buf, sizeof index);
    if (n == 8 && index == static_cast<int>(i) && PortIn(from) == port) ++answered;
    ::close(fds[i]);
  }
  return answered;
}

TEST(UdpReplySocket, EveryRequestReachesTheServerAndIsAnsweredFromItsPort) {
  boost::asio::io_context io;
  SystemClock clock;
  for (const char* address : {"127.0.0.1", "::"}) {
    SCOPED_TRACE(address);
    UdpSocket server(io, clock);
    ASSERT_FALSE(server.Bind(boost::asio::ip::make_address(address), 0));
    PortEcho echo;
    server.Start(&echo);
    EXPECT_EQ(AskFromManyPorts(io, echo, AF_INET, server.local_port(), 64), 64);
    if (std::string_view(address) == "::") {
      const int probe = ::socket(AF_INET6, SOCK_DGRAM, 0);
      const sockaddr_storage any6 = LoopbackAt(AF_INET6, 0);
      const bool v6 =
          probe >= 0 && ::bind(probe, reinterpret_cast<const sockaddr*>(&any6), AddressLength(AF_INET6)) == 0;
      if (probe >= 0) ::close(probe);
      if (v6) {
        EXPECT_EQ(AskFromManyPorts(io, echo, AF_INET6, server.local_port(), 64), 64);
      }
    }
    EXPECT_EQ(server.send_errors(), 0u);
  }
}

TEST(UdpReplySocket, TheServedPortStaysRefusedToOthersAndIsFreeAfterClose) {
  boost::asio::io_context io;
  SystemClock clock;
  UdpSocket server(io, clock);
  const auto loopback = boost::asio::ip::make_address("127.0.0.1");
  ASSERT_FALSE(server.Bind(loopback, 0));
  const uint16_t port = server.local_port();
  PortEcho echo;
  server.Start(&echo);

  // Another socket of ours, and a plain one, are refused the port.
  UdpSocket second(io, clock);
  EXPECT_EQ(second.Bind(loopback, port), std::make_error_code(std::errc::address_in_use));
  const sockaddr_storage at = LoopbackAt(AF_INET, port);
  const int plain = ::socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(plain, 0);
  EXPECT_NE(::bind(plain, reinterpret_cast<const sockaddr*>(&at), AddressLength(AF_INET)), 0);
  ::close(plain);

  // A socket that asks to share the port may join, but is handed nothing.
  const int joiner = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
  ASSERT_GE(joiner, 0);
  int one = 1;
  ::setsockopt(joiner, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
  const bool joined = ::bind(joiner, reinterpret_cast<const sockaddr*>(&at), AddressLength(AF_INET)) == 0;
  EXPECT_EQ(AskFromManyPorts(io, echo, AF_INET, port, 64), 64);
  if (joined) {
    uint8_t buf[16];
    EXPECT_LT(::recv(joiner, buf, sizeof buf, 0), 0) << "a request went to a socket that joined the port";
  }
  ::close(joiner);

  // Closed, the port (and its reply socket) is free: bound again, it answers.
  server.Close();
  io.restart();
  io.poll();
  ASSERT_FALSE(server.Bind(loopback, port));
  server.Start(&echo);
  EXPECT_EQ(AskFromManyPorts(io, echo, AF_INET, port, 16), 16);
  server.Close();
  const int after = ::socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(after, 0);
  EXPECT_EQ(::bind(after, reinterpret_cast<const sockaddr*>(&at), AddressLength(AF_INET)), 0)
      << "a socket of the closed server still holds the port";
  ::close(after);
}

// A socket of `family` bound to the port on the any address: whether the bind
// succeeded (an IPv6 one takes IPv6 alone).
bool PlainBindsAny(int family, uint16_t port) {
  const int fd = ::socket(family, SOCK_DGRAM, 0);
  if (fd < 0) return false;
  sockaddr_storage at{};
  at.ss_family = static_cast<sa_family_t>(family);
  if (family == AF_INET) {
    reinterpret_cast<sockaddr_in&>(at).sin_port = htons(port);
  } else {
    int one = 1;
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    reinterpret_cast<sockaddr_in6&>(at).sin6_port = htons(port);
  }
  const bool ok = ::bind(fd, reinterpret_cast<const sockaddr*>(&at), AddressLength(family)) == 0;
  ::close(fd);
  return ok;
}

// Sockets bound to `port` in the system's table of one family (/proc/net/udp or udp6).
int InTable(const char* table, uint16_t port) {
  std::ifstream in(std::string("/proc/net/") + table);
  char hex[8];
  std::snprintf(hex, sizeof hex, ":%04X ", port);
  int n = 0;
  for (std::string line; std::getline(in, line);) {
    const size_t local = line.find(':', line.find(':') + 1);  // after "sl:", the local address's port
    if (local != std::string::npos && line.compare(local, 6, hex) == 0) ++n;
  }
  return n;
}

bool HasIpv6() {
  const int fd = ::socket(AF_INET6, SOCK_DGRAM, 0);
  if (fd < 0) return false;
  const sockaddr_storage at = LoopbackAt(AF_INET6, 0);
  const bool ok = ::bind(fd, reinterpret_cast<const sockaddr*>(&at), AddressLength(AF_INET6)) == 0;
  ::close(fd);
  return ok;
}

// "::" is an IPv4 socket and an IPv6-only one on one port number: the port is
// held in both families or refused, and freed in both.
TEST(UdpReplySocket, TheAnyAddressHoldsThePortInBothFamiliesOrNotAtAll) {
  if (!HasIpv6()) GTEST_SKIP() << "no IPv6 on this machine";
  boost::asio::io_context io;
  SystemClock clock;
  const auto any = boost::asio::ip::make_address("::");
  // Ephemeral ports, many times over: each is free in both families.
  for (int i = 0; i < 20; ++i) {
    UdpSocket server(io, clock);
    ASSERT_FALSE(server.Bind(any, 0));
    const uint16_t port = server.local_port();
    EXPECT_FALSE(PlainBindsAny(AF_INET, port)) << port;
    EXPECT_FALSE(PlainBindsAny(AF_INET6, port)) << port;
  }

  UdpSocket server(io, clock);
  ASSERT_FALSE(server.Bind(any, 0));
  const uint16_t port = server.local_port();
  // IPv4 has a socket (with its reply socket) of its own, not the IPv6 one's mapped addresses.
  EXPECT_EQ(InTable("udp", port), 2);
  EXPECT_EQ(InTable("udp6", port), 2);
  PortEcho echo;
  server.Start(&echo);
  EXPECT_EQ(AskFromManyPorts(io, echo, AF_INET, port, 8), 8);
  EXPECT_EQ(AskFromManyPorts(io, echo, AF_INET6, port, 8), 8);
  server.Close();
  io.restart();
  io.poll();
  EXPECT_TRUE(PlainBindsAny(AF_INET, port));
  EXPECT_TRUE(PlainBindsAny(AF_INET6, port));

  // Either half taken by someone else: refused as in use, and nothing kept.
  for (int family : {AF_INET, AF_INET6}) {
    SCOPED_TRACE(family == AF_INET ? "IPv4 half taken" : "IPv6 half taken");
    UdpSocket holder(io, clock);
    ASSERT_FALSE(holder.Bind(boost::asio::ip::make_address(family == AF_INET ? "0.0.0.0" : "::1"), port));
    EXPECT_EQ(server.Bind(any, port), std::make_error_code(std::errc::address_in_use));
    EXPECT_FALSE(server.IsOpen());
    holder.Close();
    EXPECT_TRUE(PlainBindsAny(AF_INET, port));
    EXPECT_TRUE(PlainBindsAny(AF_INET6, port));
  }
  ASSERT_FALSE(server.Bind(any, port));
  server.Start(&echo);
  EXPECT_EQ(AskFromManyPorts(io, echo, AF_INET, port, 4), 4);
}

}  // namespace
}  // namespace mdl::net
