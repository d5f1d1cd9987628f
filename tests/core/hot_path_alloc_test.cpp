// Serving a request must not allocate: the engine's thread makes no heap
// allocation per datagram or per answered connection once it has warmed up.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "engine_fixture.h"
#include "tests/support/source_ask.h"

namespace {
// Allocations made by the calling thread (the engine's loop runs on the
// test's main thread; the clients run on their own).
thread_local uint64_t t_allocations = 0;
}  // namespace

void* operator new(std::size_t n) {
  ++t_allocations;
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace mdl::testing {
namespace {

class HotPathAllocTest : public EngineFixture {
 protected:
  // Sends `count` requests one after the other from a client thread while
  // the loop runs here; returns the loop thread's allocations meanwhile.
  uint64_t LoopAllocationsWhileServing(int count, bool tcp, Service s, std::vector<uint8_t> request) {
    uint64_t before = t_allocations;
    int answered = WithLoop([&] {
      int n = 0;
      for (int i = 0; i < count; ++i) {
        if (tcp) {
          auto r = TcpAsk(port(s), request, std::chrono::milliseconds(1000), 4);
          n += r && !r->data.empty();
        } else {
          n += UdpAsk(port(s), request).has_value();
        }
      }
      return n;
    });
    EXPECT_EQ(answered, count) << "every request must be answered";
    return t_allocations - before;
  }
};

TEST_F(HotPathAllocTest, AnsweringRequestsAllocatesNothingPerRequest) {
  WriteSettings("\"AmplificationLimit\"=\"NO\"\n");
  StartEngine();
  MarkSynced();
  std::vector<uint8_t> ntp(48, 0);
  ntp[0] = 0x23;
  std::vector<uint8_t> mdl = {'M', 'D', 'L', 'C', '5', 'U', 'T', 'C'};
  mdl.resize(24, 0x11);
  struct Case {
    const char* what;
    Service service;
    bool tcp;
    std::vector<uint8_t> request;
  };
  const Case cases[] = {
      {"NTP over UDP", Service::kNtp, false, ntp},
      {"Time over UDP", Service::kTime, false, {}},
      {"UnixTime over UDP", Service::kUnixTime, false, {1}},
      {"Daytime over UDP", Service::kDaytime, false, {'\n'}},
      {"Time over TCP", Service::kTime, true, {}},
      {"UnixTime over TCP", Service::kUnixTime, true, {}},
      {"private protocol over UDP", Service::kPrivate, false, mdl},
      // TCP connections that wait for a request (NTP, private protocol) hold
      // read and time-out operations of the event loop, which may allocate.
  };
  for (const Case& c : cases) {
    LoopAllocationsWhileServing(50, c.tcp, c.service, c.request);  // warm-up: buffers, slots, log file
    constexpr int kRequests = 400;
    uint64_t allocations = LoopAllocationsWhileServing(kRequests, c.tcp, c.service, c.request);
    // The frozen clock holds back ticks and snapshots: what is counted is the
    // serving path (and the one snapshot it schedules). One per request is too many.
    EXPECT_LT(allocations, kRequests / 20u)
        << c.what << ": " << allocations << " allocations for " << kRequests << " requests";
  }
}

// A UDP socket bound to `address` (any port), with receive time-outs of `ms`.
UniqueFd SocketAt(const char* address, int ms) {
  UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ::inet_pton(AF_INET, address, &a.sin_addr);
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) return UniqueFd();
  SetTimeouts(fd.get(), ms);
  return fd;
}

TEST_F(HotPathAllocTest, TheNtpRateLimitAllocatesNothingPerRequest) {
  WriteSettings("\"AmplificationLimit\"=\"NO\"\n\"NtpRateLimit\"=\"3:8:1\"\n");
  StartEngine();
  MarkSynced();
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(port(Service::kNtp));
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::vector<uint8_t> ntp(48, 0);
  ntp[0] = 0x23;
  ntp[47] = 1;  // a transmit stamp: kisses may go back
  // `flood` requests from one source (over its limit after 8) and 8 each from
  // `sources` others (within theirs), paced so that no queue overflows; the
  // replies are read until the engine falls silent.
  auto run = [&](int flood, const std::vector<const char*>& sources) {
    return WithLoop([&] {
      UniqueFd flooder = SocketAt("127.0.0.5", 300);
      std::vector<UniqueFd> others;
      for (const char* a : sources) others.push_back(SocketAt(a, 300));
      auto send = [&](int fd) {
        ::sendto(fd, ntp.data(), ntp.size(), 0, reinterpret_cast<const sockaddr*>(&server), sizeof server);
      };
      for (int i = 0; i < flood; ++i) {
        send(flooder.get());
        if (i % 20 == 19) std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      for (UniqueFd& o : others)
        for (int i = 0; i < 8; ++i) send(o.get());
      int got = 0;
      uint8_t buf[64];
      while (::recv(flooder.get(), buf, sizeof buf, 0) > 0) ++got;
      for (UniqueFd& o : others)
        while (::recv(o.get(), buf, sizeof buf, 0) > 0) ++got;
      return got;
    });
  };
  run(50, {"127.0.0.6"});  // warm-up: buffers, the log file, the limiter's table
  const uint64_t before = t_allocations;
  const int got = run(400, {"127.0.0.7", "127.0.0.8", "127.0.0.9", "127.0.0.10", "127.0.0.11"});
  const uint64_t allocations = t_allocations - before;
  const SnapshotPtr s = Snap();
  const auto& dropped = s->stats.udp_dropped[Index(Service::kNtp)];
  EXPECT_GE(dropped[Index(UdpDrop::kRateLimit)], 42u + 380u) << "the flood was not held to the limit";
  EXPECT_GT(s->stats.kod_sent, 0u);
  EXPECT_EQ(s->stats.answered[Index(Service::kNtp)][Index(Transport::kUdp)], 8u + 8u + 40u)
      << "the flooder's burst and every request within its source's limit are answered";
  EXPECT_GE(got, 40);
  EXPECT_LT(allocations, 440 / 20u) << allocations << " allocations for 440 requests";
}

// With access lists of 100 networks the look-up of every source allocates
// nothing either, for answered and for denied sources.
TEST_F(HotPathAllocTest, AccessListsOfAHundredNetworksAllocateNothingPerRequest) {
  std::string allow;
  for (int i = 0; i < 99; ++i) {
    allow += "10." + std::to_string(i) + ".0.0/16 2001:db8:" + std::to_string(i) + "::/48 ";
    if (i == 50) allow += "127.0.0.0/8 ";
  }
  WriteSettings("\"AmplificationLimit\"=\"NO\"\n\"AllowNetworks\"=\"" + allow +
                "\"\n\"DenyNetworks\"=\"127.0.0.2 127.0.1.0/24\"\n");
  StartEngine();
  MarkSynced();
  ASSERT_TRUE(Diagnosed("access lists: 199 networks allowed, 2 denied"));
  std::vector<uint8_t> ntp(48, 0);
  ntp[0] = 0x23;
  for (bool tcp : {false, true}) {
    const Service s = tcp ? Service::kTime : Service::kNtp;
    LoopAllocationsWhileServing(50, tcp, s, tcp ? std::vector<uint8_t>{} : ntp);
    constexpr int kRequests = 400;
    uint64_t allocations = LoopAllocationsWhileServing(kRequests, tcp, s, tcp ? std::vector<uint8_t>{} : ntp);
    EXPECT_LT(allocations, kRequests / 20u) << (tcp ? "Time over TCP" : "NTP over UDP") << ": " << allocations
                                            << " allocations for " << kRequests << " requests";
  }
  // Denied datagrams: dropped and counted without an allocation.
  const uint64_t before = t_allocations;
  const int unanswered = WithLoop([&] {
    int n = 0;
    for (int i = 0; i < 400; ++i) {
      n += !UdpAskFrom("127.0.0.2", "127.0.0.1", port(Service::kNtp), ntp, std::chrono::milliseconds(0));
      // Paced, so that the engine's receive queue never overflows.
      if (i % 20 == 19) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return n;
  });
  RunFor(std::chrono::milliseconds(100));
  const uint64_t allocations = t_allocations - before;
  EXPECT_EQ(unanswered, 400);
  EXPECT_EQ(Figures().udp_dropped[Index(UdpDrop::kDenied)], 400u) << "denied datagrams not all dropped";
  EXPECT_LT(allocations, 20u) << "allocations while dropping 400 denied datagrams";
}

}  // namespace
}  // namespace mdl::testing
