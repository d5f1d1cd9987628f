// Tests of the upstream SNTP exchange: request, reply recognition and the
// clock correction computed from a reply.
#include "server/upstream/sntp_query.h"
#include "server/upstream/md5.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <vector>

#include "common/time/ntp_timestamp.h"

namespace mdl {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using Packet = std::array<uint8_t, kSntpPacketSize>;

// 2026-01-01 00:00:00 UTC.
const UtcTime kBase = UtcFromNs(1767225600LL * 1000000000LL);
const uint32_t kBaseNtp = static_cast<uint32_t>(1767225600LL + kNtpToUnixSeconds);
constexpr uint32_t kFraction900ms = 3865470566u;  // round(0.9 * 2^32)

void Put(Packet& p, std::size_t offset, NtpTimestamp ts) {
  const auto bytes = ts.ToBytes();
  std::copy(bytes.begin(), bytes.end(), p.begin() + offset);
}

Packet Reply(NtpTimestamp transmit, NtpTimestamp receive = {}) {
  Packet p{};
  p[0] = 0x24;  // LI 0, version 4, mode 4
  p[1] = 2;     // stratum
  Put(p, 32, receive);
  Put(p, 40, transmit);
  return p;
}

NtpStampBytes Stamp(NtpTimestamp ts) { return ts.ToBytes(); }

TEST(BuildSntpRequest, ClientModeWithSendStampAtTheEnd) {
  const NtpStampBytes stamp = {1, 2, 3, 4, 5, 6, 7, 8};
  const Packet request = BuildSntpRequest(stamp);
  EXPECT_EQ(request[0], 0x1B) << "LI 0, version 3, mode 3";
  for (std::size_t i = 1; i < 40; ++i) EXPECT_EQ(request[i], 0) << "byte " << i;
  for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(request[40 + i], stamp[i]) << "byte " << 40 + i;
}

TEST(ClassifyArrival, DecidesInTheOrderOfTheNtpSocket) {
  const NtpStampBytes stamp = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7};
  std::vector<uint8_t> matching(48, 0);
  std::copy(stamp.begin(), stamp.end(), matching.begin() + 24);
  std::vector<uint8_t> only_compared(48, 0x55);  // other originate bytes differ
  only_compared[24] = 0xA0;
  only_compared[27] = 0xA3;
  only_compared[31] = 0xA7;
  auto with_byte = [&](std::size_t i, uint8_t v) {
    std::vector<uint8_t> d = matching;
    d[i] = v;
    return d;
  };
  struct Case {
    const char* what;
    std::vector<uint8_t> datagram;
    bool pending;
    UpstreamArrival expected;
  };
  const Case cases[] = {
      {"matching reply", matching, true, UpstreamArrival::kUpstreamReply},
      {"only bytes 24, 27, 31 compared", only_compared, true, UpstreamArrival::kUpstreamReply},
      {"reply after the query was done", matching, false, UpstreamArrival::kClientRequest},
      {"byte 24 differs", with_byte(24, 0), true, UpstreamArrival::kClientRequest},
      {"byte 27 differs", with_byte(27, 0), true, UpstreamArrival::kClientRequest},
      {"byte 31 differs", with_byte(31, 0), true, UpstreamArrival::kClientRequest},
      {"client request while pending", std::vector<uint8_t>(48, 0), true, UpstreamArrival::kClientRequest},
      {"one byte while pending", {0x00}, true, UpstreamArrival::kOneByteRetry},
      {"one byte, nothing pending", {0x00}, false, UpstreamArrival::kOther},
      {"47 bytes", std::vector<uint8_t>(47, 0), true, UpstreamArrival::kOther},
      {"49 bytes", std::vector<uint8_t>(49, 0), true, UpstreamArrival::kOther},
      {"empty", {}, true, UpstreamArrival::kOther},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ClassifyArrival(c.datagram, c.pending, stamp), c.expected) << c.what;
  }
}

TEST(CheckReply, RefusesRepliesThatCarryNoTime) {
  Packet good = Reply({kBaseNtp, 1});
  EXPECT_EQ(CheckReply(good), ReplyFault::kUsable);
  Packet zero = Reply({0, 0});
  EXPECT_EQ(CheckReply(zero), ReplyFault::kZeroTransmit);
  Packet alarm = good;
  alarm[0] = 0xE4;  // LI 3
  EXPECT_EQ(CheckReply(alarm), ReplyFault::kUnsynchronised);
  for (uint8_t stratum : {16, 17, 255}) {
    Packet unsynced = good;
    unsynced[1] = stratum;
    EXPECT_EQ(CheckReply(unsynced), ReplyFault::kUnsynchronised) << "stratum " << int{stratum};
  }
  Packet fifteen = good;
  fifteen[1] = 15;
  EXPECT_EQ(CheckReply(fifteen), ReplyFault::kUsable);
  Packet kiss = good;
  kiss[1] = 0;
  EXPECT_EQ(CheckReply(kiss), ReplyFault::kKissOfDeath);
  for (ReplyFault f : {ReplyFault::kZeroTransmit, ReplyFault::kUnsynchronised, ReplyFault::kKissOfDeath}) {
    EXPECT_STRNE(ReplyFaultText(f), ReplyFaultText(ReplyFault::kUsable));
  }
}

TEST(ComputeCorrection, EdgeCasesOfTheMillisecondsAndTheRoundTrip) {
  const NtpTimestamp t900{kBaseNtp, kFraction900ms};
  struct Case {
    const char* what;
    NtpTimestamp transmit;
    NtpTimestamp receive;
    nanoseconds round_trip;
    uint32_t display_ms;
    nanoseconds after_whole_second;
  };
  const Case cases[] = {
      {"M = 900, 300 ms round trip, no receive stamp", t900, {}, milliseconds(300), 900, milliseconds(1050)},
      {"M = 900, 300 ms round trip, zero holding time", t900, t900, milliseconds(300), 900,
       milliseconds(1050)},
      {"round trip 0 sets exactly T", t900, {}, nanoseconds(0), 900, milliseconds(900)},
      {"negative round trip counts as 0", t900, {}, milliseconds(-40), 900, milliseconds(900)},
      {"holding time taken off the round trip",
       t900,
       {kBaseNtp, 3435973837u} /* .8 s */,
       milliseconds(300),
       900,
       milliseconds(1000)},
      {"holding time longer than the round trip is ignored",
       t900,
       {kBaseNtp - 1, 0},
       milliseconds(300),
       900,
       milliseconds(1050)},
      {"receive after transmit is ignored",
       t900,
       {kBaseNtp + 1, 0},
       milliseconds(300),
       900,
       milliseconds(1050)},
      {"fraction 0xFFFFFFFF shows 999",
       {kBaseNtp, 0xFFFFFFFFu},
       {},
       nanoseconds(0),
       999,
       nanoseconds(1000000000)},
      {"fraction 0 shows 0", {kBaseNtp, 0}, {}, nanoseconds(3), 0, nanoseconds(2)},
      {"62.5 ms shows 62 (ties to even)",
       {kBaseNtp, 268435456u},
       {},
       nanoseconds(0),
       62,
       nanoseconds(62500000)},
      {"187.5 ms shows 188 (ties to even)",
       {kBaseNtp, 805306368u},
       {},
       nanoseconds(0),
       188,
       nanoseconds(187500000)},
  };
  for (const Case& c : cases) {
    const Packet reply = Reply(c.transmit, c.receive);
    const Correction r =
        ComputeCorrection(reply, Stamp({kBaseNtp, 0}), c.round_trip, kBase + std::chrono::hours(1));
    EXPECT_EQ(r.upstream_whole_second, kBase) << c.what;
    EXPECT_EQ(r.display_ms, c.display_ms) << c.what;
    EXPECT_EQ((r.new_time - kBase).count(), c.after_whole_second.count()) << c.what;
  }
}

TEST(ComputeCorrection, MillisecondValuesAndTheDifference) {
  const NtpTimestamp transmit{kBaseNtp + 2, 0x80000000u};  // 2.5 s after the base
  const NtpTimestamp sent{kBaseNtp + 3, 0x40000000u};      // 3.25 s after the base
  const Packet reply = Reply(transmit);
  const Correction r = ComputeCorrection(reply, Stamp(sent), milliseconds(20), kBase);
  EXPECT_DOUBLE_EQ(r.reply_millis, (kBaseNtp + 2) * 1000.0 + 500.0);
  EXPECT_DOUBLE_EQ(r.send_millis, (kBaseNtp + 3) * 1000.0 + 250.0);
  EXPECT_DOUBLE_EQ(r.reply_difference_ms, -750.0) << "the server is behind our clock";
  EXPECT_EQ(r.path_delay, milliseconds(20));
  EXPECT_EQ(r.new_time, kBase + milliseconds(2510));
}

TEST(ComputeCorrection, AcrossTheNtpEraChange) {
  // 2036-02-07 06:28:16 UTC is second 0 of era 1.
  const UtcTime era1_start = UtcFromNs((4294967296LL - kNtpToUnixSeconds) * 1000000000LL);
  const NtpTimestamp transmit{1, 0};           // 1 s into era 1
  const NtpTimestamp sent{0xFFFFFFFFu, 0};     // last second of era 0
  const NtpTimestamp receive{0, 0xC0000000u};  // 0.75 s into era 1
  const Packet reply = Reply(transmit, receive);
  const Correction r = ComputeCorrection(reply, Stamp(sent), milliseconds(500), era1_start);
  EXPECT_DOUBLE_EQ(r.reply_difference_ms, 2000.0) << "the difference must not jump by an era";
  EXPECT_EQ(r.upstream_whole_second, era1_start + std::chrono::seconds(1));
  EXPECT_EQ(r.path_delay, milliseconds(250));
  EXPECT_EQ(r.new_time, era1_start + milliseconds(1125));
}

TEST(RefIdFromAddress, OctetsOfTheSender) {
  struct Case {
    const char* what;
    std::vector<uint8_t> address;
    std::array<uint8_t, 4> id;
  };
  std::vector<uint8_t> v6(16);
  for (std::size_t i = 0; i < 16; ++i) v6[i] = static_cast<uint8_t>(0x20 + i);
  const Case cases[] = {
      {"IPv4", {192, 0, 2, 7}, {192, 0, 2, 7}},
      {"IPv4-mapped IPv6", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 127, 0, 0, 1}, {127, 0, 0, 1}},
      // The first four octets of MD5(address).
      {"IPv6", v6, {0x35, 0xba, 0x6d, 0x08}},
      {"IPv6 ::1", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, {0xcf, 0x40, 0x4d, 0xc8}},
      {"bad length", {1, 2, 3}, {0, 0, 0, 0}},
  };
  for (const Case& c : cases) EXPECT_EQ(RefIdFromAddress(c.address), c.id) << c.what;
}

TEST(Md5, KnownDigestsAcrossBlockBoundaries) {
  auto hex = [](const std::array<uint8_t, 16>& d) {
    std::string s;
    char b[3];
    for (uint8_t x : d) {
      std::snprintf(b, sizeof b, "%02x", x);
      s += b;
    }
    return s;
  };
  EXPECT_EQ(hex(Md5({})), "d41d8cd98f00b204e9800998ecf8427e");
  const std::vector<uint8_t> hundred(100, 'a');  // padding spills into a second block
  EXPECT_EQ(hex(Md5(hundred)), "36a92cc94a9e0fa21f625f8bfb007adf");
}

TEST(ChooseExchangeTiming, KernelStampsWhenPresentAndConsistent) {
  using std::chrono::microseconds;
  using std::chrono::nanoseconds;
  const int64_t base = 1'700'000'000'000'000'000;
  struct Case {
    const char* what;
    int64_t sent, arrived, now;
    nanoseconds steady_round_trip, steady_since;
    bool kernel;
    nanoseconds round_trip, since;
  };
  const Case cases[] = {
      // The send call took 30 us before the query left: the kernel's round
      // trip leaves it out.
      {"both stamps", base, base + 70'000, base + 90'000, microseconds(100), microseconds(20), true,
       microseconds(70), microseconds(20)},
      {"no transmit stamp", 0, base + 70'000, base + 90'000, microseconds(100), microseconds(20), false,
       microseconds(100), microseconds(20)},
      {"no arrival stamp", base, 0, base + 90'000, microseconds(100), microseconds(20), false,
       microseconds(100), microseconds(20)},
      {"realtime stepped back meanwhile", base, base - 5'000'000, base, microseconds(100), microseconds(20),
       false, microseconds(100), microseconds(20)},
      {"realtime stepped ahead by 2 ms", base, base + 2'070'000, base + 2'090'000, microseconds(100),
       microseconds(20), false, microseconds(100), microseconds(20)},
      {"now read before the arrival stamp", base, base + 70'000, base + 60'000, microseconds(100),
       microseconds(20), false, microseconds(100), microseconds(20)},
  };
  for (const Case& c : cases) {
    // 0: no stamp came.
    const auto stamp = [](int64_t ns) { return ns ? std::optional<UtcTime>(UtcFromNs(ns)) : std::nullopt; };
    ExchangeTiming t = ChooseExchangeTiming(stamp(c.sent), stamp(c.arrived), UtcFromNs(c.now),
                                            c.steady_round_trip, c.steady_since);
    EXPECT_EQ(t.from_kernel, c.kernel) << c.what;
    EXPECT_EQ(t.round_trip, c.round_trip) << c.what;
    EXPECT_EQ(t.since_arrival, c.since) << c.what;
  }
}

TEST(RetryBackoff, DoublesUpTo64SecondsUntilReset) {
  RetryBackoff b;
  std::vector<long> delays;
  for (int i = 0; i < 8; ++i) delays.push_back(static_cast<long>(b.NextDelay().count()));
  EXPECT_EQ(delays, (std::vector<long>{2, 4, 8, 16, 32, 64, 64, 64}));
  b.Reset();
  EXPECT_EQ(b.NextDelay().count(), 2) << "a reply must restart the back-off";
}

}  // namespace
}  // namespace mdl

namespace mdl {
namespace {

TEST(QueryStamp, SendSecondWithANonceAndAFullMatchOnly) {
  const std::array<uint8_t, 4> nonce = {0xDE, 0xAD, 0xBE, 0xEF};
  const NtpStampBytes stamp = QueryStamp(kBase + milliseconds(900), nonce);
  EXPECT_EQ(NtpTimestamp::FromBytes(stamp.data()).seconds, kBaseNtp);
  EXPECT_EQ(std::vector<uint8_t>(stamp.begin() + 4, stamp.end()),
            std::vector<uint8_t>(nonce.begin(), nonce.end()));
  std::vector<uint8_t> reply(48, 0);
  std::copy(stamp.begin(), stamp.end(), reply.begin() + 24);
  EXPECT_TRUE(OriginateMatches(reply, stamp));
  for (std::size_t i = 24; i < 32; ++i) {
    std::vector<uint8_t> off = reply;
    off[i] ^= 0x01;
    EXPECT_FALSE(OriginateMatches(off, stamp)) << "byte " << i;
  }
  EXPECT_FALSE(OriginateMatches(std::vector<uint8_t>(reply.begin(), reply.begin() + 47), stamp));
}

TEST(PlausibleUpstreamTime, NothingBefore2025) {
  EXPECT_TRUE(PlausibleUpstreamTime(kBase));
  EXPECT_TRUE(PlausibleUpstreamTime(UtcFromNs(kEarliestUpstreamUnixSeconds * 1000000000LL)));
  EXPECT_FALSE(PlausibleUpstreamTime(UtcFromNs(kEarliestUpstreamUnixSeconds * 1000000000LL - 1)));
  // 100 years ahead of the local clock folds into the 1980s by the era rule.
  const NtpTimestamp ahead{static_cast<uint32_t>(kBaseNtp + uint64_t{3155760000}), 0};
  EXPECT_FALSE(PlausibleUpstreamTime(UtcFromNtp(ahead, kBase)));
}

TEST(StepGuard, FirstStepIsFreeLaterLargeStepsNeedASecondAgreeingExchange) {
  using std::chrono::seconds;
  StepGuard g;
  EXPECT_EQ(g.Judge(seconds(3600 * 24 * 365), "a", true), StepGuard::Verdict::kAccept);
  g.Applied();
  EXPECT_EQ(g.Judge(seconds(999), "a", true), StepGuard::Verdict::kAccept);
  EXPECT_EQ(g.Judge(-seconds(1000), "a", true), StepGuard::Verdict::kAccept);
  EXPECT_EQ(g.Judge(seconds(3600), "a", true), StepGuard::Verdict::kRefuse);
  ASSERT_NE(g.pending_server(), nullptr);
  EXPECT_EQ(*g.pending_server(), "a");
  // The same server again cannot confirm when another could be asked.
  EXPECT_EQ(g.Judge(seconds(3600), "a", true), StepGuard::Verdict::kRefuse);
  // Another server that disagrees by more than the tolerance starts afresh.
  EXPECT_EQ(g.Judge(seconds(3603), "b", true), StepGuard::Verdict::kRefuse);
  EXPECT_EQ(g.Judge(seconds(3604), "c", true), StepGuard::Verdict::kAcceptConfirmed);
  EXPECT_EQ(g.pending_server(), nullptr);
  // With one server only, its second agreeing exchange confirms.
  EXPECT_EQ(g.Judge(-seconds(7200), "a", false), StepGuard::Verdict::kRefuse);
  EXPECT_EQ(g.Judge(-seconds(7201), "a", false), StepGuard::Verdict::kAcceptConfirmed);
  // A step within the bound clears a pending one.
  EXPECT_EQ(g.Judge(seconds(5000), "a", false), StepGuard::Verdict::kRefuse);
  EXPECT_EQ(g.Judge(seconds(1), "a", false), StepGuard::Verdict::kAccept);
  EXPECT_EQ(g.Judge(seconds(5000), "a", false), StepGuard::Verdict::kRefuse);
  g.SetMaxStep(std::nullopt);
  EXPECT_EQ(g.Judge(seconds(1) * 2000000000, "a", false), StepGuard::Verdict::kAccept);
}

TEST(QueryGate, QueriesAtLeastTheGapApart) {
  using std::chrono::seconds;
  QueryGate gate;
  EXPECT_TRUE(gate.Allows(seconds(5))) << "the first query may go at once";
  gate.Sent(seconds(5));
  EXPECT_FALSE(gate.Allows(seconds(5)));
  EXPECT_EQ(gate.Remaining(seconds(20)), seconds(1));
  EXPECT_TRUE(gate.Allows(seconds(21)));
  gate.SetGap(nanoseconds(0));
  EXPECT_TRUE(gate.Allows(seconds(5)));
}

}  // namespace
}  // namespace mdl
