// The batch sender over scripted system calls: how a queue is cut into calls,
// the send time each stamped datagram carries, what the sampled transmit
// stamps teach, and how refused, failed, partial and interrupted calls end.
#include "common/net/batch_sender.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <boost/asio/ip/address.hpp>
#include <cstring>
#include <deque>
#include <vector>

namespace mdl::net {
namespace {

// A system whose clock advances kTick per read and whose stamps, for each
// datagram that asks, say it left kLead + k * kStep after the call's last
// clock read (k: its place in the call).
class ScriptedCalls : public SendCalls {
 public:
  static constexpr int64_t kTick = 400;
  static constexpr int64_t kLead = 20'000;
  static constexpr int64_t kStep = 3'000;
  static constexpr size_t kHeader = 8;  // stamped packets come back behind a header

  struct Call {
    std::vector<std::vector<uint8_t>> data;
    std::vector<bool> stamp_requests;
  };

  int64_t RealtimeNs() override { return now += kTick; }

  int Send(std::span<const Outgoing> out, SendFailure* failure) override {
    bool asks = false;
    for (const Outgoing& o : out) asks = asks || o.stamp_request;
    if (interrupt_next) {
      interrupt_next = false;
      *failure = SendFailure::kInterrupted;
      return -1;
    }
    // Bounded, so that a sender that keeps asking fails its test instead of hanging it.
    if (asks && refuse_stamps && refused < 100) {
      ++refused;
      *failure = SendFailure::kStampsRefused;
      return -1;
    }
    size_t n = std::min(out.size(), max_per_call);
    // As the system does: a call fails only when its first datagram does;
    // otherwise it ends before the one that would fail.
    for (size_t k = 0; k < n; ++k) {
      if (out[k].data.empty() || out[k].data[0] != fail_payload) continue;
      if (k > 0) {
        n = k;
        break;
      }
      fail_payload = -1;
      *failure = SendFailure::kFailed;
      return -1;
    }
    Call call;
    for (size_t k = 0; k < n; ++k) {
      call.data.emplace_back(out[k].data.begin(), out[k].data.end());
      call.stamp_requests.push_back(out[k].stamp_request);
      if (out[k].stamp_request && report_stamps) {
        std::vector<uint8_t> packet(out[k].data.begin(), out[k].data.end());
        packet.insert(packet.begin(), kHeader, 0xee);
        reports.push_back({packet, now + lead + static_cast<int64_t>(k) * kStep});
      }
    }
    calls.push_back(std::move(call));
    return static_cast<int>(n);
  }

  bool TakeStampReport(std::span<uint8_t> packet, size_t* len, int64_t* ns) override {
    if (reports.empty()) return false;
    const Report& r = reports.front();
    *len = std::min(packet.size(), r.packet.size());
    std::copy_n(r.packet.begin(), *len, packet.begin());
    *ns = r.ns;
    reports.pop_front();
    return true;
  }

  struct Report {
    std::vector<uint8_t> packet;
    int64_t ns = 0;
  };
  int64_t now = 1'000'000'000'000;
  int64_t lead = kLead;  // what the stamps say; a test may move it away from kLead
  std::vector<Call> calls;
  std::deque<Report> reports;
  size_t max_per_call = 1024;
  bool report_stamps = true;
  bool refuse_stamps = false;
  int refused = 0;
  bool interrupt_next = false;
  int fail_payload = -1;  // the datagram starting with this byte fails once
};

const Udp::endpoint kPeer(boost::asio::ip::make_address("127.0.0.1"), 123);

// A 16-byte datagram: its index, then the stamper's send time.
std::vector<uint8_t> Payload(int index) {
  std::vector<uint8_t> d(16, 0);
  d[0] = static_cast<uint8_t>(index);
  return d;
}

int64_t StampOf(const std::vector<uint8_t>& d) {
  int64_t v;
  std::memcpy(&v, d.data() + 8, sizeof v);
  return v;
}

void WriteStamp(std::span<uint8_t> d, int64_t leaves_ns) { std::memcpy(d.data() + 8, &leaves_ns, 8); }

std::vector<int> Order(const std::vector<ScriptedCalls::Call>& calls) {
  std::vector<int> order;
  for (const auto& c : calls)
    for (const auto& d : c.data) order.push_back(d[0]);
  return order;
}

std::vector<int> Upto(int n) {
  std::vector<int> v;
  for (int i = 0; i < n; ++i) v.push_back(i);
  return v;
}

TEST(BatchSender, CutsTheQueueIntoCallsOfAtMostEightStampedDatagramsInOrder) {
  ScriptedCalls sys;
  sys.report_stamps = false;
  BatchSender sender(sys);
  sender.SetStamper(WriteStamp);
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(sender.Queue(Payload(i), kPeer, true));
  EXPECT_TRUE(sys.calls.empty()) << "queued, not sent";
  ASSERT_TRUE(sender.Flush());
  ASSERT_EQ(sys.calls.size(), 3u);
  EXPECT_EQ(sys.calls[0].data.size(), 8u);
  EXPECT_EQ(sys.calls[1].data.size(), 8u);
  EXPECT_EQ(sys.calls[2].data.size(), 4u);
  EXPECT_EQ(Order(sys.calls), Upto(20));

  // Unstamped ones ride along: only the ninth stamped one starts a new call.
  sys.calls.clear();
  for (int i = 0; i < 19; ++i) sender.Queue(Payload(i), kPeer, i < 8 || i == 18);
  ASSERT_TRUE(sender.Flush());
  ASSERT_EQ(sys.calls.size(), 2u);
  EXPECT_EQ(sys.calls[0].data.size(), 18u);
  EXPECT_EQ(Order(sys.calls), Upto(19));
  EXPECT_EQ(StampOf(sys.calls[0].data[10]), 0) << "an unstamped datagram is left as it was";
  EXPECT_EQ(sender.errors(), 0u);

  // Without a stamper nothing is stamped and the queue goes in one call.
  BatchSender plain(sys);
  sys.calls.clear();
  for (int i = 0; i < 20; ++i) plain.Queue(Payload(i), kPeer, true);
  ASSERT_TRUE(plain.Flush());
  ASSERT_EQ(sys.calls.size(), 1u);
  EXPECT_EQ(StampOf(sys.calls[0].data[0]), 0);
}

TEST(BatchSender, LearnsTheTimingFromSampledStampsThenSamplesLessWhileItHolds) {
  ScriptedCalls sys;
  BatchSender sender(sys);
  sender.SetStamper(WriteStamp);
  constexpr size_t kPerCall = 4;
  for (uint32_t call = 0; call < BatchSender::kLearnSamples; ++call) {
    for (size_t i = 0; i < kPerCall; ++i) sender.Queue(Payload(static_cast<int>(i)), kPeer, true);
    ASSERT_TRUE(sender.Flush());
    const auto& c = sys.calls.back();
    EXPECT_EQ(c.stamp_requests, (std::vector<bool>{true, false, false, true})) << "first and last of a call";
  }
  EXPECT_TRUE(sys.reports.empty()) << "every sampled stamp was read back";
  const SendTiming& t = sender.timing();
  EXPECT_EQ(t.lead_samples, BatchSender::kLearnSamples);
  EXPECT_EQ(t.lead_ns, ScriptedCalls::kLead);
  EXPECT_EQ(t.step_ns, ScriptedCalls::kStep);
  // The clock moved one tick between the read before stamping and the call.
  EXPECT_EQ(t.prep_ns, ScriptedCalls::kTick / static_cast<int64_t>(kPerCall));

  // Learnt: datagram k carries (read before stamping) + n * prep + lead + k * step.
  sys.calls.clear();
  sys.now += 1'000'000;  // well after the last call's datagrams left
  const int64_t before = sys.now + ScriptedCalls::kTick;
  for (size_t i = 0; i < kPerCall; ++i) sender.Queue(Payload(static_cast<int>(i)), kPeer, true);
  ASSERT_TRUE(sender.Flush());
  for (size_t k = 0; k < kPerCall; ++k) {
    EXPECT_EQ(StampOf(sys.calls[0].data[k]), before + static_cast<int64_t>(kPerCall) * t.prep_ns + t.lead_ns +
                                                 static_cast<int64_t>(k) * t.step_ns)
        << k;
  }

  // From now on one call in kSampleEvery asks for stamps, and one in twice as
  // many after each sample that the model foresaw, up to kSampleGapStable.
  EXPECT_FALSE(sys.calls[0].stamp_requests[0]);
  const auto gaps_over = [&](uint32_t calls) {
    std::vector<uint32_t> gaps;
    uint32_t since = 0;
    for (uint32_t call = 0; call < calls; ++call) {
      sys.now += 1'000'000;
      sender.Queue(Payload(0), kPeer, true);
      sender.Queue(Payload(1), kPeer, true);
      EXPECT_TRUE(sender.Flush());
      ++since;
      if (sys.calls.back().stamp_requests[0]) {
        EXPECT_TRUE(sys.calls.back().stamp_requests[1]);
        gaps.push_back(since);
        since = 0;
      }
    }
    EXPECT_TRUE(sys.reports.empty()) << "every sampled stamp was read back";
    return gaps;
  };
  EXPECT_EQ(gaps_over(1000), (std::vector<uint32_t>{15, 32, 64, 128, 256, 256}));
  EXPECT_EQ(sender.sample_gap(), kSampleGapStable);

  // A sample off the model by more than kSampleStrayNs: one in kSampleEvery
  // again, and the model follows.
  sys.lead = ScriptedCalls::kLead + kSampleStrayNs + 500;
  const std::vector<uint32_t> after = gaps_over(300);
  ASSERT_GE(after.size(), 3u);
  EXPECT_LE(after[0], kSampleGapStable);
  EXPECT_EQ(after[1], BatchSender::kSampleEvery) << "a stray sample must bring the short gap back";
  EXPECT_GT(sender.timing().lead_ns, ScriptedCalls::kLead);
}

TEST(BatchSender, ASystemThatRefusesStampRequestsStillSendsEveryDatagramOnce) {
  ScriptedCalls sys;
  sys.refuse_stamps = true;
  BatchSender sender(sys);
  sender.SetStamper(WriteStamp);
  for (int round = 0; round < 3; ++round) {
    sys.calls.clear();
    for (int i = 0; i < 12; ++i) sender.Queue(Payload(i), kPeer, true);
    ASSERT_TRUE(sender.Flush());
    EXPECT_EQ(Order(sys.calls), Upto(12));
    for (const auto& c : sys.calls)
      for (bool asked : c.stamp_requests) EXPECT_FALSE(asked);
  }
  EXPECT_EQ(sender.errors(), 0u);
  EXPECT_EQ(sys.refused, 1) << "asked once, then never again";

  // A query asks (its stamp is not a sample) and is then sent plainly: no stamp, no error.
  sys.calls.clear();
  ASSERT_TRUE(sender.SendQuery(Payload(7), kPeer));
  ASSERT_EQ(sys.calls.size(), 1u);
  EXPECT_FALSE(sys.calls[0].stamp_requests[0]);
  EXPECT_EQ(sys.refused, 2);
  EXPECT_EQ(sender.TakeQueryStamp(), 0);
  EXPECT_EQ(sender.errors(), 0u);
}

TEST(BatchSender, FailedPartialAndInterruptedCallsEndWithEveryOtherDatagramSentOnce) {
  ScriptedCalls sys;
  sys.report_stamps = false;
  BatchSender sender(sys);
  sender.SetStamper(WriteStamp);

  // The system takes five a call: the rest follow in the next calls.
  sys.max_per_call = 5;
  for (int i = 0; i < 12; ++i) sender.Queue(Payload(i), kPeer, false);
  ASSERT_TRUE(sender.Flush());
  EXPECT_EQ(sys.calls.size(), 3u);
  EXPECT_EQ(Order(sys.calls), Upto(12));

  // An interrupted call is made again.
  sys.calls.clear();
  sys.interrupt_next = true;
  for (int i = 0; i < 3; ++i) sender.Queue(Payload(i), kPeer, true);
  ASSERT_TRUE(sender.Flush());
  EXPECT_EQ(Order(sys.calls), Upto(3));
  EXPECT_EQ(sender.errors(), 0u);

  // The datagram that fails is skipped and counted; the others go.
  sys.calls.clear();
  sys.fail_payload = 4;
  for (int i = 0; i < 12; ++i) sender.Queue(Payload(i), kPeer, false);
  EXPECT_FALSE(sender.Flush());
  EXPECT_EQ(Order(sys.calls), (std::vector<int>{0, 1, 2, 3, 5, 6, 7, 8, 9, 10, 11}));
  EXPECT_EQ(sender.errors(), 1u);

  // A full queue is sent before the next datagram is queued; an oversized one is refused.
  sys.calls.clear();
  sys.max_per_call = 1024;
  for (size_t i = 0; i < BatchSender::kCapacity + 1; ++i) ASSERT_TRUE(sender.Queue(Payload(1), kPeer, false));
  ASSERT_EQ(sys.calls.size(), 1u);
  EXPECT_EQ(sys.calls[0].data.size(), BatchSender::kCapacity);
  EXPECT_FALSE(sender.Queue(std::vector<uint8_t>(BatchSender::kMaxDatagram + 1), kPeer, false));
  ASSERT_TRUE(sender.Flush());
  EXPECT_EQ(sys.calls.size(), 2u);
  EXPECT_EQ(sys.calls[1].data.size(), 1u);

  // Empty datagrams are datagrams too.
  sys.calls.clear();
  ASSERT_TRUE(sender.Queue({}, kPeer, false));
  ASSERT_TRUE(sender.Flush());
  ASSERT_TRUE(sender.SendNow({}, kPeer, false));
  ASSERT_TRUE(sender.SendQuery({}, kPeer));
  ASSERT_EQ(sys.calls.size(), 3u);
  for (const auto& c : sys.calls) EXPECT_TRUE(c.data.at(0).empty());

  // Reset drops what is queued.
  sender.Queue(Payload(1), kPeer, false);
  sender.Reset();
  ASSERT_TRUE(sender.Flush());
  EXPECT_EQ(sys.calls.size(), 3u);
}

TEST(BatchSender, AQueryTakesOnlyItsOwnStampAndNoSampleIsTakenWhileItIsAwaited) {
  ScriptedCalls sys;
  BatchSender sender(sys);
  sender.SetStamper(WriteStamp);
  // A stamp of another datagram (a late sample) is not the query's.
  sys.report_stamps = false;
  ASSERT_TRUE(sender.SendQuery(Payload(9), kPeer));
  ASSERT_EQ(sys.calls.size(), 1u);
  EXPECT_TRUE(sys.calls[0].stamp_requests[0]);
  sys.reports.push_back({std::vector<uint8_t>(24, 0x55), 111});  // another datagram's stamp
  EXPECT_EQ(sender.TakeQueryStamp(), 0);
  EXPECT_TRUE(sys.reports.empty()) << "read all the same, so that it does not keep the socket readable";
  sys.report_stamps = true;
  ASSERT_TRUE(sender.SendQuery(Payload(10), kPeer));
  EXPECT_EQ(sender.TakeQueryStamp(), sys.now + ScriptedCalls::kLead);

  // A report without the packet is taken as the query's.
  sys.report_stamps = false;
  ASSERT_TRUE(sender.SendQuery(Payload(11), kPeer));
  EXPECT_EQ(sender.TakeQueryStamp(), 0) << "nothing reported yet";
  sys.reports.push_back({{}, 4242});
  sender.ReadLateStamps();
  EXPECT_EQ(sender.TakeQueryStamp(), 4242);

  // While a query's stamp is awaited a batch asks for none.
  ASSERT_TRUE(sender.SendQuery(Payload(12), kPeer));
  sys.report_stamps = true;
  for (int i = 0; i < 4; ++i) sender.Queue(Payload(i), kPeer, true);
  ASSERT_TRUE(sender.Flush());
  for (bool asked : sys.calls.back().stamp_requests) EXPECT_FALSE(asked);
  EXPECT_EQ(sender.timing().lead_samples, 0u);
}

TEST(BatchSender, SendTimesNeverGoBackBySmallStepsButFollowALargeStepOfTheClock) {
  ScriptedCalls sys;
  sys.report_stamps = false;
  BatchSender sender(sys);
  sender.SetStamper(WriteStamp);
  const auto sent_stamp = [&] { return StampOf(sys.calls.back().data[0]); };

  ASSERT_TRUE(sender.SendNow(Payload(0), kPeer, true));
  const int64_t first = sent_stamp();
  EXPECT_EQ(first, sys.now);

  sys.now -= 100'000;  // back 0.1 ms: held at the last time given
  ASSERT_TRUE(sender.SendNow(Payload(1), kPeer, true));
  EXPECT_EQ(sent_stamp(), first);

  sys.now -= 5'000'000;  // a real step of the clock
  ASSERT_TRUE(sender.SendNow(Payload(2), kPeer, true));
  EXPECT_EQ(sent_stamp(), sys.now);

  ASSERT_TRUE(sender.SendNow(Payload(3), kPeer, false));
  EXPECT_EQ(sent_stamp(), 0) << "unstamped";

  sys.fail_payload = 5;
  EXPECT_FALSE(sender.SendNow(Payload(5), kPeer, false));
  EXPECT_EQ(sender.errors(), 1u);
  EXPECT_FALSE(sender.SendNow(std::vector<uint8_t>(BatchSender::kMaxDatagram + 1), kPeer, false));
}

}  // namespace
}  // namespace mdl::net
