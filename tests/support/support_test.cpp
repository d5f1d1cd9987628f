// The shared test helpers: free ports really are free and distinct, the
// loopback clients return what a peer sent and end by themselves, and
// temporary folders go away with everything in them.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

#include "tests/support/loopback_ask.h"
#include "tests/support/ports.h"
#include "tests/support/temp_dir.h"

namespace mdl::testing {
namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

// Bound as the programs under test bind: a listener takes a port whose
// earlier connections (of another test, say) linger in TIME_WAIT.
UniqueFd BoundSocket(int type, uint16_t port) {
  UniqueFd s(::socket(AF_INET, type, 0));
  int one = 1;
  if (type == SOCK_STREAM) ::setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a = Loopback(port);
  if (::bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return UniqueFd();
  return s;
}

TEST(FreePorts, AreDistinctAndBindableForTheirKinds) {
  std::set<uint16_t> seen;
  for (int i = 0; i < 20; ++i) {
    const uint16_t both = FreePort();
    ASSERT_NE(both, 0);
    EXPECT_TRUE(seen.insert(both).second) << "port " << both << " handed out twice";
    EXPECT_TRUE(BoundSocket(SOCK_STREAM, both).valid()) << both;
    EXPECT_TRUE(BoundSocket(SOCK_DGRAM, both).valid()) << both;
  }
  const uint16_t udp = FreeUdpPort(), tcp = FreeTcpPort();
  EXPECT_TRUE(seen.insert(udp).second && seen.insert(tcp).second);
  EXPECT_TRUE(BoundSocket(SOCK_DGRAM, udp).valid());
  EXPECT_TRUE(BoundSocket(SOCK_STREAM, tcp).valid());
}

TEST(UdpAsk, ReturnsThePeersReplyAndGivesUpOnSilence) {
  const uint16_t port = FreeUdpPort();
  UniqueFd peer = BoundSocket(SOCK_DGRAM, port);
  ASSERT_TRUE(peer.valid());
  std::thread echo([&] {
    for (int i = 0; i < 2 && WaitReadable(peer.get(), 3s); ++i) {
      char buf[64];
      sockaddr_in from{};
      socklen_t len = sizeof from;
      ssize_t n = ::recvfrom(peer.get(), buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
      if (n < 0) break;
      buf[0] = static_cast<char>(buf[0] + 1);
      ::sendto(peer.get(), buf, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), len);
    }
  });
  EXPECT_EQ(UdpAsk(port, Bytes{1, 2, 3}), (Bytes{2, 2, 3}));
  EXPECT_EQ(UdpAskText(port, "abc"), "bbc");
  echo.join();

  const auto start = Steady::now();
  EXPECT_FALSE(UdpAsk(port, Bytes{1}, 200ms).has_value()) << "nobody answers now";
  const auto waited = Steady::now() - start;
  EXPECT_GE(waited, 190ms);
  EXPECT_LT(waited, 2s);
  peer.Reset();
  EXPECT_FALSE(UdpAskText(port, "x", 200ms).has_value()) << "the port is closed";
}

// Accepts one connection, reads one request, answers "<request>!" and closes
// (or keeps the connection open when `hold`).
void ServeOnce(int listener, bool hold) {
  if (!WaitReadable(listener, 3s)) return;
  UniqueFd c(::accept(listener, nullptr, nullptr));
  char buf[64];
  ssize_t n = WaitReadable(c.get(), 3s) ? ::recv(c.get(), buf, sizeof buf, 0) : 0;
  std::string reply = std::string(buf, static_cast<size_t>(std::max<ssize_t>(n, 0))) + "!";
  ::send(c.get(), reply.data(), reply.size(), MSG_NOSIGNAL);
  if (hold) WaitReadable(c.get(), 3s);
}

TEST(TcpAsk, ReadsToTheClosePartsAndTimesOut) {
  const uint16_t port = FreeTcpPort();
  UniqueFd listener = BoundSocket(SOCK_STREAM, port);
  ASSERT_TRUE(listener.valid());
  ASSERT_EQ(::listen(listener.get(), 4), 0);

  std::thread server([&] { ServeOnce(listener.get(), false); });
  auto whole = TcpAskText(port, "time", 2s);
  server.join();
  ASSERT_TRUE(whole.has_value());
  EXPECT_EQ(whole->data, "time!");
  EXPECT_TRUE(whole->closed_by_server);

  server = std::thread([&] { ServeOnce(listener.get(), false); });
  auto part = TcpAsk(port, Bytes{'a', 'b', 'c'}, 2s, 2);
  server.join();
  ASSERT_TRUE(part.has_value());
  EXPECT_EQ(part->data, (Bytes{'a', 'b'}));
  EXPECT_FALSE(part->closed_by_server);

  server = std::thread([&] { ServeOnce(listener.get(), true); });
  const auto start = Steady::now();
  auto held = TcpAskText(port, "x", 300ms);
  const auto waited = Steady::now() - start;
  server.join();
  ASSERT_TRUE(held.has_value());
  EXPECT_EQ(held->data, "x!");
  EXPECT_FALSE(held->closed_by_server);
  EXPECT_GE(waited, 290ms);
  EXPECT_LT(waited, 2500ms);

  listener.Reset();
  EXPECT_FALSE(TcpAsk(port).has_value()) << "nothing listens any more";
  EXPECT_FALSE(TcpConnect(port, 300ms).valid());
}

TEST(TempDir, ListsEntriesAndIsRemovedEvenWhenLockedDown) {
  std::filesystem::path kept;
  {
    TempDir dir("mdl-support");
    kept = dir.path();
    ASSERT_TRUE(std::filesystem::is_directory(kept));
    EXPECT_TRUE(kept.filename().string().starts_with("mdl-support-"));
    ASSERT_TRUE(WriteFile(kept / "b.log", "two"));
    ASSERT_TRUE(WriteFile(kept / "a.log", "one"));
    ASSERT_TRUE(WriteFile(kept / "other", ""));
    EXPECT_EQ(dir.Entries("a"), std::vector<std::string>{"a.log"});
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"a.log", "b.log", "other"}));
    EXPECT_EQ(ReadFile(kept / "b.log"), "two");
    EXPECT_EQ(ReadFile(kept / "missing"), "");
    EXPECT_FALSE(WriteFile(kept / "no-such-folder" / "x", "y"));

    std::filesystem::create_directories(kept / "locked" / "inner");
    ASSERT_TRUE(WriteFile(kept / "locked" / "inner" / "f", "z"));
    ::chmod((kept / "locked" / "inner").c_str(), 0500);
    ::chmod((kept / "locked").c_str(), 0500);
    ::chmod(kept.c_str(), 0500);
  }
  EXPECT_FALSE(std::filesystem::exists(kept));
}

}  // namespace
}  // namespace mdl::testing
