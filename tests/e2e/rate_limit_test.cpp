// End-to-end: the real server with NtpRateLimit "YES" (interval 3, burst 8,
// leak 2). A flood from 127.0.0.2 is held to the limit and gets KoDs RATE
// while 127.0.0.1 is answered in full; chronyd polling four times a second
// (through a relay at 127.0.0.3 that times its requests) backs off once kissed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

#include "tests/e2e/harness.h"

namespace mdl::e2e {
namespace {

const std::string kLimitYes = "\"NtpRateLimit\"=\"YES\"\r\n";

// A UDP socket bound to `address` (any port), reads time out after `ms`.
UniqueFd SocketAt(const char* address, int ms) {
  UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ::inet_pton(AF_INET, address, &a.sin_addr);
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) return UniqueFd();
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return fd;
}

// A client request whose transmit stamp is `stamp`.
std::string Request(uint64_t stamp) {
  std::string r = NtpPacket(3);
  for (size_t i = 0; i < 8; ++i) r[40 + i] = static_cast<char>(stamp >> (56 - 8 * i));
  return r;
}

uint64_t StampAt(const std::string& d, size_t at) {
  uint64_t v = 0;
  for (size_t i = 0; i < 8; ++i) v = v << 8 | static_cast<uint8_t>(d[at + i]);
  return v;
}

struct Tally {
  int replies = 0;  // ordinary replies (stratum 1 to 15)
  int kisses = 0;   // KoDs RATE, each answering a request of ours
  int other = 0;
};

// Reads what waits on `fd` (until `ms` of silence) and sorts it; every
// datagram must answer one of the stamps in `sent`, at most once.
Tally Collect(int fd, std::set<uint64_t>& sent) {
  Tally t;
  char buf[512];
  for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) >= 0;) {
    const std::string d(buf, static_cast<size_t>(n));
    if (d.size() != 48 || sent.erase(StampAt(d, 24)) != 1) {
      ++t.other;
    } else if (d[1] == 0 && d.compare(12, 4, "RATE") == 0 && (d[0] & 0xC7) == 0xC4 &&
               StampAt(d, 32) == StampAt(d, 24) && StampAt(d, 40) == StampAt(d, 24)) {
      ++t.kisses;
    } else if (d[1] >= 1 && d[1] <= 15) {
      ++t.replies;
    } else {
      ++t.other;
    }
  }
  return t;
}

TEST(RateLimitTest, AFloodIsHeldToTheLimitWithKissesWhileAnotherSourceIsAnsweredInFull) {
  ServerRig rig;
  ASSERT_TRUE(rig.Start("59:Minute/s", "YES", kLimitYes));
  EXPECT_NE(rig.server->Err().find("NTP rate limit: interval 3 (8 s), burst 8, leak 2"), std::string::npos)
      << rig.server->Err();
  UniqueFd flooder = SocketAt("127.0.0.2", 300);
  UniqueFd fine = SocketAt("127.0.0.1", 300);
  ASSERT_TRUE(flooder.valid() && fine.valid());
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(rig.ports.ntp);
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  auto send = [&](int fd, uint64_t stamp, std::set<uint64_t>& sent) {
    const std::string r = Request(stamp);
    sent.insert(stamp);
    ::sendto(fd, r.data(), r.size(), 0, reinterpret_cast<const sockaddr*>(&server), sizeof server);
  };
  // 200 requests in about 2 s from 127.0.0.2, and 8 from 127.0.0.1 among them.
  std::set<uint64_t> flood_sent, fine_sent;
  const auto start = Clock::now();
  for (uint64_t i = 0; i < 200; ++i) {
    send(flooder.get(), 0xE900000000000000ULL + i, flood_sent);
    if (i % 25 == 12) send(fine.get(), 0xE800000000000000ULL + i, fine_sent);
    std::this_thread::sleep_for(10ms);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const Tally flood = Collect(flooder.get(), flood_sent);
  const Tally other = Collect(fine.get(), fine_sent);
  EXPECT_EQ(other.replies, 8) << "127.0.0.1 sent within its burst and must be answered in full";
  EXPECT_EQ(other.kisses + other.other, 0);
  // The burst and one per 8 s since the start.
  EXPECT_GE(flood.replies, 8);
  EXPECT_LE(flood.replies, 8 + 1 + static_cast<int>(seconds / 8)) << "the flood was not held to the limit";
  // About a quarter of the ~190 requests over the limit get a KoD (mean 48, sd 6).
  EXPECT_GE(flood.kisses, 20);
  EXPECT_LE(flood.kisses, 80);
  EXPECT_EQ(flood.other, 0) << "a datagram that is neither a reply nor a KoD answering a request";
  // The drops are summed up on the diagnostic line, naming the source.
  EXPECT_TRUE(rig.server->WaitFor("NTP requests over the rate limit not answered in full", 15s))
      << rig.server->Err();
  EXPECT_NE(rig.server->Err().find("the latest from 127.0.0.2:"), std::string::npos);
  EXPECT_TRUE(rig.StopCleanly());
}

// Passes a client's requests on to the server from 127.0.0.3 and the answers
// back, noting when each request went and when a KoD RATE came back, so that
// the client's request rate can be read exactly. Its thread stops with the
// object, or after two minutes whatever happens.
class Relay {
 public:
  explicit Relay(uint16_t server_port) : front_(SocketAt("127.0.0.1", 0)), back_(SocketAt("127.0.0.3", 0)) {
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(server_port);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ok_ = front_.valid() && back_.valid() &&
          ::connect(back_.get(), reinterpret_cast<const sockaddr*>(&server), sizeof server) == 0;
    sockaddr_in local{};
    socklen_t len = sizeof local;
    ::getsockname(front_.get(), reinterpret_cast<sockaddr*>(&local), &len);
    port_ = ntohs(local.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~Relay() {
    stop_ = true;
    thread_.join();
  }
  bool ok() const { return ok_; }
  uint16_t port() const { return port_; }
  double now() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }
  // Seconds since the relay started, of each request and of each kiss.
  std::vector<double> requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }
  std::vector<double> kisses() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return kisses_;
  }

 private:
  void Run() {
    sockaddr_in client{};
    socklen_t client_len = 0;
    char buf[512];
    while (!stop_ && Clock::now() - start_ < 120s) {
      pollfd fds[2] = {{front_.get(), POLLIN, 0}, {back_.get(), POLLIN, 0}};
      if (::poll(fds, 2, 100) <= 0) continue;
      const double at = now();
      if (fds[0].revents & POLLIN) {
        client_len = sizeof client;
        const ssize_t n = ::recvfrom(front_.get(), buf, sizeof buf, MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&client), &client_len);
        if (n > 0) {
          ::send(back_.get(), buf, static_cast<size_t>(n), 0);
          std::lock_guard<std::mutex> lock(mutex_);
          requests_.push_back(at);
        }
      }
      if (fds[1].revents & POLLIN) {
        const ssize_t n = ::recv(back_.get(), buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0 && client_len > 0) {
          ::sendto(front_.get(), buf, static_cast<size_t>(n), 0, reinterpret_cast<const sockaddr*>(&client),
                   client_len);
          if (n == 48 && buf[1] == 0 && std::memcmp(buf + 12, "RATE", 4) == 0) {
            std::lock_guard<std::mutex> lock(mutex_);
            kisses_.push_back(at);
          }
        }
      }
    }
  }

  UniqueFd front_, back_;
  bool ok_ = false;
  uint16_t port_ = 0;
  const Clock::time_point start_ = Clock::now();
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<double> requests_, kisses_;
  std::thread thread_;
};

size_t CountIn(const std::vector<double>& times, double from, double to) {
  return static_cast<size_t>(
      std::count_if(times.begin(), times.end(), [&](double t) { return t >= from && t < to; }));
}

// chronyd answers a KoD RATE by holding its next request back for four poll
// intervals; asked to poll four times a second, it then sends about two a
// second (without the back-off it would go on at four).
TEST(RateLimitTest, ChronydPollingTooFastBacksOffOnTheKiss) {
  ServerRig rig;
  ASSERT_TRUE(rig.Start("59:Minute/s", "YES", kLimitYes));
  Relay relay(rig.ports.ntp);
  ASSERT_TRUE(relay.ok());
  const fs::path conf = rig.dir.path() / "client.conf";
  WriteFile(conf, "server 127.0.0.1 port " + std::to_string(relay.port()) +
                      " minpoll -2 maxpoll -2 iburst\n"
                      "bindacqaddress 127.0.0.3\nport 0\ncmdport 0\npidfile " +
                      (rig.dir.path() / "client.pid").string() + "\ndriftfile " +
                      (rig.dir.path() / "client.drift").string() + "\n");
  Process client(rig.dir.path(), "chronyd_client", {"/usr/sbin/chronyd", "-x", "-d", "-f", conf.string()});
  // Four requests a second: the burst of 8 is gone within seconds, then a KoD comes soon.
  const auto deadline = Clock::now() + 30s;
  while (relay.kisses().empty() && Clock::now() < deadline && client.Running())
    std::this_thread::sleep_for(50ms);
  ASSERT_FALSE(relay.kisses().empty()) << "no KoD within 30 s\n" << client.Err() << rig.server->Err();
  const double kissed = relay.kisses().front();
  std::vector<double> requests = relay.requests();
  ASSERT_GE(requests.size(), 9u) << "chronyd did not go over its burst";
  // Its polling rate once past the four quick requests of its initial burst,
  // from the median gap, so one late wake-up on a loaded machine does not count.
  std::vector<double> gaps;
  for (size_t i = 4; i < requests.size() && requests[i] <= kissed; ++i)
    gaps.push_back(requests[i] - requests[i - 1]);
  ASSERT_GE(gaps.size(), 4u);
  std::nth_element(gaps.begin(), gaps.begin() + gaps.size() / 2, gaps.end());
  const double rate_before = 1.0 / gaps[gaps.size() / 2];
  EXPECT_GE(rate_before, 3.0) << "chronyd did not poll four times a second";
  // The 30 s after the first kiss.
  while (relay.now() < kissed + 31 && client.Running()) std::this_thread::sleep_for(100ms);
  ASSERT_TRUE(client.Running()) << client.Err();
  requests = relay.requests();
  const double rate_after = double(CountIn(requests, kissed + 0.5, kissed + 30.5)) / 30.0;
  EXPECT_LT(rate_after, 0.8 * rate_before)
      << "chronyd did not slow down: " << rate_before << " then " << rate_after << " requests a second";
  EXPECT_GT(rate_after, 0.5) << "chronyd stopped asking instead of slowing down";
  EXPECT_GE(CountOf(client.Err(), "Received KoD RATE from 127.0.0.1"), 1u) << client.Err();
  // The requests over the limit are summed up, naming the relay's address.
  EXPECT_TRUE(rig.server->WaitFor("the latest from 127.0.0.3:", 15s)) << rig.server->Err();
  client.Signal(SIGTERM);
  EXPECT_TRUE(client.Wait(10s).has_value());
  EXPECT_TRUE(rig.StopCleanly());
}

}  // namespace
}  // namespace mdl::e2e
