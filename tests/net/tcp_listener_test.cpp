// The TCP listener's slot array over real loopback connections.
#include "common/net/tcp_listener.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "common/clock/virtual_clock.h"

namespace mdl::net {
namespace {

class NullHandler : public TcpHandler {
 public:
  void OnAccept(TcpSlot& slot) override {
    ++accepted;
    if (deadline.count() > 0) slot.ExpireAfter(deadline);
  }
  void OnData(TcpSlot& slot, std::span<const uint8_t>) override {
    ++requests;
    slot.Touch();
  }
  void OnClosed(TcpSlot& slot) override { closed.push_back(slot.index()); }
  int accepted = 0;
  int requests = 0;
  std::chrono::milliseconds deadline{0};
  std::vector<int> closed;
};

// Whether the listener closed `fd` (end of stream) yet.
bool PeerClosed(int fd) {
  char b;
  return ::recv(fd, &b, 1, MSG_DONTWAIT) == 0;
}

int ConnectTo(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  return fd;
}

// Runs the loop until `done` holds or a bounded number of rounds passed.
template <typename F>
void RunUntil(boost::asio::io_context& io, F done) {
  for (int i = 0; i < 400 && !done(); ++i) {
    io.restart();
    io.run_for(std::chrono::milliseconds(5));
  }
}

TEST(TcpListener, SlotsAreReusedLowestFirst) {
  boost::asio::io_context io;
  VirtualClock clock(UtcFromNs(0));
  NullHandler handler;
  TcpListener listener(io, clock, handler);
  ASSERT_FALSE(listener.Listen(boost::asio::ip::address_v4::loopback(), 0));
  const uint16_t port = listener.local_port();
  int a = ConnectTo(port);
  int b = ConnectTo(port);
  RunUntil(io, [&] { return listener.open_count() == 2; });
  ASSERT_EQ(listener.slot_count(), 2u);
  EXPECT_TRUE(listener.slot(1)->IsOpen());
  EXPECT_TRUE(listener.slot(2)->IsOpen());
  ::close(a);
  ::close(b);
  RunUntil(io, [&] { return listener.open_count() == 0; });
  EXPECT_EQ(listener.open_count(), 0u);
  int c = ConnectTo(port);
  RunUntil(io, [&] { return handler.accepted == 3; });
  EXPECT_EQ(listener.slot_count(), 2u) << "a closed slot must be reused, not a new one made";
  EXPECT_TRUE(listener.slot(1)->IsOpen()) << "the lowest free slot comes first";
  EXPECT_FALSE(listener.slot(2)->IsOpen());
  ::close(c);
}

TEST(TcpListener, ConnectionsFromOneAddressAreCappedAndTheOldestIdleMakesRoomAtTheServiceCap) {
  boost::asio::io_context io;
  VirtualClock clock(UtcFromNs(0));
  NullHandler handler;
  TcpListener listener(io, clock, handler);
  listener.SetMaxPerAddress(2);
  listener.SetMaxConnections(3);
  ASSERT_FALSE(listener.Listen(boost::asio::ip::address_v4::loopback(), 0));
  const uint16_t port = listener.local_port();
  int a = ConnectTo(port);
  int b = ConnectTo(port);
  RunUntil(io, [&] { return listener.open_count() == 2; });
  int c = ConnectTo(port);  // a third from 127.0.0.1
  RunUntil(io, [&] { return listener.refused_per_address() == 1; });
  EXPECT_EQ(listener.refused_per_address(), 1u);
  EXPECT_EQ(listener.open_count(), 2u);
  RunUntil(io, [&] { return PeerClosed(c); });
  EXPECT_TRUE(PeerClosed(c));
  // Without the per-address cap the service cap holds: the oldest idle one goes.
  listener.SetMaxPerAddress(0);
  int d = ConnectTo(port);
  int e = ConnectTo(port);
  RunUntil(io, [&] { return listener.evicted_idle() == 1; });
  EXPECT_EQ(listener.evicted_idle(), 1u);
  EXPECT_EQ(listener.refused_over_cap(), 0u);
  EXPECT_EQ(listener.open_count(), 3u);
  RunUntil(io, [&] { return PeerClosed(a); });
  EXPECT_TRUE(PeerClosed(a)) << "the oldest connection is the one closed";
  EXPECT_FALSE(PeerClosed(b));
  for (int fd : {a, b, c, d, e}) ::close(fd);
}

TEST(TcpListener, ADeadlineSetWhileAcceptingReplacesTheIdleTimeout) {
  boost::asio::io_context io;
  VirtualClock clock(UtcFromNs(0));
  NullHandler handler;
  handler.deadline = std::chrono::milliseconds(50);
  TcpListener listener(io, clock, handler);
  listener.SetIdleTimeout(std::chrono::milliseconds(30000));
  ASSERT_FALSE(listener.Listen(boost::asio::ip::address_v4::loopback(), 0));
  int a = ConnectTo(listener.local_port());
  RunUntil(io, [&] { return handler.accepted == 1; });
  ASSERT_EQ(listener.open_count(), 1u);
  clock.advance(std::chrono::milliseconds(49));
  EXPECT_EQ(listener.open_count(), 1u) << "the deadline is not due yet";
  clock.advance(std::chrono::milliseconds(1));
  EXPECT_EQ(listener.open_count(), 0u);
  EXPECT_EQ(handler.closed.size(), 1u) << "closed by the deadline, not after the idle time-out";
  RunUntil(io, [&] { return PeerClosed(a); });
  EXPECT_TRUE(PeerClosed(a));
  ::close(a);
}

// The idle time-out runs on the listener's clock: thirty idle seconds of a
// manual clock pass without waiting, and a request restarts the count.
TEST(TcpListener, AnIdleConnectionClosesWhenTheManualClockPassesItsTimeout) {
  boost::asio::io_context io;
  VirtualClock clock(UtcFromNs(0));
  NullHandler handler;
  TcpListener listener(io, clock, handler);
  listener.SetIdleTimeout(std::chrono::seconds(30));
  ASSERT_FALSE(listener.Listen(boost::asio::ip::address_v4::loopback(), 0));
  int a = ConnectTo(listener.local_port());
  RunUntil(io, [&] { return handler.accepted == 1; });
  ASSERT_EQ(listener.open_count(), 1u);
  EXPECT_EQ(clock.pending_timers(), 1u) << "the idle time-out is a timer of the clock";
  clock.advance(std::chrono::seconds(20));
  ASSERT_EQ(::send(a, "x", 1, 0), 1);
  RunUntil(io, [&] { return handler.requests == 1; });
  ASSERT_EQ(handler.requests, 1);
  clock.advance(std::chrono::seconds(29));
  EXPECT_EQ(listener.open_count(), 1u) << "the request at 20 s restarted the time-out";
  clock.advance(std::chrono::seconds(1));
  EXPECT_EQ(listener.open_count(), 0u);
  ASSERT_EQ(handler.closed, std::vector<int>{1});
  EXPECT_EQ(clock.pending_timers(), 0u);
  RunUntil(io, [&] { return PeerClosed(a); });
  EXPECT_TRUE(PeerClosed(a));
  ::close(a);
}

// Listening sockets on `port` in the system's table of one family (/proc/net/tcp or tcp6).
int ListeningIn(const char* table, uint16_t port) {
  std::ifstream in(std::string("/proc/net/") + table);
  char hex[8];
  std::snprintf(hex, sizeof hex, ":%04X ", port);
  int n = 0;
  for (std::string line; std::getline(in, line);) {
    const size_t local = line.find(':', line.find(':') + 1);  // after "sl:", the local address's port
    // State 0A: listening.
    if (local != std::string::npos && line.compare(local, 6, hex) == 0 &&
        line.find(" 0A ") != std::string::npos)
      ++n;
  }
  return n;
}

int ConnectTo6(uint16_t port) {
  int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  a.sin6_port = htons(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// "::" is an IPv4 listener and an IPv6-only one on one port number: both
// families are accepted (IPv4 peers as IPv4), paused and resumed together,
// and the port is held in both or refused.
TEST(TcpListener, TheAnyAddressListensInBothFamiliesOnOnePort) {
  const int probe = ::socket(AF_INET6, SOCK_STREAM, 0);
  sockaddr_in6 loopback6{};
  loopback6.sin6_family = AF_INET6;
  loopback6.sin6_addr = in6addr_loopback;
  const bool has_v6 =
      probe >= 0 && ::bind(probe, reinterpret_cast<sockaddr*>(&loopback6), sizeof loopback6) == 0;
  if (probe >= 0) ::close(probe);
  if (!has_v6) GTEST_SKIP() << "no IPv6 on this machine";
  boost::asio::io_context io;
  VirtualClock clock(UtcFromNs(0));
  NullHandler handler;
  TcpListener listener(io, clock, handler);
  const auto any = boost::asio::ip::make_address("::");
  ASSERT_FALSE(listener.Listen(any, 0));
  const uint16_t port = listener.local_port();
  EXPECT_EQ(ListeningIn("tcp", port), 1);
  EXPECT_EQ(ListeningIn("tcp6", port), 1);

  listener.SetPaused(true);
  int a = ConnectTo(port);
  int b = ConnectTo6(port);
  ASSERT_GE(b, 0);
  io.restart();
  io.run_for(std::chrono::milliseconds(20));
  EXPECT_EQ(handler.accepted, 0) << "accepted while paused";
  listener.SetPaused(false);
  RunUntil(io, [&] { return listener.open_count() == 2; });
  ASSERT_EQ(listener.open_count(), 2u);
  int v4 = 0, v6 = 0;
  for (int i = 1; i <= 2; ++i) {
    const TcpSlot* s = listener.slot(i);
    (s->remote().address().is_v4() ? v4 : v6) += 1;
    EXPECT_EQ(s->local_port(), port);
  }
  EXPECT_EQ(v4, 1);
  EXPECT_EQ(v6, 1);
  ::close(a);
  ::close(b);

  // Either half held by another listener: refused as in use, nothing kept.
  listener.Close();
  for (const char* other : {"0.0.0.0", "::1"}) {
    SCOPED_TRACE(other);
    NullHandler h;
    TcpListener holder(io, clock, h);
    ASSERT_FALSE(holder.Listen(boost::asio::ip::make_address(other), port));
    EXPECT_EQ(listener.Listen(any, port), std::make_error_code(std::errc::address_in_use));
    EXPECT_FALSE(listener.IsListening());
    EXPECT_EQ(ListeningIn("tcp", port) + ListeningIn("tcp6", port), 1);
  }
  ASSERT_FALSE(listener.Listen(any, port));
  int c = ConnectTo(port);
  RunUntil(io, [&] { return handler.accepted == 3; });
  EXPECT_EQ(handler.accepted, 3);
  ::close(c);
  listener.CloseAll();
  EXPECT_EQ(ListeningIn("tcp", port) + ListeningIn("tcp6", port), 0);
}

}  // namespace
}  // namespace mdl::net
