// Serving a request must not allocate: the engine's thread makes no heap
// allocation per datagram or per answered connection once it has warmed up.
#include <gtest/gtest.h>

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
