// End-to-end: an attacker floods Time/UDP from an address of its own, chosen
// offline to share a victim's bucket under the budget's former unkeyed table
// (slot Mix(key) % 4096); the victim must still get its replies. Over IPv4 in
// 127/8 and, where addresses may be added to lo, over IPv6 (the key is the /64).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "tests/e2e/harness.h"

namespace mdl::e2e {
namespace {

// The former slot of a source, key derivation and mixer as the serving path had them.
uint64_t OldMix(uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ULL;
  x ^= x >> 33;
  return x;
}

size_t OldSlot(const sockaddr_storage& a) {
  uint64_t key = 0;
  if (a.ss_family == AF_INET) {
    key = ntohl(reinterpret_cast<const sockaddr_in&>(a).sin_addr.s_addr);
  } else {
    const uint8_t* b = reinterpret_cast<const sockaddr_in6&>(a).sin6_addr.s6_addr;
    for (size_t i = 0; i < 8; ++i) key = key << 8 | b[i];
    key ^= 0x8000000000000000ULL;
  }
  return OldMix(key) % 4096;
}

sockaddr_storage Address(const std::string& text, uint16_t port) {
  sockaddr_storage s{};
  if (text.find(':') == std::string::npos) {
    auto& a = reinterpret_cast<sockaddr_in&>(s);
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, text.c_str(), &a.sin_addr);
  } else {
    auto& a = reinterpret_cast<sockaddr_in6&>(s);
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    ::inet_pton(AF_INET6, text.c_str(), &a.sin6_addr);
  }
  return s;
}

socklen_t LengthOf(const sockaddr_storage& s) {
  return s.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
}

uint16_t PortOf(const sockaddr_storage& s) {
  return ntohs(s.ss_family == AF_INET ? reinterpret_cast<const sockaddr_in&>(s).sin_port
                                      : reinterpret_cast<const sockaddr_in6&>(s).sin6_port);
}

// A non-blocking UDP socket bound to `from` (any port); invalid when the bind failed.
UniqueFd BoundSocket(const std::string& from) {
  const sockaddr_storage a = Address(from, 0);
  UniqueFd s(::socket(a.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (s.valid() && ::bind(s.get(), reinterpret_cast<const sockaddr*>(&a), LengthOf(a)) != 0) s.Reset();
  return s;
}

// Reads every datagram waiting on `fd`; counts those from `port` (the server's;
// its reply may leave from any local address).
int DrainReplies(int fd, uint16_t port) {
  int n = 0;
  char buf[64];
  sockaddr_storage from{};
  for (socklen_t len = sizeof from;
       ::recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len) >= 0; len = sizeof from)
    n += PortOf(from) == port;
  return n;
}

struct AttackResult {
  int victim_got = 0;
  int attacker_sent = 0;
  int attacker_got = 0;
};

constexpr int kVictimAsks = 60;
constexpr int kFloodPerSecond = 1800;

// The attacker sends empty Time requests at kFloodPerSecond from its own thread
// while the victim, once the attacker's flood has run for 0.4 s, asks
// kVictimAsks times 50 ms apart; then up to 1 s for the last replies. About 4.5 s.
AttackResult Attack(int attacker, int victim, const sockaddr_storage& server) {
  const auto* to = reinterpret_cast<const sockaddr*>(&server);
  const uint16_t port = PortOf(server);
  AttackResult r;
  std::atomic<bool> stop{false};
  std::atomic<int> sent{0};
  std::thread flood([&] {
    const auto start = Clock::now();
    int got = 0;
    while (!stop && Clock::now() - start < 10s) {
      const auto us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
      for (const int64_t due = us * kFloodPerSecond / 1'000'000; sent < due; ++sent)
        ::sendto(attacker, "", 0, 0, to, LengthOf(server));
      got += DrainReplies(attacker, port);
      std::this_thread::sleep_for(500us);
    }
    r.attacker_got = got + DrainReplies(attacker, port);
  });
  std::this_thread::sleep_for(400ms);
  for (int i = 0; i < kVictimAsks; ++i) {
    ::sendto(victim, "", 0, 0, to, LengthOf(server));
    const auto next = Clock::now() + 50ms;
    while (Clock::now() < next) {
      pollfd p{victim, POLLIN, 0};
      ::poll(&p, 1, 10);
      r.victim_got += DrainReplies(victim, port);
    }
  }
  for (const auto end = Clock::now() + 1s; r.victim_got < kVictimAsks && Clock::now() < end;) {
    pollfd p{victim, POLLIN, 0};
    ::poll(&p, 1, 10);
    r.victim_got += DrainReplies(victim, port);
  }
  stop = true;
  flood.join();
  r.attacker_sent = sent;
  return r;
}

// The first address `candidate(i)` (i = 1, 2, ...) in the victim's former slot.
template <typename Candidate>
std::string AddressInOldSlotOf(const std::string& victim, Candidate candidate, uint32_t tries) {
  const size_t slot = OldSlot(Address(victim, 0));
  for (uint32_t i = 1; i <= tries; ++i) {
    const std::string a = candidate(i);
    if (a != victim && OldSlot(Address(a, 0)) == slot) return a;
  }
  return "";
}

void ExpectVictimServed(const AttackResult& r) {
  EXPECT_GE(r.victim_got, kVictimAsks * 95 / 100)
      << "the victim got " << r.victim_got << " of " << kVictimAsks << " replies";
  // The flood must have run and been held to the attacker's own budget:
  // a burst of 10000 bytes (312 replies of 32) and 1000 bytes a second.
  EXPECT_GT(r.attacker_sent, 3 * kFloodPerSecond) << "the flood did not run";
  EXPECT_LT(r.attacker_got, r.attacker_sent / 4)
      << "the attacker got " << r.attacker_got << " of " << r.attacker_sent << ": the budget did not hold it";
}

TEST(AmplificationBudgetTest, AnAddressInTheVictimsFormerSlotCannotDrainItsRepliesOverIpv4) {
  const std::string victim = "127.0.0.1";
  const std::string attacker = AddressInOldSlotOf(
      victim,
      [](uint32_t i) {
        return "127." + std::to_string(i >> 16 & 255) + "." + std::to_string(i >> 8 & 255) + "." +
               std::to_string(i & 255);
      },
      1 << 24);
  ASSERT_FALSE(attacker.empty()) << "no address of 127/8 shares the former slot of " << victim;
  ServerRig rig;
  ASSERT_TRUE(rig.Start());
  UniqueFd a = BoundSocket(attacker);
  UniqueFd v = BoundSocket(victim);
  ASSERT_TRUE(a.valid() && v.valid()) << "cannot bind " << attacker << " or " << victim;
  const AttackResult r = Attack(a.get(), v.get(), Address("127.0.0.1", rig.ports.time));
  SCOPED_TRACE("attacker " + attacker);
  ExpectVictimServed(r);
  EXPECT_TRUE(rig.StopCleanly());
}

// Addresses of this test on lo, removed again at the end.
class LoopbackAddresses {
 public:
  explicit LoopbackAddresses(fs::path log_dir) : log_dir_(std::move(log_dir)) {}
  ~LoopbackAddresses() {
    for (const std::string& a : added_) Ip({"-6", "addr", "del", a + "/128", "dev", "lo"});
  }
  // Empty when added; else what `ip` said.
  std::string Add(const std::string& a) {
    RunResult r = Ip({"-6", "addr", "add", a + "/128", "dev", "lo", "nodad"});
    if (r.status != 0) return r.err.empty() ? "ip did not finish" : r.err;
    added_.push_back(a);
    return "";
  }

 private:
  RunResult Ip(std::vector<std::string> args) {
    args.insert(args.begin(), "/usr/sbin/ip");
    return RunToEnd(log_dir_, "ip", args, 5s);
  }
  fs::path log_dir_;
  std::vector<std::string> added_;
};

TEST(AmplificationBudgetTest, AnotherPrefixInTheVictimsFormerSlotCannotDrainItsRepliesOverIpv6) {
  ASSERT_TRUE(HavePeer("/usr/sbin/ip", "iproute2"));
  // Unique local addresses of this process, so that parallel runs never meet.
  char prefix[32];
  std::snprintf(prefix, sizeof prefix, "fd6d:646c:%x:", static_cast<unsigned>(::getpid()) & 0xffff);
  const std::string victim = std::string(prefix) + "1::1";
  const std::string attacker = AddressInOldSlotOf(
      victim,
      [&](uint32_t i) {
        char text[48];
        std::snprintf(text, sizeof text, "%s%x::2", prefix, i + 1);
        return std::string(text);
      },
      0xfffe);
  ASSERT_FALSE(attacker.empty()) << "no /64 of " << prefix << ":/48 shares the former slot of " << victim;
  TempDir scratch;
  LoopbackAddresses added(scratch.path());
  for (const std::string& a : {victim, attacker}) {
    if (std::string why = added.Add(a); !why.empty())
      GTEST_SKIP() << "cannot add " << a << " to lo (" << why << "); the unit test covers IPv6 prefixes";
  }
  ServerRig rig;
  ASSERT_TRUE(rig.Start());
  UniqueFd a = BoundSocket(attacker);
  UniqueFd v = BoundSocket(victim);
  ASSERT_TRUE(a.valid() && v.valid()) << "cannot bind " << attacker << " or " << victim;
  const AttackResult r = Attack(a.get(), v.get(), Address("::1", rig.ports.time));
  SCOPED_TRACE("attacker " + attacker);
  ExpectVictimServed(r);
  EXPECT_TRUE(rig.StopCleanly());
}

}  // namespace
}  // namespace mdl::e2e
