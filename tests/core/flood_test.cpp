// Flood: a million malformed datagrams of random sizes to every UDP port and
// thousands of abandoned TCP connections, while a well-behaved client keeps
// asking. Bounded in count and time.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "engine_fixture.h"

namespace mdl::testing {
namespace {

long RssKb() {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

size_t OpenFds() {
  size_t n = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

class FloodTest : public EngineFixture {
 protected:
  // Runs the engine's I/O with its frozen clock kept in step with real time
  // (ticks and snapshots run as in service) until `done()` holds or `limit` passes.
  template <typename P>
  void Drive(P done, std::chrono::milliseconds limit) {
    auto start = std::chrono::steady_clock::now();
    auto moved = start;
    while (!done() && std::chrono::steady_clock::now() - start < limit) {
      if (handle_->Poll() == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
      auto now = std::chrono::steady_clock::now();
      if (now - moved >= std::chrono::milliseconds(1)) {
        clock_.advance(now - moved);
        moved = now;
      }
    }
  }
};

TEST_F(FloodTest, ServerKeepsAnsweringAndReturnsToItsIdleResources) {
  idle_ms_ = 300;
  WriteSettings();
  StartEngine();
  MarkSynced();
  // One request first: the request log's file stays open from then on.
  std::vector<uint8_t> first(48, 0);
  first[0] = 0x23;
  ASSERT_TRUE(WithLoop([&] { return UdpAsk(port(Service::kNtp), first); }).has_value());
  RunFor(std::chrono::milliseconds(100));  // the line is written after the reply has left
  size_t idle_fds = OpenFds();
  long idle_rss = RssKb();
  const int snapshots_before = snapshots_;
  const Nanoseconds flood_start = clock_.monotonic();

  std::atomic<bool> stop{false};
  std::atomic<int> asked{0}, answered{0};
  std::atomic<bool> flood_done{false}, abandon_done{false};
  // The well-behaved client: one NTP request at a time, asked again after a
  // second without answer as real clients do (on a machine busy with other
  // work the kernel may drop a datagram from a full receive queue).
  std::thread client([&] {
    std::vector<uint8_t> request(48, 0);
    request[0] = 0x23;
    while (!stop) {
      ++asked;
      for (int attempt = 0; attempt < 3; ++attempt) {
        if (auto r = UdpAsk(port(Service::kNtp), request, std::chrono::milliseconds(1000));
            r && r->size() == 48) {
          ++answered;
          break;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  // The flood, paced so that it stays within what one core serves.
  std::thread flood([&] {
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    std::mt19937 rng(7);
    std::vector<uint8_t> junk(1500);
    for (auto& b : junk) b = static_cast<uint8_t>(rng());
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 1'000'000 && !stop; ++i) {
      Service s = static_cast<Service>(i % kServiceCount);
      size_t size = rng() % 1400;
      if (s == Service::kNtp && size == 48) size = 49;
      sockaddr_in a = Loopback(port(s));
      ::sendto(fd, junk.data(), size, 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
      if (i % 1000 == 999) {
        // At most 100000 datagrams a second.
        auto due = start + std::chrono::microseconds(10LL * (i + 1));
        std::this_thread::sleep_until(due);
      }
    }
    ::close(fd);
    flood_done = true;
  });
  // Abandoned TCP connections.
  std::thread abandon([&] {
    for (int i = 0; i < 3000 && !stop; ++i) {
      int fd = ::socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in a = Loopback(port(Service::kPrivate));
      ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
      if (i % 2 == 0) ::send(fd, "MD", 2, MSG_NOSIGNAL);  // half a request, then silence
      ::close(fd);
    }
    abandon_done = true;
  });
  Drive([&] { return flood_done && abandon_done; }, std::chrono::seconds(60));
  flood.join();
  abandon.join();
  Drive([] { return false; }, std::chrono::milliseconds(800));  // idle time-out of the abandoned connections
  stop = true;
  WithLoop([&] {
    client.join();
    return 0;
  });
  RunFor(std::chrono::milliseconds(100));
  const double flood_seconds = std::chrono::duration<double>(clock_.monotonic() - flood_start).count();
  const int flood_snapshots = snapshots_ - snapshots_before;
  auto s = Snap();

  EXPECT_GT(asked.load(), 20);
  EXPECT_EQ(answered.load(), asked.load()) << "the well-behaved client lost answers during the flood";
  EXPECT_EQ(Sockets(Service::kPrivate).tcp_connections, 0u);
  EXPECT_LE(OpenFds(), idle_fds) << "descriptors were left open after the flood";
  EXPECT_GT(s->counters.UdpTotal(), 500'000u) << "the flood did not reach the server";
  // However many requests arrive, snapshots go out at most ten a second.
  EXPECT_GT(flood_snapshots, 0);
  EXPECT_LE(flood_snapshots, static_cast<int>(flood_seconds * 10) + 1)
      << flood_snapshots << " snapshots in " << flood_seconds << " s";
  EXPECT_TRUE(lit_ & Bit(Indicator::kUdpIn));
  EXPECT_TRUE(lit_ & Bit(Indicator::kTcpIn));
  // Memory does not grow with the number of requests (the threads of this
  // test account for some of the difference).
  EXPECT_LT(RssKb() - idle_rss, 4096) << "resident size grew by " << RssKb() - idle_rss << " kB";
}

}  // namespace
}  // namespace mdl::testing
