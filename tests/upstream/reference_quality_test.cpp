// What replies tell of the served time: stratum, root delay and dispersion
// from the upstream and our exchange, growth with age, the unsynchronised mark.
#include "server/upstream/reference_quality.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>

namespace mdl {
namespace {

using namespace std::chrono_literals;
using Packet = std::array<uint8_t, 48>;

Packet UpstreamReply(uint8_t stratum, int8_t precision, std::array<uint8_t, 4> delay,
                     std::array<uint8_t, 4> dispersion) {
  Packet p{};
  p[0] = 0x24;
  p[1] = stratum;
  p[3] = static_cast<uint8_t>(precision);
  std::copy(delay.begin(), delay.end(), p.begin() + 4);
  std::copy(dispersion.begin(), dispersion.end(), p.begin() + 8);
  return p;
}

uint32_t Units(const std::array<uint8_t, 4>& f) {
  return uint32_t{f[0]} << 24 | uint32_t{f[1]} << 16 | uint32_t{f[2]} << 8 | f[3];
}

TEST(ReferenceQuality, StratumIsTheUpstreamsPlusOneAtMostFifteen) {
  struct Case {
    uint8_t upstream;
    uint8_t ours;
  };
  for (Case c : {Case{1, 2}, Case{5, 6}, Case{14, 15}, Case{15, 15}}) {
    const SyncQuality q = QualityOfSync(UpstreamReply(c.upstream, -20, {}, {}), 0ns, 0ns, 0ns);
    EXPECT_EQ(ReferenceAt(q, 0ns, 86400s).stratum, c.ours) << "upstream at stratum " << int{c.upstream};
  }
}

TEST(ReferenceQuality, RootDelayAddsOurPathDelayToTheUpstreams) {
  // Upstream: 0.5 s of root delay (0x8000 units); our path: 20 ms.
  const SyncQuality q = QualityOfSync(UpstreamReply(3, -20, {0, 0, 0x80, 0}, {}), 20ms, 25ms, 0ns);
  EXPECT_NEAR(q.root_delay, 0.52, 1e-9);
  EXPECT_EQ(Units(ReferenceAt(q, 0ns, 86400s).root_delay), 34079u) << "0.52 s, rounded up to 1/65536 s";
}

TEST(ReferenceQuality, DispersionStartsFromTheUpstreamsAndGrows15MicrosecondsASecond) {
  // Upstream: 1 s of dispersion and precision 2^-10; a 100 ms round trip.
  const SyncQuality q = QualityOfSync(UpstreamReply(1, -10, {}, {0, 1, 0, 0}), 90ms, 100ms, 5s);
  const double at_sync = 1.0 + std::ldexp(1.0, -10) + std::ldexp(1.0, -17) + 15e-6 * 0.1;
  EXPECT_NEAR(q.root_dispersion, at_sync, 1e-12);
  const double day = Units(ReferenceAt(q, 5s + 86400s, 0s).root_dispersion) / 65536.0;
  EXPECT_NEAR(day, at_sync + 1.296, 2.0 / 65536) << "a day adds 15 µs × 86,400 s";
  EXPECT_GT(Units(ReferenceAt(q, 5s + 60s, 0s).root_dispersion),
            Units(ReferenceAt(q, 5s, 0s).root_dispersion));
}

TEST(ReferenceQuality, UnsynchronisedOnlyWhenTheLastSynchronisationIsOlderThanTheLimit) {
  const SyncQuality q = QualityOfSync(UpstreamReply(1, -20, {}, {}), 1ms, 1ms, 100s);
  EXPECT_FALSE(ReferenceAt(q, 100s, 3600s).unsynchronised);
  EXPECT_FALSE(ReferenceAt(q, 100s + 3600s, 3600s).unsynchronised) << "exactly the limit still counts";
  EXPECT_TRUE(ReferenceAt(q, 100s + 3601s, 3600s).unsynchronised);
  EXPECT_FALSE(ReferenceAt(q, 100s + 100 * 86400s, 0s).unsynchronised) << "limit 0: never";
}

TEST(ReferenceQuality, HostileUpstreamFieldsSaturateInsteadOfWrapping) {
  const SyncQuality q =
      QualityOfSync(UpstreamReply(1, 127, {0xFF, 0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF, 0xFF}), 10s, 10s, 0ns);
  const ReferenceFields f = ReferenceAt(q, 3650 * 86400s, 0s);
  EXPECT_EQ(Units(f.root_delay), 0xFFFFFFFFu);
  EXPECT_EQ(Units(f.root_dispersion), 0xFFFFFFFFu);
  EXPECT_EQ(Units(NtpShort(-1.0)), 0u) << "no negative field";
}

}  // namespace
}  // namespace mdl
