// The upstream synchronisation against a scripted upstream on loopback: the
// reply recognition, the clock correction, what must not move the clock, and
// the time-out and retry of an unanswered query on the frozen clock.
#include <gtest/gtest.h>
#include <time.h>
#include <algorithm>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <thread>

#include "common/clock/fallback_clock.h"
#include "common/clock/system_clock.h"
#include "common/time/ntp_timestamp.h"
#include "engine_fixture.h"
#include "server/core/metrics_text.h"
#include "server/core/status_report.h"
#include "server/upstream/sync_handler.h"
#include "tests/support/fake_network.h"
#include "tests/support/refusing_clock.h"

namespace mdl::testing {
namespace {

// The machine's realtime clock, beside which the kernel stamps a socket's sends.
int64_t RealtimeNanos() { return SystemRealtimeNs(); }

std::vector<uint8_t> PlainNtpRequest() {
  std::vector<uint8_t> request(48, 0);
  request[0] = 0x23;
  return request;
}

// The upstream server: a port of the test's network, read from the test
// thread between steps of the clock.
class FakeUpstream {
 public:
  FakeUpstream(FakeNetwork& network, Clock& clock,
               boost::asio::ip::address at = boost::asio::ip::address_v4::loopback())
      : clock_(clock), port_(network.MakePort()) {
    port_->Bind(at, 0);
    port_->Start(&inbox_);
  }
  uint16_t port() const { return port_->local_port(); }
  bool has_mail() const { return !inbox_.got.empty(); }

  // Takes the oldest datagram that arrived, if any; true when it was a 48-byte query.
  bool TryReceive() {
    std::optional<Received> r = inbox_.Take();
    if (!r) return false;
    from_ = r->from;
    query_arrival_tick_ = clock_.monotonic() - r->age;
    if (r->data.size() != 48) return false;
    std::copy(r->data.begin(), r->data.end(), query_.begin());
    return true;
  }
  // When the query arrived, on the clock's monotonic scale.
  Nanoseconds query_arrival_tick() const { return query_arrival_tick_; }
  const std::array<uint8_t, 48>& query() const { return query_; }

  // A server reply to the query: receive and transmit stamps at `t`.
  std::array<uint8_t, 48> Reply(UtcTime t, uint8_t stratum = 1) const { return Reply(t, t, stratum); }
  std::array<uint8_t, 48> Reply(UtcTime received, UtcTime transmitted, uint8_t stratum = 1) const {
    std::array<uint8_t, 48> r{};
    r[0] = 0x24;
    r[1] = stratum;
    std::copy(query_.begin() + 40, query_.end(), r.begin() + 24);
    auto rx = NtpFromUtc(received).ToBytes();
    std::copy(rx.begin(), rx.end(), r.begin() + 32);
    auto tx = NtpFromUtc(transmitted).ToBytes();
    std::copy(tx.begin(), tx.end(), r.begin() + 40);
    return r;
  }
  void SendBytes(const std::vector<uint8_t>& b) { port_->SendTo(b, from_); }
  void Send(const std::array<uint8_t, 48>& r) { port_->SendTo(r, from_); }
  // Where the last datagram came from (the engine's query port).
  const net::Udp::endpoint& engine_address() const { return from_; }

 private:
  Clock& clock_;
  std::unique_ptr<net::DatagramPort> port_;
  Inbox inbox_;
  net::Udp::endpoint from_;
  std::array<uint8_t, 48> query_{};
  Nanoseconds query_arrival_tick_{0};
};

// The engine's UDP ports on the test's network: every exchange takes the
// network's delay (1 ms each way) of the frozen clock, and its times are
// exact.
class SyncTest : public EngineFixture {
 protected:
  // These cases count the steps and values of one chosen exchange: the line
  // through the history is off for them unless a case turns it on.
  SyncTest() {
    make_port_ = network_.Maker();
    pinned_.emplace_back("SyncRegression", "NO");
  }

  void WriteList() {
    std::ofstream f(home_ / "QOR_MDLS4.MDL");
    f << "h1\nh2\nh3\nh4\nh5\n127.0.0.1:" << upstream_.port() << ":::Local upstream - NA:::2:::us\n";
  }
  // The true time: the frozen clock's start plus the monotonic time passed.
  UtcTime TrueNow() const { return UtcFromNs(kStartNs) + clock_.monotonic(); }
  // Lets the engine's I/O run until its query is on the way (the name
  // look-up completes on the resolver's thread), then lets it arrive (a
  // query sent while the test stepped the clock may be there already).
  bool QueryArrives(std::chrono::milliseconds limit = std::chrono::milliseconds(3000)) {
    if (!PollUntil([&] { return network_.in_flight() > 0 || upstream_.has_mail(); }, limit)) return false;
    if (network_.in_flight() > 0) Deliver();
    return upstream_.TryReceive();
  }
  // Starts a query and lets the fake upstream receive it.
  void Query() {
    Do(cmd::SyncNow{});
    ASSERT_TRUE(QueryArrives()) << "no query reached the upstream";
    EXPECT_EQ(upstream_.query()[0], 0x1B) << "request: LI 0, version 3, mode 3";
  }
  // Moves the clock on by the network's delay: what was just sent arrives.
  void Deliver() {
    clock_.advance(network_.delay());
    handle_->Poll();
  }
  // Lets the reply just sent arrive; true once the clock was set `times` times.
  bool ClockSet(int times = 1) {
    Deliver();
    return clock_.set_count() >= times;
  }
  // A careful server `ahead` of the true time: receive stamp at the query's
  // arrival, transmit stamp now.
  std::array<uint8_t, 48> CarefulReply(Nanoseconds ahead) const {
    return upstream_.Reply(UtcFromNs(kStartNs) + upstream_.query_arrival_tick() + ahead, TrueNow() + ahead);
  }
  // A client's request to a service of the engine, over the test's network.
  std::optional<std::vector<uint8_t>> Ask(uint16_t service_port, const std::vector<uint8_t>& request) {
    Inbox inbox;
    auto client = network_.MakePort();
    client->Bind(boost::asio::ip::address_v4::loopback(), 0);
    client->Start(&inbox);
    client->SendTo(request, {boost::asio::ip::address_v4::loopback(), service_port});
    Deliver();  // the request arrives and is answered
    Deliver();  // the answer arrives
    std::optional<Received> r = inbox.Take();
    if (!r) return std::nullopt;
    return r->data;
  }

  boost::asio::io_context network_io_;  // for the timer's signature: the frozen clock fires it
  FakeNetwork network_{clock_, network_io_};
  FakeUpstream upstream_{network_, clock_};
};

TEST_F(SyncTest, ReplySetsTheClockToTheUpstreamTimeAndMarksItSynchronised) {
  WriteSettings();
  WriteList();
  StartEngine();
  auto before = Snap();
  ASSERT_FALSE(before->time_synced);
  EXPECT_EQ(before->last_update_text, "Never");
  Query();
  EXPECT_TRUE(Snap()->query_pending);
  UtcTime upstream_time = clock_.now() + std::chrono::seconds(1000);
  // The snapshot let 100 ms pass since the query arrived: the upstream
  // received it then and answers now.
  upstream_.Send(upstream_.Reply(upstream_time - std::chrono::milliseconds(100), upstream_time));
  ASSERT_TRUE(ClockSet());
  EXPECT_EQ(clock_.set_count(), 1);
  // The clock now reads the reply's time plus the 1 ms it took on the way back.
  EXPECT_EQ(clock_.now() - upstream_time, std::chrono::milliseconds(1));
  auto s = Snap();
  EXPECT_TRUE(s->time_synced);
  EXPECT_FALSE(s->query_pending);
  EXPECT_EQ(s->sync_message, "MDL Server is now Synchronized to Atomic Time.");
  EXPECT_NE(s->last_update_text, "Never");
  // The reply was not a served request.
  EXPECT_EQ(s->counters.Get(Service::kNtp, Transport::kUdp), 0u);
  EXPECT_TRUE(Diagnosed("synchronised with 127.0.0.1"));
  // Replies now carry the reference of the synchronisation: the upstream's
  // address as reference id, the time of the setting as reference stamp.
  auto reply = Ask(port(Service::kNtp), PlainNtpRequest());
  ASSERT_TRUE(reply && reply->size() == 48);
  EXPECT_EQ(std::vector<uint8_t>(reply->begin() + 12, reply->begin() + 16),
            (std::vector<uint8_t>{127, 0, 0, 1}));
  auto ref = NtpTimestamp::FromBytes(reply->data() + 16);
  EXPECT_NEAR(static_cast<double>(ref.seconds), static_cast<double>(NtpFromUtc(upstream_time).seconds), 2.0);
}

uint32_t Field32(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t{b[at]} << 24 | uint32_t{b[at + 1]} << 16 | uint32_t{b[at + 2]} << 8 | b[at + 3];
}

TEST_F(SyncTest, RepliesTellTheUpstreamsQualityAndTurnUnsynchronisedWhenTooOld) {
  // Its second synchronisation is counted as a step of the clock.
  WriteSettings("\"MaxUnsyncedSeconds\"=\"600\"\n\"SlewThresholdMs\"=\"0\"\n");
  WriteList();
  StartEngine();
  Query();
  std::array<uint8_t, 48> r = upstream_.Reply(clock_.now(), /*stratum=*/5);
  r[3] = static_cast<uint8_t>(-20);
  r[6] = 0x80;  // root delay 0.5 s
  r[9] = 0x01;  // root dispersion 1 s
  upstream_.Send(r);
  ASSERT_TRUE(ClockSet());
  std::vector<uint8_t> request = PlainNtpRequest();
  request[0] = 0x1B;  // version 3
  request[2] = 6;     // poll 64 s
  auto ask = [&] {
    auto reply = Ask(port(Service::kNtp), request);
    EXPECT_TRUE(reply && reply->size() == 48);
    return reply.value_or(std::vector<uint8_t>(48));
  };
  std::vector<uint8_t> fresh = ask();
  EXPECT_EQ(fresh[0], 0x1C) << "leap 0, the request's version 3, mode 4";
  EXPECT_EQ(fresh[1], 6) << "the upstream's stratum 5, plus one";
  EXPECT_EQ(fresh[2], 6) << "the request's poll";
  // Root delay: the upstream's 0.5 s plus our path (the test's real round trip, well under 0.5 s).
  EXPECT_GT(Field32(fresh, 4), 0x8000u);
  EXPECT_LT(Field32(fresh, 4), 0x8000u + 0x8000u);
  // Root dispersion: the upstream's 1 s plus the reading errors.
  EXPECT_GT(Field32(fresh, 8), 0x10000u);
  EXPECT_LT(Field32(fresh, 8), 0x10000u + 0x100u);

  Advance(std::chrono::seconds(300));
  std::vector<uint8_t> older = ask();
  EXPECT_NEAR(static_cast<double>(Field32(older, 8) - Field32(fresh, 8)), 300 * 15e-6 * 65536, 3.0)
      << "the dispersion grows 15 µs a second";
  EXPECT_EQ(older[1], 6);

  Advance(std::chrono::seconds(301));
  std::vector<uint8_t> stale = ask();
  EXPECT_EQ(stale[0] >> 6, 3) << "leap 3 after 600 s without a synchronisation";
  EXPECT_EQ(stale[1], 16) << "stratum 16 after 600 s without a synchronisation";
  EXPECT_TRUE(Diagnosed("no synchronisation for more than 600 s"));
  EXPECT_EQ(Snap()->sync_message,
            "No synchronisation for more than 600 s: NTP replies say unsynchronised.  MDL Server is not "
            "Synchronized.");

  // The next good synchronisation ends it.
  Query();
  upstream_.Send(upstream_.Reply(clock_.now(), /*stratum=*/1));
  ASSERT_TRUE(ClockSet(2));
  std::vector<uint8_t> again = ask();
  EXPECT_EQ(again[0] >> 6, 0);
  EXPECT_EQ(again[1], 2);

  // Each outcome reached the host once, over the hundreds of snapshots of
  // the ten minutes between them.
  Snap();
  EXPECT_GT(snapshots_, 500);
  const std::string synced = "MDL Server is now Synchronized to Atomic Time.";
  EXPECT_EQ(sync_reports_,
            (std::vector<std::string>{synced,
                                      "No synchronisation for more than 600 s: NTP replies say "
                                      "unsynchronised.  MDL Server is not Synchronized.",
                                      synced}));
}

TEST(UdpSocketStamp, KernelReportsWhenAStampedDatagramLeft) {
  boost::asio::io_context io;
  SystemClock clock;  // the kernel's own stamps
  net::UdpSocket sender(io, clock);
  ASSERT_FALSE(sender.Bind(boost::asio::ip::make_address("127.0.0.1"), 0));
  int rx = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a = Loopback(0);
  ASSERT_EQ(::bind(rx, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t len = sizeof a;
  ::getsockname(rx, reinterpret_cast<sockaddr*>(&a), &len);
  net::Udp::endpoint to(boost::asio::ip::make_address("127.0.0.1"), ntohs(a.sin_port));
  std::array<uint8_t, 48> query{};
  for (int round = 0; round < 3; ++round) {
    int64_t before = RealtimeNanos();
    ASSERT_TRUE(sender.SendNowStamped(query, to));
    int64_t after = RealtimeNanos();
    const std::optional<UtcTime> taken = sender.TakeSendStamp();
    ASSERT_TRUE(taken) << "no transmit stamp came back (round " << round << ")";
    const int64_t stamp = NsSinceUnixEpoch(*taken);
    EXPECT_GE(stamp, before) << "the stamp must be taken inside the send call";
    EXPECT_LE(stamp, after);
    EXPECT_EQ(sender.TakeSendStamp(), taken) << "the stamp stays until the next stamped send";
    EXPECT_EQ(::recv(rx, query.data(), query.size(), 0), 48);
  }
  // Plain sends ask for no stamp: the error queue stays empty.
  const std::optional<UtcTime> last = sender.TakeSendStamp();
  ASSERT_TRUE(sender.SendTo(query, to));
  EXPECT_EQ(sender.TakeSendStamp(), last);
  ::close(rx);
}

TEST_F(SyncTest, CorrectionLeavesOutTheTimeTheReplyWaitedInTheQueue) {
  WriteSettings();
  WriteList();
  StartEngine();
  Query();
  const Nanoseconds ahead = std::chrono::seconds(1000);
  // The upstream holds the query 7 ms before it answers.
  clock_.advance(std::chrono::milliseconds(7));
  upstream_.Send(CarefulReply(ahead));
  // The reply waits 30 ms in the engine's receive queue while its loop is busy.
  network_.Hold();
  Deliver();
  clock_.advance(std::chrono::milliseconds(30));
  EXPECT_EQ(clock_.set_count(), 0);
  network_.Release();
  ASSERT_EQ(clock_.set_count(), 1);
  // Neither the hold nor the wait in the queue is taken for path delay.
  EXPECT_EQ(clock_.now(), TrueNow() + ahead);
  // Nor for error: the step told is the one made.
  const auto snap = Snap();
  ASSERT_TRUE(snap->served_error_ns.has_value());
  EXPECT_EQ(*snap->served_error_ns, ahead.count());
}

TEST_F(SyncTest, QueryGoesFromASocketOfItsOwnWhenNtpOverUdpIsOff) {
  WriteSettings("", "YES:YES:YES", "YES:YES:YES", /*ntp=*/"YES:YES:NO");
  WriteList();
  StartEngine();
  ASSERT_FALSE(View(Service::kNtp).udp_open);
  Query();
  EXPECT_NE(upstream_.engine_address().port(), port(Service::kNtp));
  const Nanoseconds ahead = std::chrono::seconds(500);
  upstream_.Send(CarefulReply(ahead));
  ASSERT_TRUE(ClockSet()) << "the reply to the own socket was not taken";
  EXPECT_EQ(clock_.now(), TrueNow() + ahead);
  EXPECT_TRUE(Snap()->time_synced);
}

TEST_F(SyncTest, ClientRequestWhileAQueryIsPendingIsAnsweredAndLeavesTheClock) {
  WriteSettings();
  WriteList();
  StartEngine();
  MarkSynced();
  Query();
  auto reply = Ask(port(Service::kNtp), PlainNtpRequest());
  ASSERT_TRUE(reply && reply->size() == 48) << "a client request must be served while a query is pending";
  EXPECT_EQ(clock_.set_count(), 0) << "a client request must never set the clock";
  // Synchronised by command, not from an upstream: no reference id yet.
  EXPECT_EQ(std::vector<uint8_t>(reply->begin() + 12, reply->begin() + 16), std::vector<uint8_t>(4, 0));
  auto s = Snap();
  EXPECT_TRUE(s->query_pending);
  EXPECT_EQ(s->counters.Get(Service::kNtp, Transport::kUdp), 1u);
}

TEST_F(SyncTest, OnlyTheUpstreamThatWasAskedCanSetTheClock) {
  WriteSettings();
  WriteList();
  StartEngine();
  Query();
  // The same bytes from another socket: not the reply.
  auto forged = upstream_.Reply(clock_.now() + std::chrono::hours(5));
  auto other = network_.MakePort();
  ASSERT_FALSE(other->Bind(boost::asio::ip::address_v4::loopback(), 0));
  other->SendTo(forged, upstream_.engine_address());
  Deliver();
  EXPECT_EQ(clock_.set_count(), 0) << "a reply from a host that was not asked moved the clock";
  EXPECT_TRUE(Snap()->query_pending);
  // The real reply still counts, once; a second copy is not applied again.
  auto real = upstream_.Reply(clock_.now());
  upstream_.Send(real);
  EXPECT_TRUE(ClockSet());
  upstream_.Send(real);
  Deliver();
  EXPECT_EQ(clock_.set_count(), 1) << "a second reply to the same query set the clock again";
  EXPECT_FALSE(Snap()->query_pending);
}

TEST_F(SyncTest, WithoutTheRightToSetTheClockTheTimeIsServedHeldAndSetOnceTheRightCame) {
  RefusingClock machine(clock_);
  FallbackClock fallback(machine);
  engine_clock_ = &fallback;
  WriteSettings();
  WriteList();
  StartEngine();
  Query();
  const UtcTime upstream_time = clock_.now() + std::chrono::seconds(1000);
  upstream_.Send(upstream_.Reply(upstream_time - std::chrono::milliseconds(100), upstream_time));
  Deliver();
  EXPECT_EQ(machine.attempts, 1);
  EXPECT_EQ(clock_.set_count(), 0) << "the machine's clock was set";
  ASSERT_TRUE(fallback.held());
  EXPECT_EQ(fallback.now() - upstream_time, std::chrono::milliseconds(1));
  auto s = Snap();
  EXPECT_TRUE(s->time_synced) << "a held time is a synchronised one";
  EXPECT_EQ(s->sync_message,
            "Clock could not be set: Operation not permitted; the time is served without setting it.  MDL "
            "Server is now Synchronized to Atomic Time.");
  ASSERT_EQ(warnings_.size(), 2u) << "one warning line and the status text at warning priority";
  EXPECT_NE(warnings_[0].find("cannot set the machine's clock: Operation not permitted"), std::string::npos)
      << warnings_[0];
  EXPECT_EQ(warnings_[1], s->sync_message);
  // Clients get the upstream's time (Time over TCP: seconds since 1900).
  auto tcp = WithLoop([&] { return TcpAsk(port(Service::kTime)); });
  ASSERT_TRUE(tcp && tcp->data.size() == 4) << "a held time must be served";
  EXPECT_NEAR(static_cast<double>(Field32(tcp->data, 0)),
              static_cast<double>(NtpFromUtc(upstream_time).seconds), 2.0);
  // The machine's clock is tried again after 60 s, then 120 s later.
  Advance(std::chrono::seconds(59));
  EXPECT_EQ(machine.attempts, 1);
  Advance(std::chrono::seconds(2));
  EXPECT_EQ(machine.attempts, 2);
  EXPECT_TRUE(fallback.held());
  machine.allowed = true;
  Advance(std::chrono::seconds(121));
  EXPECT_EQ(machine.attempts, 3);
  EXPECT_FALSE(fallback.held()) << "the right came back: the machine's clock takes the time";
  EXPECT_EQ(clock_.set_count(), 1);
  EXPECT_LT(std::chrono::abs(clock_.now() - fallback.now()), std::chrono::microseconds(1));
  EXPECT_NEAR(std::chrono::duration<double>(clock_.now() - upstream_time).count(), 0.001 + 0.1 * 2 + 182,
              1.0);
  EXPECT_TRUE(Diagnosed("the machine's clock is set now"));
  EXPECT_EQ(warnings_.size(), 2u) << "no more warnings";
  handle_.reset();  // before the clocks it runs on
}

TEST_F(SyncTest, WithoutClockRightRefuseKeepsTheServerUnsynchronised) {
  RefusingClock machine(clock_);
  FallbackClock fallback(machine);
  engine_clock_ = &fallback;
  WriteSettings("\"WithoutClockRight\"=\"REFUSE\"\n");
  WriteList();
  StartEngine();
  Query();
  const UtcTime upstream_time = clock_.now() + std::chrono::seconds(1000);
  upstream_.Send(upstream_.Reply(upstream_time - std::chrono::milliseconds(100), upstream_time));
  Deliver();
  EXPECT_FALSE(fallback.held());
  auto s = Snap();
  EXPECT_FALSE(s->time_synced);
  EXPECT_EQ(s->sync_message,
            "Clock could not be set: Operation not permitted.  MDL Server is not Synchronized.");
  ASSERT_EQ(warnings_.size(), 1u) << "the failure is a warning";
  EXPECT_EQ(warnings_[0], s->sync_message);
  EXPECT_FALSE(Ask(port(Service::kNtp), PlainNtpRequest())) << "an unsynchronised server answers nobody";
  handle_.reset();  // before the clocks it runs on
}

TEST_F(SyncTest, RefusalsAndUnsynchronisedUpstreamsDoNotSetTheClock) {
  WriteSettings();
  WriteList();
  StartEngine();
  Query();
  upstream_.Send(upstream_.Reply(clock_.now() + std::chrono::hours(1), /*stratum=*/0));
  Deliver();
  EXPECT_TRUE(Diagnosed("synchronisation failed"));
  EXPECT_EQ(clock_.set_count(), 0) << "a kiss-o'-death reply set the clock";
  auto s = Snap();
  EXPECT_FALSE(s->time_synced);
  EXPECT_EQ(s->last_update_text, "Never");
}

TEST_F(SyncTest, UnansweredQueryTimesOutAndIsRetriedAfterADoublingDelay) {
  query_gap_ = std::chrono::milliseconds(0);
  WriteSettings();
  WriteList();
  StartEngine();
  // Half a tick in: the one-second ticks fall between the whole seconds of the query's time-out.
  Advance(std::chrono::milliseconds(500));
  Query();
  Advance(std::chrono::milliseconds(4800));
  EXPECT_FALSE(Diagnosed("no reply")) << "the query timed out early";
  EXPECT_TRUE(Snap()->query_pending);       // 4.9 s after the query
  Advance(std::chrono::milliseconds(100));  // 5 s
  ASSERT_TRUE(Diagnosed("next attempt in 2 s")) << (diagnostics_.empty() ? "" : diagnostics_.back());
  EXPECT_TRUE(Diagnosed("no reply from 127.0.0.1 within 5 s"));
  // The retry starts with the second tick after the failure, not before.
  Advance(std::chrono::milliseconds(1200));
  RunFor(std::chrono::milliseconds(50));
  EXPECT_EQ(network_.in_flight(), 0u) << "retried before its delay";
  EXPECT_FALSE(upstream_.TryReceive()) << "retried before its delay";
  EXPECT_FALSE(Snap()->query_pending);  // 6.4 s
  Advance(std::chrono::milliseconds(300));
  ASSERT_TRUE(QueryArrives()) << "no retry after the delay";
  // Unanswered again: the next delay is twice as long.
  Advance(std::chrono::seconds(5));
  EXPECT_TRUE(Diagnosed("next attempt in 4 s"));
  EXPECT_EQ(clock_.set_count(), 0);
  // A reply to the third query is applied, and the delays start again from 2 s.
  Advance(std::chrono::seconds(4));
  ASSERT_TRUE(QueryArrives()) << "no third query";
  upstream_.Send(upstream_.Reply(clock_.now()));
  ASSERT_TRUE(ClockSet());
  EXPECT_TRUE(Snap()->time_synced);
  // What the status command and the metrics read: two failures, then one synchronisation.
  const SyncStatus& st = Snap()->sync;
  EXPECT_EQ(st.failures, 2u);
  EXPECT_EQ(st.syncs, 1u);
  EXPECT_NE(st.last_failure_text.find("no reply from 127.0.0.1"), std::string::npos) << st.last_failure_text;
  ASSERT_TRUE(st.first_sync && st.last_sync);
  EXPECT_EQ(*st.first_sync, *st.last_sync);
  EXPECT_EQ(st.upstream_address, "127.0.0.1");
}

TEST_F(SyncTest, SnapshotCarriesTheFactsOfTheSynchronisationAndTheServing) {
  WriteSettings();
  WriteList();
  StartEngine();
  EXPECT_EQ(Snap()->sync.syncs, 0u);
  Query();
  std::array<uint8_t, 48> r = upstream_.Reply(clock_.now(), /*stratum=*/1);
  r[6] = 0x40;  // root delay 0.25 s
  r[12] = 'G';
  r[13] = 'P';
  r[14] = 'S';
  r[15] = 0;
  upstream_.Send(r);
  ASSERT_TRUE(ClockSet());
  const UtcTime synced_at = clock_.now();
  ASSERT_TRUE(Ask(port(Service::kNtp), PlainNtpRequest()));
  ASSERT_TRUE(Ask(port(Service::kNtp), PlainNtpRequest()));
  Advance(std::chrono::seconds(1));
  auto s = Snap();
  EXPECT_EQ(s->sync.syncs, 1u);
  EXPECT_EQ(s->sync.failures, 0u);
  EXPECT_EQ(s->sync.upstream_stratum, 1);
  EXPECT_EQ(RefIdText(s->sync.upstream_ref_id, s->sync.upstream_stratum), "GPS");
  ASSERT_TRUE(s->sync.last_sync);
  EXPECT_LE(std::chrono::abs(*s->sync.last_sync - synced_at), std::chrono::milliseconds(10));
  EXPECT_EQ(s->served.stratum, 2);
  EXPECT_EQ(RefIdText(s->served.ref_id, s->served.stratum), "127.0.0.1");
  EXPECT_GE(s->served.root_delay_s, 0.25);
  EXPECT_LT(s->served.root_delay_s, 0.3);
  EXPECT_EQ(s->counters.Get(Service::kNtp, Transport::kUdp), 2u);
  EXPECT_EQ(s->stats.answered[Index(Service::kNtp)][Index(Transport::kUdp)], 2u);
  EXPECT_EQ(s->stats.answered[Index(Service::kTime)][Index(Transport::kUdp)], 0u);
  EXPECT_EQ(s->services[Index(Service::kNtp)].udp_port, port(Service::kNtp));
  ASSERT_TRUE(s->next_sync);
  EXPECT_GT(*s->next_sync, s->taken_at);
  EXPECT_LE(*s->next_sync - s->taken_at, std::chrono::seconds(s->sync_interval_seconds));
}

TEST_F(SyncTest, EmptyListOrRegionSendsNothing) {
  WriteSettings();
  {
    std::ofstream f(home_ / "QOR_MDLS4.MDL");
    f << "h1\nh2\nh3\nh4\nh5\n127.0.0.1:" << upstream_.port() << ":::Somewhere - EU:::2:::x\n";
  }
  StartEngine();
  Do(cmd::SyncNow{});
  EXPECT_TRUE(Diagnosed("no upstream server of region NA"));
  RunFor(std::chrono::milliseconds(50));
  EXPECT_FALSE(upstream_.TryReceive()) << "region NA has no server, so no query may go out";
  EXPECT_FALSE(Snap()->query_pending);
  // Every later attempt finds the same: the line is not written again.
  Do(cmd::SyncNow{});
  Do(cmd::SyncNow{});
  Advance(std::chrono::seconds(3));
  EXPECT_EQ(
      std::count_if(diagnostics_.begin(), diagnostics_.end(),
                    [](const std::string& d) { return d.find("no upstream server of region") != d.npos; }),
      1);
}

TEST_F(SyncTest, ARegionWithoutServerIsSaidInTheStatusLineUntilOneWithServersIsChosen) {
  WriteSettings();
  WriteList();
  StartEngine();
  Advance(std::chrono::seconds(1));
  EXPECT_FALSE(Snap()->region_without_server);
  EXPECT_EQ(Snap()->status_line.rfind("Server Status: ", 0), 0u) << Snap()->status_line;
  Do(cmd::SetRegion{"EU"});
  SnapshotPtr s = Snap();
  EXPECT_TRUE(s->region_without_server);
  EXPECT_EQ(s->status_line.rfind("No server of region EU in the list.\r# ", 0), 0u) << s->status_line;
  EXPECT_NE(s->status_line.find("\rLast Atomic Update: "), std::string::npos)
      << "the counts and last update stay";
  // The ticks keep saying it.
  Advance(std::chrono::seconds(3));
  EXPECT_EQ(Snap()->status_line.rfind("No server of region EU in the list.", 0), 0u);
  // A region of the list: the server status again, at once.
  Do(cmd::SetRegion{"NA"});
  s = Snap();
  EXPECT_FALSE(s->region_without_server);
  EXPECT_EQ(s->status_line.find("No server"), std::string::npos) << s->status_line;
  EXPECT_EQ(s->selected_server, 1);
}

TEST_F(SyncTest, IntervalTooLongIsRejectedAndThePreviousOneKept) {
  WriteSettings();
  WriteList();
  StartEngine();
  EXPECT_EQ(Snap()->sync_interval_seconds, 59 * 60);
  Do(cmd::SetInterval{"24856", "Day/s"});
  EXPECT_EQ(Snap()->sync_interval_seconds, 59 * 60);
  ASSERT_FALSE(diagnostics_.empty());
  EXPECT_NE(diagnostics_.back().find("24856"), std::string::npos) << diagnostics_.back();
  Do(cmd::SetInterval{"2", "Day/s"});
  auto s = Snap();
  EXPECT_EQ(s->sync_interval_seconds, 172800);
  EXPECT_EQ(s->interval_count, "2");
  EXPECT_EQ(s->interval_unit, "Day/s");
}

// An off-path forger knows the send second and sweeps the other bytes; even
// with the upstream's own address and port, none of it may move the clock.
TEST_F(SyncTest, ForgedRepliesAgainstASilentUpstreamNeverMoveTheClock) {
  WriteSettings();
  WriteList();
  StartEngine();
  Query();
  for (int i = 0; i < 1024; ++i) {
    auto forged = upstream_.Reply(clock_.now() + std::chrono::hours(1));
    forged[28] = static_cast<uint8_t>(i >> 8);
    forged[29] = static_cast<uint8_t>(i >> 2);
    forged[30] = static_cast<uint8_t>(i * 7);
    forged[31] = static_cast<uint8_t>(i);
    upstream_.Send(forged);
  }
  Deliver();
  EXPECT_EQ(clock_.set_count(), 0) << "a forged reply set the clock";
  EXPECT_TRUE(Diagnosed("ignored a reply that does not match the query"));
  Advance(std::chrono::seconds(6));
  EXPECT_TRUE(Diagnosed("no reply from 127.0.0.1 within 5 s"));
  EXPECT_EQ(clock_.set_count(), 0);
  EXPECT_FALSE(Snap()->time_synced);
}

TEST_F(SyncTest, LargeStepAfterTheFirstIsRefusedUntilASecondExchangeAgrees) {
  query_gap_ = std::chrono::milliseconds(0);
  WriteSettings();
  WriteList();
  StartEngine();
  Query();
  upstream_.Send(upstream_.Reply(clock_.now() + std::chrono::hours(24 * 365)));
  ASSERT_TRUE(ClockSet()) << "the first synchronisation after start has no bound";
  auto ask = [&](std::chrono::seconds step) {
    Query();
    upstream_.Send(upstream_.Reply(clock_.now() + step));
  };
  ask(std::chrono::seconds(3600));
  Deliver();
  ASSERT_TRUE(Diagnosed("more than MaxStepSeconds (1000 s)"));
  EXPECT_EQ(clock_.set_count(), 1);
  EXPECT_NE(Snap()->sync_message.find("Clock could not be set: the time server is +3600"), std::string::npos)
      << Snap()->sync_message;
  ask(std::chrono::seconds(3610));  // disagrees: refused again
  Deliver();
  ASSERT_TRUE(Diagnosed("+3610"));
  EXPECT_EQ(clock_.set_count(), 1);
  ask(std::chrono::seconds(3611));  // agrees with the one before
  ASSERT_TRUE(ClockSet(2));
  EXPECT_TRUE(Diagnosed("confirmed by a second exchange"));
  ask(std::chrono::seconds(900));
  ASSERT_TRUE(ClockSet(3)) << "steps within the bound are applied at once";
}

TEST_F(SyncTest, MaxStepSecondsFromTheRegistryAndTimesBefore2025) {
  query_gap_ = std::chrono::milliseconds(0);
  WriteSettings("\"MaxStepSeconds\"=\"5000\"\n");
  WriteList();
  StartEngine();
  Query();
  // 100 years ahead folds into the 1980s: refused even at the first synchronisation.
  upstream_.Send(upstream_.Reply(clock_.now() + std::chrono::hours(24 * 36525)));
  Deliver();
  ASSERT_TRUE(Diagnosed("gave a time before 2025"));
  EXPECT_EQ(clock_.set_count(), 0);
  Query();
  upstream_.Send(upstream_.Reply(clock_.now()));
  ASSERT_TRUE(ClockSet());
  Query();
  upstream_.Send(upstream_.Reply(clock_.now() + std::chrono::seconds(4000)));
  ASSERT_TRUE(ClockSet(2)) << "4000 s is within MaxStepSeconds 5000";
  Query();
  upstream_.Send(upstream_.Reply(clock_.now() + std::chrono::seconds(6000)));
  Deliver();
  ASSERT_TRUE(Diagnosed("more than MaxStepSeconds (5000 s)"));
  EXPECT_EQ(clock_.set_count(), 2);
}

class SyncPaceTest : public SyncTest {
 protected:
  // Advances `d` of frozen time, answering every query with `answer`; returns
  // how many queries arrived.
  int Run(std::chrono::seconds d, const std::function<void()>& answer) {
    int queries = 0;
    for (auto done = std::chrono::milliseconds(0); done < d; done += std::chrono::milliseconds(100)) {
      clock_.advance(std::chrono::milliseconds(100));
      RunFor(std::chrono::milliseconds(1));  // the name look-up completes on the resolver's thread
      while (upstream_.TryReceive()) {
        ++queries;
        answer();
      }
    }
    return queries;
  }
  void WriteInterval(const std::string& settings) {
    WriteSettings();
    std::string text = ReadFile(home_ / "registry.reg");
    text.replace(text.find("NO:59:Minute/s"), 14, settings);
    std::ofstream(home_ / "registry.reg") << text;
    WriteList();
  }
};

TEST_F(SyncPaceTest, TinyIntervalsQueryAtMostEvery16Seconds) {
  for (const char* count : {"0", "-1", "0.0001"}) {
    SCOPED_TRACE(count);
    diagnostics_.clear();
    WriteInterval(std::string("NO:") + count + ":Second/s");
    StartEngine();
    Do(cmd::SyncNow{});
    int n = Run(std::chrono::seconds(40), [&] { upstream_.Send(upstream_.Reply(clock_.now())); });
    EXPECT_GE(n, 2);
    EXPECT_LE(n, 3) << "queries at 0, 16 and 32 s at most";
    handle_.reset();
  }
}

TEST_F(SyncPaceTest, OperatorQueriesInsideTheGapAreDeferred) {
  WriteInterval("NO:59:Minute/s");
  StartEngine();
  Do(cmd::SyncNow{});
  Do(cmd::SyncNow{});
  EXPECT_TRUE(Diagnosed("upstream query deferred"));
  EXPECT_EQ(Run(std::chrono::seconds(15), [] {}), 1);
  EXPECT_EQ(Run(std::chrono::seconds(3), [] {}), 1) << "the deferred query goes out after the gap";
}

TEST_F(SyncPaceTest, OneByteRepliesBackOff) {
  WriteInterval("NO:59:Minute/s");
  StartEngine();
  Do(cmd::SyncNow{});
  int n = Run(std::chrono::seconds(60), [&] { upstream_.SendBytes({0}); });
  EXPECT_GE(n, 2);
  EXPECT_LE(n, 4);
  EXPECT_TRUE(Diagnosed("sent a one-byte reply; next attempt in 16 s"));
  EXPECT_EQ(clock_.set_count(), 0);
}

TEST_F(SyncPaceTest, StoredIntervalBeyond32BitsKeepsTheDefault) {
  WriteInterval("NO:99999999999:Day/s");
  StartEngine();
  EXPECT_EQ(Snap()->sync_interval_seconds, 59 * 60);
  EXPECT_TRUE(Diagnosed("Interval left at 3540 seconds"));
}

// A clock whose oscillator runs 50 ppm fast, against an upstream that answers
// the true time: the start time plus the monotonic time passed.
class DisciplineTest : public SyncTest {
 protected:
  // `kernel_ppm`: the rate the clock already runs at when the engine starts.
  void Begin(const std::string& discipline, const std::string& extra = "", double kernel_ppm = 0) {
    // A day's interval: the test starts each synchronisation itself. Every
    // synchronisation steps unless `extra` says otherwise.
    WriteSettings("\"Settings\"=\"NO:24:Hour/s:NA:36\"\n\"Discipline\"=\"" + discipline +
                  "\"\n\"SlewThresholdMs\"=\"0\"\n" + extra);
    WriteList();
    // Queries an earlier engine left unanswered, those still on the way included.
    if (network_.in_flight() > 0) clock_.advance(network_.delay());
    while (upstream_.TryReceive()) {
    }
    clock_.set_frequency(kernel_ppm);
    true_start_ = clock_.now() - clock_.monotonic();
    clock_.set_oscillator_error(50);
    StartEngine();
  }
  UtcTime TrueNow() const { return true_start_ + clock_.monotonic(); }
  // Lets `d` pass, then synchronises with an upstream `lie` off the true
  // time; returns the error served just before.
  Nanoseconds WaitAndSync(Nanoseconds d, Nanoseconds lie = Nanoseconds(0)) {
    Advance(d, std::chrono::seconds(10));
    const Nanoseconds served = clock_.now() - TrueNow();
    const int sets = clock_.set_count();
    Do(cmd::SyncNow{});
    EXPECT_TRUE(QueryArrives());
    upstream_.Send(upstream_.Reply(TrueNow() + lie));
    EXPECT_TRUE(ClockSet(sets + 1));
    return served;
  }
  // A value of the settings store as saved, or nullopt.
  std::optional<std::string> Saved(const std::string& name) {
    const std::string text = ReadFile(home_ / "registry.reg");
    const std::string key = "\"" + name + "\"=\"";
    const size_t at = text.rfind(key);
    if (at == std::string::npos) return std::nullopt;
    const size_t from = at + key.size();
    return text.substr(from, text.find('"', from) - from);
  }
  static double Ms(Nanoseconds d) { return std::chrono::duration<double, std::milli>(d).count(); }
  static constexpr Nanoseconds kMinute = std::chrono::minutes(1);
  // Served errors are compared in ms; what the exchange leaves is below this.
  static constexpr double kMicrosecond = 0.001;
  UtcTime true_start_{};
};

// The correction moves once three figures agree (the fourth synchronisation),
// and then by at most 10 ppm a synchronisation: from no correction, -50 ppm is
// in force from the eighth, so the ninth is the first to serve no drift.
TEST_F(DisciplineTest, FiftyPpmFastIsCorrectedOnceThreeFiguresAgreeTenPpmAtATimeAndFollowsAChange) {
  for (auto interval : {std::chrono::minutes(59), std::chrono::minutes(5)}) {
    SCOPED_TRACE(std::to_string(interval.count()) + " min");
    TearDown();
    SetUp();
    Begin("YES");
    std::vector<double> served_ms;
    for (int i = 0; i < 10; ++i)
      served_ms.push_back(std::chrono::duration<double, std::milli>(WaitAndSync(interval)).count());
    const double free_run = 50e-6 * std::chrono::duration<double, std::milli>(interval).count();
    // The exchange runs on the test's network in virtual time: what is left
    // is the 1 ms path measured on a clock 50 ppm off (50 ns), far below a
    // microsecond and a hundredth of a ppm.
    const double ppm_bound = 0.01;
    for (int i = 0; i < 4; ++i) {
      EXPECT_NEAR(served_ms[i], free_run, kMicrosecond) << "before three figures the clock runs 50 ppm fast, "
                                                        << "synchronisation " << i + 1;
    }
    for (int i = 4; i < 8; ++i) {
      EXPECT_NEAR(served_ms[i], free_run * (1 - (i - 3) * 0.2), kMicrosecond)
          << "10 ppm less at synchronisation " << i + 1;
    }
    for (int i = 8; i < 10; ++i)
      EXPECT_LT(std::fabs(served_ms[i]), kMicrosecond) << "synchronisation " << i + 1;
    EXPECT_NEAR(Snap()->frequency_ppm, -50, ppm_bound);
    EXPECT_NEAR(clock_.frequency(), -50, ppm_bound);
    ASSERT_TRUE(Snap()->served_error_ns.has_value());
    EXPECT_TRUE(Diagnosed("frequency correction -50."));
    // The oscillator drifts 5 ppm faster: followed within three synchronisations.
    clock_.set_oscillator_error(55);
    for (int i = 0; i < 3; ++i) WaitAndSync(interval);
    // Each figure carries its two exchanges' 55 ns: over an hour, about a microsecond.
    EXPECT_LT(std::fabs(std::chrono::duration<double, std::milli>(WaitAndSync(interval)).count()),
              2 * kMicrosecond);
    EXPECT_NEAR(Snap()->frequency_ppm, -55, ppm_bound);
  }
}

TEST_F(DisciplineTest, OffLeavesTheRateAloneAndServesTheFreeRunningError) {
  Begin("NO");
  for (int i = 0; i < 4; ++i) {
    const double served =
        std::chrono::duration<double, std::milli>(WaitAndSync(std::chrono::minutes(59))).count();
    EXPECT_NEAR(served, 177.0, kMicrosecond) << "synchronisation " << i + 1;
  }
  EXPECT_EQ(clock_.frequency(), 0);
  EXPECT_EQ(Snap()->frequency_ppm, 0);
}

TEST_F(DisciplineTest, ClockSetFromOutsideIsNotTakenForDrift) {
  Begin("YES");
  for (int i = 0; i < 8; ++i) WaitAndSync(std::chrono::minutes(59));
  ASSERT_NEAR(Snap()->frequency_ppm, -50, 0.01);
  // An operator moves the clock 150 ms back in three intervals running: read
  // as drift, each would give a figure of +14 ppm, and three agreeing figures
  // would move the correction.
  for (int i = 0; i < 3; ++i) {
    Advance(std::chrono::minutes(20), std::chrono::seconds(10));
    clock_.advance(-std::chrono::milliseconds(150));
    WaitAndSync(std::chrono::minutes(39));
  }
  EXPECT_NEAR(Snap()->frequency_ppm, -50, 0.01);
  // Free running would serve 177 ms, -40 ppm 35 ms.
  EXPECT_LT(
      std::fabs(std::chrono::duration<double, std::milli>(WaitAndSync(std::chrono::minutes(59))).count()),
      kMicrosecond);
}

// The answers that ran the correction to its +500 ppm bound: one-minute
// intervals, the attack from the second synchronisation (when one figure was
// all there was). The correction may only move from none towards the truth
// (-50 ppm), never more than 10 ppm beyond; once the upstream answers truly
// again it settles on the truth.
TEST_F(DisciplineTest, FlakyUpstreamCannotRunTheCorrectionAway) {
  const auto minute = kMinute;
  struct Attack {
    const char* name;
    std::function<Nanoseconds(int)> lie;  // by synchronisation of the attack, from 0
  };
  const Attack attacks[] = {
      {"one answer 3 s off",
       [](int k) { return k == 0 ? std::chrono::seconds(3) : std::chrono::seconds(0); }},
      {"alternating +-2 s", [](int k) { return k % 2 ? std::chrono::seconds(-2) : std::chrono::seconds(2); }},
      {"upstream drifting 3000 ppm",
       [](int k) { return std::chrono::duration_cast<Nanoseconds>(std::chrono::minutes(k + 1) * 3000e-6); }},
  };
  for (const Attack& a : attacks) {
    SCOPED_TRACE(a.name);
    TearDown();
    SetUp();
    diagnostics_.clear();
    Begin("YES");
    WaitAndSync(minute);
    bool away = false;
    auto check = [&](const std::string& when) {
      const double ppm = Snap()->frequency_ppm;
      if (ppm >= -60 && ppm <= 10) return;
      ADD_FAILURE() << a.name << ": correction " << ppm << " ppm at " << when;
      away = true;
    };
    for (int k = 0; k < 6 && !away; ++k) {
      WaitAndSync(minute, a.lie(k));
      check("attack synchronisation " + std::to_string(k + 1));
    }
    std::vector<double> served_ms;
    for (int k = 0; k < 11 && !away; ++k) {
      served_ms.push_back(Ms(WaitAndSync(minute)));
      check("good synchronisation " + std::to_string(k + 1) + " after it");
    }
    if (away) continue;
    EXPECT_TRUE(Diagnosed("is beyond MaxFrequencyPpm (100.000 ppm)")) << "refused figures are told";
    // The first good one serves the last lie; three more figures and five
    // steps of 10 ppm later, the truth.
    EXPECT_LT(std::fabs(served_ms.back()), kMicrosecond);
    EXPECT_NEAR(clock_.frequency(), -50, 0.01) << "the truth";
  }
}

// After one bad answer the upstream falls silent for six hours: the rate
// must be what it was, not a correction the answer asked for.
TEST_F(DisciplineTest, SilentUpstreamAfterABadAnswerLeavesTheRateAlone) {
  struct Case {
    const char* stored;  // "FrequencyPpm" of an earlier run
    double growth_ms;    // the error added over the six hours
  };
  // 50 ppm fast: 1080 ms in six hours uncorrected; with a correction of +500
  // ppm, 11.9 s.
  const Case cases[] = {{"", 1080}, {"-50.000", 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("stored \"") + c.stored + "\"");
    TearDown();
    SetUp();
    Begin("YES", *c.stored ? std::string("\"FrequencyPpm\"=\"") + c.stored + "\"\n" : "");
    WaitAndSync(kMinute);
    WaitAndSync(kMinute, std::chrono::seconds(3));
    const Nanoseconds at_silence = clock_.now() - TrueNow();
    Advance(std::chrono::hours(6), std::chrono::minutes(1));
    const double growth_ms = Ms(clock_.now() - TrueNow() - at_silence);
    // 10 ppm over six hours.
    EXPECT_NEAR(growth_ms, c.growth_ms, 216) << "the rate ran away during the silence";
  }
}

// Started on a clock that already runs at -47 ppm (corrected before), the
// figures are measured against that rate, not against none.
TEST_F(DisciplineTest, StartsFromTheRateTheClockRunsAt) {
  Begin("YES", "", -47);
  EXPECT_TRUE(Diagnosed("frequency correction starts at -47.000 ppm (the clock's own)"));
  EXPECT_EQ(clock_.frequency(), -47) << "the rate in force was replaced at start";
  std::vector<double> served_ms;
  for (int i = 0; i < 5; ++i) served_ms.push_back(Ms(WaitAndSync(std::chrono::minutes(59))));
  EXPECT_NEAR(served_ms[1], 3e-6 * 59 * 60e3, kMicrosecond) << "3 ppm over 59 minutes";
  EXPECT_NEAR(clock_.frequency(), -50, 0.01);
  EXPECT_LT(std::fabs(served_ms[4]), kMicrosecond);
}

// An outage of three intervals while the correction heads for a new value
// brings back the confirmed one; a stop leaves and stores it, and the next
// start takes it up.
TEST_F(DisciplineTest, LostUpstreamAndStopKeepOnlyTheConfirmedCorrection) {
  const auto interval = std::chrono::minutes(5);
  for (bool stop_first : {false, true}) {
    SCOPED_TRACE(stop_first ? "stopped while learning" : "upstream lost while learning");
    TearDown();
    SetUp();
    diagnostics_.clear();
    Begin("YES");
    for (int i = 0; i < 8; ++i) WaitAndSync(interval);
    ASSERT_NEAR(clock_.frequency(), -50, 0.01);
    // The oscillator moves 30 ppm: two figures are outvoted, the third sets
    // the correction 10 ppm on its way.
    clock_.set_oscillator_error(80);
    for (int i = 0; i < 2; ++i) WaitAndSync(interval);
    const double confirmed = clock_.frequency();
    ASSERT_NEAR(confirmed, -50, 0.01);
    WaitAndSync(interval);
    ASSERT_NEAR(clock_.frequency(), confirmed - 10, 1e-9);
    EXPECT_TRUE(Diagnosed("(not confirmed yet;"));
    if (!stop_first) {
      Do(cmd::SetInterval{"1", "Minute/s"});
      Advance(std::chrono::seconds(170), std::chrono::seconds(10));
      EXPECT_NEAR(clock_.frequency(), confirmed - 10, 1e-9) << "held before three intervals had passed";
      Advance(std::chrono::seconds(20), std::chrono::seconds(10));
      EXPECT_NEAR(clock_.frequency(), confirmed, 1e-9)
          << "no fall back after three intervals without an answer";
      EXPECT_TRUE(Diagnosed("no synchronisation for 3 intervals: frequency correction back from"));
    }
    handle_.reset();
    EXPECT_NEAR(clock_.frequency(), confirmed, 1e-9) << "a stop left a correction not confirmed";
    const std::optional<std::string> saved = Saved("FrequencyPpm");
    ASSERT_TRUE(saved.has_value()) << "the correction was not stored at the stop";
    EXPECT_NEAR(std::stod(*saved), confirmed, 0.001);
    // The next start takes it up, whatever the clock runs at by then.
    diagnostics_.clear();
    clock_.set_frequency(7);
    StartEngine();
    EXPECT_NEAR(clock_.frequency(), confirmed, 0.001);
    EXPECT_TRUE(Diagnosed("(stored at the last stop)"));
  }
}

TEST_F(DisciplineTest, HostileStoredValuesAreRefusedWithADiagnostic) {
  struct Case {
    std::string values;  // registry lines
    double kernel_ppm;   // the rate the clock runs at
    double start_ppm;    // the correction in force after the start
    const char* diagnostic;
  };
  const Case cases[] = {
      {"\"FrequencyPpm\"=\"150\"\n", -7, -7,
       "FrequencyPpm \"150\" is not a number of ppm within MaxFrequencyPpm (100.000); ignored"},
      {"\"FrequencyPpm\"=\"nan\"\n", -7, -7, "FrequencyPpm \"nan\" is not"},
      {"\"FrequencyPpm\"=\"1e2\"\n", -7, -7, "FrequencyPpm \"1e2\" is not"},
      {"\"FrequencyPpm\"=\"-0x20\"\n", -7, -7, "FrequencyPpm \"-0x20\" is not"},
      {"\"FrequencyPpm\"=\"12,5\"\n", -7, -7, "FrequencyPpm \"12,5\" is not"},
      {"\"FrequencyPpm\"=\"" + std::string(400, '9') + "\"\n", -7, -7, "FrequencyPpm \"999"},
      {"\"MaxFrequencyPpm\"=\"30\"\n\"FrequencyPpm\"=\"40\"\n", -7, -7,
       "FrequencyPpm \"40\" is not a number of ppm within MaxFrequencyPpm (30.000)"},
      {"\"MaxFrequencyPpm\"=\"0\"\n\"FrequencyPpm\"=\"40\"\n", -7, 40,
       "MaxFrequencyPpm \"0\" is not a number of ppm above 0 and up to 500.000; 100.000 kept"},
      {"\"MaxFrequencyPpm\"=\"501\"\n", -7, -7, "MaxFrequencyPpm \"501\" is not"},
      {"\"MaxFrequencyPpm\"=\"inf\"\n", -7, -7, "MaxFrequencyPpm \"inf\" is not"},
      // Values that are fine.
      {"\"FrequencyPpm\"=\" -12.5 \"\n", -7, -12.5, "frequency correction starts at -12.500 ppm (stored"},
      {"\"MaxFrequencyPpm\"=\"250\"\n\"FrequencyPpm\"=\"+240\"\n", 0, 240, "starts at +240.000 ppm (stored"},
      // A clock beyond the bound (another program's doing) is brought within it.
      {"", 300, 100, "the clock runs at +300.000 ppm, beyond MaxFrequencyPpm (100.000 ppm)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.values);
    TearDown();
    SetUp();
    diagnostics_.clear();
    Begin("YES", c.values, c.kernel_ppm);
    EXPECT_TRUE(Diagnosed(c.diagnostic)) << "missing: " << c.diagnostic;
    EXPECT_EQ(clock_.frequency(), c.start_ppm);
    EXPECT_EQ(Snap()->frequency_ppm, c.start_ppm);
  }
  // Switched off, the discipline neither applies nor overwrites a stored value.
  TearDown();
  SetUp();
  Begin("NO", "\"FrequencyPpm\"=\"-30\"\n", 0);
  EXPECT_EQ(clock_.frequency(), 0);
  handle_.reset();
  EXPECT_EQ(Saved("FrequencyPpm"), "-30");
}

TEST_F(SyncTest, BurstTakesTheExchangeWithTheLeastPathDelay) {
  WriteSettings("\"SyncSamples\"=\"4\"\n");
  WriteList();
  StartEngine();
  Do(cmd::SyncNow{});
  // Each reply a different offset, held a different time. The third tells
  // its hold (receive stamp at the query's arrival, transmit stamp at the
  // send), so its path delay is the shortest although its round trip is the
  // longest; the others say they sent at once.
  const int held_ms[] = {30, 5, 40, 20};
  const int offset_ms[] = {1000, 1100, 1200, 1300};
  for (int k = 0; k < 4; ++k) {
    SCOPED_TRACE("exchange " + std::to_string(k + 1));
    if (k > 0) {
      Advance(UpstreamSync::kBurstSpacing - std::chrono::milliseconds(300));
      EXPECT_EQ(network_.in_flight(), 0u) << "the next exchange of a burst waits 2 s";
      // Fine steps until it leaves.
      bool sent = false;
      for (int ms = 0; ms < 400 && !sent; ++ms) {
        clock_.advance(std::chrono::milliseconds(1));
        sent = PollUntil([&] { return network_.in_flight() > 0; }, std::chrono::milliseconds(1));
      }
      ASSERT_TRUE(sent) << "no next exchange";
      Deliver();
      ASSERT_TRUE(upstream_.TryReceive());
    } else {
      ASSERT_TRUE(QueryArrives());
    }
    const UtcTime received = TrueNow() + std::chrono::milliseconds(offset_ms[k]);
    clock_.advance(std::chrono::milliseconds(held_ms[k]));
    const UtcTime transmitted = TrueNow() + std::chrono::milliseconds(offset_ms[k]);
    upstream_.Send(upstream_.Reply(k == 2 ? received : transmitted, transmitted));
    Deliver();
    if (k < 3) {
      EXPECT_FALSE(Snap()->query_pending) << "the reply was taken";
      EXPECT_EQ(clock_.set_count(), 0) << "the clock waits for the whole burst";
    }
  }
  ASSERT_EQ(clock_.set_count(), 1);
  const auto s = Snap();
  ASSERT_TRUE(s->served_error_ns.has_value());
  std::string lines;
  for (const std::string& d : diagnostics_) lines += d + "\n";
  // The third exchange's offset, to the nanosecond: its 40 ms hold was not path delay.
  EXPECT_EQ(*s->served_error_ns, 1'200'000'000) << lines;
  EXPECT_EQ(clock_.now(), TrueNow() + std::chrono::milliseconds(1200));
  EXPECT_TRUE(Diagnosed("(the least of 4 exchanges)"));
}

// The first synchronisation of a burst steps to one exchange's offset: the
// one nearest the middle of the bounds the four set (queueing only adds
// delay), which need not be the one of least delay.
TEST_F(SyncTest, FirstBurstStepsToTheExchangeNearestTheMiddleOfItsBounds) {
  WriteSettings("\"SyncSamples\"=\"4\"\n\"SyncFilter\"=\"YES\"\n\"SyncRegression\"=\"YES\"\n");
  WriteList();
  const UtcTime true_start = clock_.now() - clock_.monotonic();
  StartEngine();
  Do(cmd::SyncNow{});
  // Offset and hold (µs): the reply is stamped after the hold as if sent at
  // once, so it measures offset + hold / 2 over a path delay of 2 ms + hold,
  // bounding the true offset within [offset - 1 ms, offset + hold + 1 ms]
  // (older bounds loosened by their age). The first is the least delayed
  // (0 µs) but lies at an edge; the second (700 µs) is nearest the middle.
  const int offset_us[] = {0, 600, 500, 600};
  const int hold_us[] = {0, 200, 400, 600};
  for (int k = 0; k < 4; ++k) {
    SCOPED_TRACE("exchange " + std::to_string(k + 1));
    if (k > 0) {
      Advance(UpstreamSync::kBurstSpacing - std::chrono::milliseconds(300));
      bool sent = false;
      for (int ms = 0; ms < 400 && !sent; ++ms) {
        clock_.advance(std::chrono::milliseconds(1));
        sent = PollUntil([&] { return network_.in_flight() > 0; }, std::chrono::milliseconds(1));
      }
      ASSERT_TRUE(sent) << "no next exchange";
      Deliver();
      ASSERT_TRUE(upstream_.TryReceive());
    } else {
      ASSERT_TRUE(QueryArrives());
    }
    clock_.advance(std::chrono::microseconds(hold_us[k]));
    upstream_.Send(
        upstream_.Reply(true_start + clock_.monotonic() + std::chrono::microseconds(offset_us[k])));
    Deliver();
  }
  ASSERT_EQ(clock_.set_count(), 1);
  const double stepped_us =
      std::chrono::duration<double, std::micro>(clock_.now() - (true_start + clock_.monotonic())).count();
  std::string lines;
  for (const std::string& d : diagnostics_) lines += d + "\n";
  EXPECT_NEAR(stepped_us, 700, 0.01) << "the least-delay exchange says 0, the mean of the bounds about 450\n"
                                     << lines;
}

// Paused, the engine reads no datagram; once it continues, each is answered
// with the time it arrived, however long the pause was.
TEST_F(SyncTest, PausedEngineAnswersLaterWithTheArrivalTime) {
  WriteSettings();
  WriteList();
  StartEngine();
  MarkSynced();
  Do(cmd::SetPaused{true});
  Inbox inbox;
  auto client = network_.MakePort();
  ASSERT_FALSE(client->Bind(boost::asio::ip::address_v4::loopback(), 0));
  client->Start(&inbox);
  std::vector<uint8_t> request = PlainNtpRequest();
  client->SendTo(request, {boost::asio::ip::address_v4::loopback(), port(Service::kNtp)});
  Deliver();
  const UtcTime arrived = clock_.now();
  Advance(std::chrono::minutes(3), std::chrono::seconds(1));
  Deliver();
  EXPECT_TRUE(inbox.got.empty()) << "answered while paused";
  EXPECT_EQ(Snap()->counters.Get(Service::kNtp, Transport::kUdp), 0u);
  Do(cmd::SetPaused{false});
  Deliver();
  ASSERT_EQ(inbox.got.size(), 1u);
  const std::vector<uint8_t>& reply = inbox.got.front().data;
  ASSERT_EQ(reply.size(), 48u);
  EXPECT_EQ(NtpTimestamp::FromBytes(reply.data() + 32), NtpFromUtc(arrived))
      << "the receive stamp is the arrival, not the end of the pause";
  EXPECT_EQ(Snap()->counters.Get(Service::kNtp, Transport::kUdp), 1u);
}

// The upstream server may lie in a network the access lists deny: its replies
// still reach the synchronisation, while its address gets no service.
TEST_F(SyncTest, UpstreamInADeniedNetworkStillSynchronisesTheServer) {
  WriteSettings("\"DenyNetworks\"=\"127.0.0.0/30\"\n\"AllowNetworks\"=\"127.0.0.0/8\"\n");
  WriteList();
  StartEngine();
  Query();
  upstream_.Send(upstream_.Reply(clock_.now()));
  ASSERT_TRUE(ClockSet()) << "the reply of an upstream in a denied network was refused";
  auto ask_from = [&](const char* from) -> std::optional<std::vector<uint8_t>> {
    Inbox inbox;
    auto client = network_.MakePort();
    if (client->Bind(boost::asio::ip::make_address(from), 0)) return std::nullopt;
    client->Start(&inbox);
    client->SendTo(PlainNtpRequest(), {boost::asio::ip::address_v4::loopback(), port(Service::kNtp)});
    Deliver();
    Deliver();
    std::optional<Received> r = inbox.Take();
    if (!r) return std::nullopt;
    return r->data;
  };
  EXPECT_FALSE(ask_from("127.0.0.1").has_value()) << "a client in the denied network was answered";
  auto s = Snap();
  EXPECT_EQ(s->counters.Get(Service::kNtp, Transport::kUdp), 0u)
      << "the denied request or the reply was counted";
  EXPECT_EQ(s->stats.udp_dropped[Index(Service::kNtp)][Index(UdpDrop::kDenied)], 1u)
      << "the upstream's reply must not count as a denied datagram";
  auto reply = ask_from("127.0.0.9");
  ASSERT_TRUE(reply && reply->size() == 48) << "a client outside the denied network got no reply";
  EXPECT_EQ(Snap()->counters.Get(Service::kNtp, Transport::kUdp), 1u);
}

// Corrections after the first synchronisation below SlewThresholdMs: the
// clock's rate carries them, on top of the frequency correction.
class SlewTest : public DisciplineTest {
 protected:
  // A clock with no oscillator error (unless a test gives one), slewing
  // below `threshold_ms`, first synchronised by a step.
  void BeginSlewing(int threshold_ms = 128, const std::string& extra = "") {
    query_gap_ = std::chrono::milliseconds(0);
    Begin("YES", "\"SlewThresholdMs\"=\"" + std::to_string(threshold_ms) + "\"\n" + extra);
    clock_.set_oscillator_error(0);
    Advance(kMinute, std::chrono::seconds(10));
    SyncWith(Nanoseconds(0));
    ASSERT_EQ(Snap()->sync.steps, 1u) << "the first synchronisation steps";
    sets_ = clock_.set_count();
  }
  // Steps of the test clock since the first synchronisation.
  int Steps() const { return clock_.set_count() - sets_; }
  // A synchronisation with an upstream `lie` off the true time; no step expected.
  void SyncWith(Nanoseconds lie) {
    Do(cmd::SyncNow{});
    ASSERT_TRUE(QueryArrives());
    upstream_.Send(upstream_.Reply(TrueNow() + lie));
    Deliver();
  }
  // The time served minus the true time.
  Nanoseconds Served() const { return clock_.now() - TrueNow(); }
  // Lets `d` pass in 10 ms steps; false when now() ever went back.
  bool AdvanceMonotonic(Nanoseconds d) {
    UtcTime last = clock_.now();
    bool monotonic = true;
    for (Nanoseconds done{0}; done < d; done += std::chrono::milliseconds(10)) {
      clock_.advance(std::chrono::milliseconds(10));
      handle_->Poll();
      const UtcTime now = clock_.now();
      monotonic &= now > last;
      last = now;
    }
    return monotonic;
  }
  int sets_ = 0;
};

TEST_F(SlewTest, SmallCorrectionIsSlewedWithoutGoingBackAndReachesTheTargetOnTime) {
  for (int sign : {1, -1}) {
    SCOPED_TRACE(sign > 0 ? "ahead" : "behind");
    TearDown();
    SetUp();
    BeginSlewing();
    const Nanoseconds lie = sign * std::chrono::milliseconds(40);
    SyncWith(lie);
    EXPECT_EQ(Steps(), 0) << "a 40 ms correction after the first must not step";
    // 40 ms at 500 ppm: 80 s.
    const Nanoseconds planned = std::chrono::seconds(80);
    EXPECT_NEAR(clock_.frequency(), sign * 500.0, 0.01);
    EXPECT_TRUE(Diagnosed(sign > 0 ? "slewing 40.000 ms over 80.000 s" : "slewing -40.000 ms over 80.000 s"));
    ASSERT_TRUE(AdvanceMonotonic(std::chrono::seconds(40)));
    // Half way: status and metrics tell what is left.
    const SnapshotPtr s = Snap();
    EXPECT_EQ(s->sync.last_correction, SyncStatus::CorrectionKind::kSlew);
    EXPECT_EQ(s->sync.slews, 1u);
    EXPECT_EQ(s->sync.steps, 1u);
    const double left_ms =
        std::chrono::duration<double, std::milli>(SlewRemainingAt(s->sync, s->taken_at)).count();
    EXPECT_NEAR(left_ms, sign * 20, 0.2);
    char left_text[32];
    std::snprintf(left_text, sizeof left_text, "%.3f", left_ms);
    EXPECT_NE(StatusText(*s).find("slew of " + std::string(sign > 0 ? "" : "-") + "40.000 ms over 80.0 s, " +
                                  left_text + " ms left"),
              std::string::npos)
        << StatusText(*s);
    const std::string metrics = MetricsText(*s, "test");
    EXPECT_NE(metrics.find("meridel_corrections_total{kind=\"slew\"} 1"), std::string::npos) << metrics;
    EXPECT_NE(metrics.find("meridel_slew_remaining_seconds " + std::string(sign > 0 ? "0.020" : "-0.020")),
              std::string::npos)
        << metrics;
    // Short of the target a tick before the planned end, on it a tick after.
    const Nanoseconds tick = std::chrono::milliseconds(10);
    ASSERT_TRUE(AdvanceMonotonic(planned - std::chrono::seconds(40) - std::chrono::milliseconds(100) - tick));
    EXPECT_GT(std::chrono::abs(Served() - lie), std::chrono::microseconds(4)) << "made up too soon";
    ASSERT_TRUE(AdvanceMonotonic(2 * tick));
    EXPECT_LT(std::chrono::abs(Served() - lie), std::chrono::microseconds(1));
    EXPECT_EQ(clock_.frequency(), 0) << "the rate goes back to the discipline's";
    ASSERT_TRUE(AdvanceMonotonic(std::chrono::seconds(10)));
    EXPECT_LT(std::chrono::abs(Served() - lie), std::chrono::microseconds(1)) << "the slew overran";
    EXPECT_EQ(SlewRemainingAt(Snap()->sync, Snap()->taken_at), Nanoseconds(0));
  }
}

TEST_F(SlewTest, LargeCorrectionsAndAZeroThresholdStep) {
  BeginSlewing();
  SyncWith(std::chrono::milliseconds(128));
  EXPECT_EQ(Steps(), 1) << "128 ms is not below the threshold";
  EXPECT_LT(std::chrono::abs(Served() - std::chrono::milliseconds(128)), std::chrono::microseconds(1));
  EXPECT_EQ(Snap()->sync.last_correction, SyncStatus::CorrectionKind::kStep);
  EXPECT_TRUE(Diagnosed("clock stepped by 128.000 ms"));
  EXPECT_EQ(Snap()->sync.steps, 2u);

  TearDown();
  SetUp();
  BeginSlewing(0);
  SyncWith(std::chrono::milliseconds(3));
  EXPECT_EQ(Steps(), 1) << "SlewThresholdMs 0 always steps";
  EXPECT_EQ(Snap()->sync.slews, 0u);
  EXPECT_EQ(clock_.frequency(), 0);
}

TEST_F(SlewTest, SynchronisationDuringASlewPlansFromTheNewOffset) {
  BeginSlewing();
  // 120 ms at 500 ppm: 240 s, half of it made up after 120 s.
  SyncWith(std::chrono::milliseconds(120));
  ASSERT_TRUE(AdvanceMonotonic(std::chrono::seconds(120)));
  EXPECT_NEAR(Ms(Served()), 60, 0.01);
  // The upstream still says +120 ms: 60 ms are left, and made up in 120 s
  // more; the first slew's rest is not added on top.
  SyncWith(std::chrono::milliseconds(120));
  EXPECT_EQ(Steps(), 0);
  const SnapshotPtr s = Snap();
  EXPECT_NEAR(Ms(Nanoseconds(s->sync.last_correction_ns)), 60, 0.005);
  EXPECT_NEAR(s->sync.slew_duration_ns / 1e9, 120, 0.01);
  EXPECT_EQ(s->sync.slews, 2u);
  ASSERT_TRUE(AdvanceMonotonic(std::chrono::seconds(119)));
  // 0.05 ms more: the snapshot above let 100 ms pass.
  EXPECT_NEAR(Ms(Served()), 119.55, 0.01);
  ASSERT_TRUE(AdvanceMonotonic(std::chrono::seconds(10)));
  EXPECT_NEAR(Ms(Served()), 120, kMicrosecond);
  EXPECT_EQ(clock_.frequency(), 0);
  // The 60 ms still to make up was no drift: read as drift it would be a
  // figure of 500 ppm over the 2 min interval.
  EXPECT_FALSE(Diagnosed("beyond MaxFrequencyPpm"));
  EXPECT_EQ(Snap()->frequency_ppm, 0);
}

TEST_F(SlewTest, ClockWithoutARateOfItsOwnSteps) {
  for (bool held : {false, true}) {
    SCOPED_TRACE(held ? "held time" : "rate refused");
    TearDown();
    SetUp();
    RefusingClock machine(clock_);
    machine.allowed = !held;
    FallbackClock fallback(machine);
    engine_clock_ = &fallback;
    BeginSlewing(128);
    for (int i = 0; i < 2; ++i) {
      const int attempts = machine.attempts;
      const Nanoseconds lie = std::chrono::milliseconds(20 * (i + 1));
      SyncWith(lie);
      EXPECT_EQ(machine.attempts, attempts + 1) << "a clock that cannot slew is set";
      EXPECT_LT(std::chrono::abs(fallback.now() - TrueNow() - lie), std::chrono::microseconds(1));
      EXPECT_EQ(Snap()->sync.last_correction, SyncStatus::CorrectionKind::kStep);
    }
    const std::string said =
        held ? "the time held in the process has no rate of its own" : "the clock's rate cannot be changed (";
    EXPECT_EQ(std::count_if(diagnostics_.begin(), diagnostics_.end(),
                            [&](const std::string& d) { return d.find(said) != std::string::npos; }),
              1)
        << "said once";
    handle_.reset();
    engine_clock_ = nullptr;
  }
}

// A clock 20 ppm fast, synchronised hourly: each interval's 71 ms is slewed,
// and the discipline learns the same rates as from steps.
TEST_F(SlewTest, DisciplineConvergesWithSlewsAsWithSteps) {
  std::vector<double> ppm[2];
  std::vector<double> served_ms[2];
  for (int slewing : {0, 1}) {
    TearDown();
    SetUp();
    Begin("YES", "\"SlewThresholdMs\"=\"" + std::string(slewing ? "128" : "0") + "\"\n");
    clock_.set_oscillator_error(20);
    const int sets = clock_.set_count();
    for (int i = 0; i < 10; ++i) {
      Advance(std::chrono::minutes(59), std::chrono::seconds(10));
      served_ms[slewing].push_back(Ms(Served()));
      SyncWith(Nanoseconds(0));
      ppm[slewing].push_back(Snap()->frequency_ppm);
    }
    EXPECT_EQ(clock_.set_count() - sets, slewing ? 1 : 10);
    EXPECT_NEAR(clock_.frequency(), -20, 0.01);
  }
  for (size_t i = 0; i < ppm[0].size(); ++i) {
    EXPECT_NEAR(ppm[1][i], ppm[0][i], 0.01) << "synchronisation " << i + 1;
    EXPECT_NEAR(served_ms[1][i], served_ms[0][i], 0.01) << "synchronisation " << i + 1;
  }
  EXPECT_NEAR(ppm[1].back(), -20, 0.01);
  EXPECT_LT(std::fabs(served_ms[1].back()), kMicrosecond);
}

}  // namespace
}  // namespace mdl::testing

namespace mdl::testing {
namespace {

// The clock filter across synchronisations, against the one upstream.
class SyncFilterTest : public SyncTest {
 protected:
  // A day's interval: the test starts each synchronisation itself.
  void Begin(const std::string& filter) {
    // Corrections step, so that each synchronisation shows in the clock's settings.
    WriteSettings("\"Settings\"=\"NO:24:Hour/s:NA:36\"\n\"SlewThresholdMs\"=\"0\"\n\"SyncFilter\"=\"" +
                  filter + "\"\n");
    WriteList();
    StartEngine();
  }
  // The upstream's time: 1000 ms ahead of the true time.
  UtcTime UpstreamNow() const { return TrueNow() + std::chrono::milliseconds(1000); }
  // A synchronisation over a path of `one_way` delay whose asymmetry puts
  // the answer `error` off; returns the step it made.
  Nanoseconds SyncOver(Nanoseconds one_way, Nanoseconds error) {
    network_.set_delay(one_way);
    const int sets = clock_.set_count();
    Do(cmd::SyncNow{});
    EXPECT_TRUE(QueryArrives());
    upstream_.Send(upstream_.Reply(UpstreamNow() + error));
    EXPECT_TRUE(ClockSet(sets + 1));
    return Nanoseconds(Snap()->served_error_ns.value_or(-1));
  }

  // Both ways: `filter` is the registry value.
  void LeastDelayAcrossSynchronisations(const std::string& filter) {
    Begin(filter);
    const auto ms = [](int n) { return Nanoseconds(std::chrono::milliseconds(n)); };
    // The first synchronisation steps the clock onto the upstream's time.
    EXPECT_EQ(SyncOver(ms(1), ms(0)), ms(1000));
    EXPECT_EQ(clock_.now(), UpstreamNow());
    // A minute later over a congested path (100 ms round trip) whose
    // asymmetry makes the answer 30 ms off. The filter keeps the earlier
    // exchange of 2 ms: its +1000 ms offset less the 1000 ms step since is 0.
    Advance(std::chrono::minutes(1), std::chrono::seconds(1));
    const Nanoseconds second = SyncOver(ms(50), ms(30));
    if (filter == "YES") {
      EXPECT_EQ(second, ms(0));
      EXPECT_EQ(clock_.now(), UpstreamNow()) << "the 30 ms of the congested path were not taken";
      EXPECT_TRUE(Diagnosed("(the filter's best of the last 2 exchanges, taken 6"));
    } else {
      EXPECT_EQ(second, ms(30));
      EXPECT_EQ(clock_.now(), UpstreamNow() + ms(30));
    }
    // Two hours on, the good exchange has aged more than the 98 ms of delay
    // it saved (2 * 15 µs/s * 7200 s = 216 ms): the fresh one counts.
    Advance(std::chrono::hours(2), std::chrono::seconds(10));
    const Nanoseconds third = SyncOver(ms(50), ms(30));
    EXPECT_EQ(third, filter == "YES" ? ms(30) : ms(0));
    EXPECT_EQ(clock_.now(), UpstreamNow() + ms(30));
  }
};

TEST_F(SyncFilterTest, LeastDelayAcrossSynchronisationsBroughtToNowUntilAgeOutweighsIt) {
  LeastDelayAcrossSynchronisations("YES");
}

TEST_F(SyncFilterTest, OffTakesEachBurstsOwn) { LeastDelayAcrossSynchronisations("NO"); }

// An exchange taken before a slew that is half done, chosen by the filter:
// its offset brought to now counts only what the slew has made up so far.
TEST_F(SyncFilterTest, AnExchangeChosenDuringASlewCountsWhatTheSlewHasMadeUp) {
  WriteSettings("\"Settings\"=\"NO:24:Hour/s:NA:36\"\n\"SyncFilter\"=\"YES\"\n");
  WriteList();
  StartEngine();
  const auto ms = [](int n) { return Nanoseconds(std::chrono::milliseconds(n)); };
  const auto Ms = [](Nanoseconds d) { return std::chrono::duration<double, std::milli>(d).count(); };
  const auto sync = [&](Nanoseconds one_way, Nanoseconds ahead) {
    network_.set_delay(one_way);
    Do(cmd::SyncNow{});
    ASSERT_TRUE(QueryArrives());
    upstream_.Send(upstream_.Reply(UpstreamNow() + ahead));
    Deliver();
  };
  sync(ms(1), ms(0));  // the first: a step
  ASSERT_EQ(clock_.set_count(), 1);
  Advance(std::chrono::minutes(1), std::chrono::seconds(1));
  // The upstream moves 40 ms ahead: slewed at 500 ppm, 80 s.
  sync(ms(1), ms(40));
  ASSERT_EQ(Snap()->sync.slews, 1u);
  EXPECT_EQ(clock_.set_count(), 1);
  Advance(std::chrono::seconds(40), std::chrono::seconds(1));
  const Nanoseconds left = UpstreamNow() + ms(40) - clock_.now();
  ASSERT_NEAR(Ms(left), 20, 0.5) << "half the slew is done";
  // Over a congested path whose answer is 30 ms off the filter keeps the
  // exchange of the last synchronisation: +40 ms then, less the 20 ms made up since.
  sync(ms(50), ms(70));
  const auto s = Snap();
  ASSERT_TRUE(s->served_error_ns);
  EXPECT_NEAR(Ms(Nanoseconds(*s->served_error_ns)), Ms(left), 0.1) << "the offset now, not as measured";
  EXPECT_EQ(clock_.set_count(), 1) << "slewed again, not stepped";
  Advance(std::chrono::seconds(60), std::chrono::seconds(1));
  EXPECT_NEAR(Ms(clock_.now() - (UpstreamNow() + ms(40))), 0, 0.1)
      << "the congested path's 30 ms were not taken and nothing was made up twice";
}

TEST_F(SyncFilterTest, ARefusedStepIsNotChosenAgainToConfirmItself) {
  Begin("YES");
  const auto ms = [](int n) { return Nanoseconds(std::chrono::milliseconds(n)); };
  SyncOver(ms(1), ms(0));
  // An answer an hour off over the good path: beyond MaxStepSeconds, refused.
  Advance(std::chrono::minutes(1), std::chrono::seconds(1));
  Do(cmd::SyncNow{});
  ASSERT_TRUE(QueryArrives());
  upstream_.Send(upstream_.Reply(UpstreamNow() + std::chrono::hours(1)));
  Deliver();
  ASSERT_TRUE(Diagnosed("more than MaxStepSeconds"));
  EXPECT_EQ(clock_.set_count(), 1);
  // The retry 16 s later goes over a congested path. The filter prefers an
  // earlier exchange, but not the refused one: that would pass for a second
  // exchange agreeing.
  network_.set_delay(ms(50));
  Advance(std::chrono::seconds(15), std::chrono::seconds(1));
  bool sent = false;
  for (int k = 0; k < 3000 && !sent; ++k) {
    clock_.advance(std::chrono::milliseconds(1));
    sent = PollUntil([&] { return network_.in_flight() > 0; }, std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(sent) << "no retry";
  ASSERT_TRUE(QueryArrives());
  upstream_.Send(upstream_.Reply(UpstreamNow() + ms(30)));
  ASSERT_TRUE(ClockSet(2));
  EXPECT_EQ(Snap()->served_error_ns, 0);
  EXPECT_FALSE(Diagnosed("confirmed by a second exchange"));
  EXPECT_EQ(clock_.now(), UpstreamNow());
}

TEST_F(SyncFilterTest, ASettingFromOutsideEmptiesTheHistory) {
  for (const char* discipline : {"YES", "NO"}) {
    SCOPED_TRACE(std::string("Discipline ") + discipline);
    WriteSettings(std::string("\"Settings\"=\"NO:24:Hour/s:NA:36\"\n\"Discipline\"=\"") + discipline +
                  "\"\n");
    WriteList();
    StartEngine();
    const auto ms = [](int n) { return Nanoseconds(std::chrono::milliseconds(n)); };
    SyncOver(ms(1), ms(0));
    Advance(std::chrono::seconds(30), std::chrono::seconds(1));
    // Someone sets the clock 5 s ahead; nothing measured it.
    clock_.set(clock_.now() + std::chrono::seconds(5));
    Advance(std::chrono::seconds(30), std::chrono::seconds(1));
    // The good exchange of a minute ago would say 0; only the fresh one knows.
    EXPECT_EQ(SyncOver(ms(50), ms(30)), ms(30) - std::chrono::seconds(5));
    EXPECT_EQ(clock_.now(), UpstreamNow() + ms(30));
    handle_.reset();
    network_.set_delay(ms(1));
  }
}

// The weighted line through an upstream's exchanges (SyncRegression), on a
// clock whose oscillator runs 20 ppm slow, over a path that queues each way.
class SyncLineTest : public SyncTest {
 protected:
  // `regression` empty: the value left unset.
  void Begin(const std::string& regression,
             const std::string& values = "\"Settings\"=\"NO:24:Hour/s:NA:36\"\n") {
    WriteSettings(values + (regression.empty() ? "" : "\"SyncRegression\"=\"" + regression + "\"\n"));
    WriteList();
    true_start_ = clock_.now() - clock_.monotonic();
    clock_.set_oscillator_error(-20);
    StartEngine();
  }
  UtcTime TrueNow() const { return true_start_ + clock_.monotonic(); }
  // After `wait`, one synchronisation of one exchange whose query queued
  // `q1` on its way and whose reply `q2` (the upstream answers that much
  // later and stamps as if the query had come q1 late), the upstream `ahead`
  // of the true time. Returns the error served just before.
  Nanoseconds Exchange(Nanoseconds wait, Nanoseconds q1, Nanoseconds q2, Nanoseconds ahead = Nanoseconds(0)) {
    Advance(wait, std::chrono::seconds(4));
    const Nanoseconds served = clock_.now() - TrueNow();
    const uint64_t syncs = Snap()->sync.syncs;
    Do(cmd::SyncNow{});
    EXPECT_TRUE(QueryArrives());
    const UtcTime stamp = true_start_ + upstream_.query_arrival_tick() + q1 + ahead;
    clock_.advance(q1 + q2);
    upstream_.Send(upstream_.Reply(stamp));
    Deliver();
    EXPECT_EQ(Snap()->sync.syncs, syncs + 1);
    return served;
  }
  // The served error before each of an hour's synchronisations a minute
  // apart, queueing exponential of mean 3 ms each way (a fixed draw).
  std::vector<double> QueuedHour() {
    std::mt19937_64 rng(7);
    const auto queued = [&] {
      const double u = static_cast<double>(rng() >> 11) * 0x1.0p-53;
      return Nanoseconds(static_cast<int64_t>(-3e6 * std::log(1 - u)));
    };
    std::vector<double> served_us;
    for (int i = 0; i < 60; ++i) {
      const Nanoseconds q1 = queued(), q2 = queued();
      served_us.push_back(std::chrono::duration<double, std::micro>(Exchange(kMinute, q1, q2)).count());
    }
    return served_us;
  }
  // Exchanges a minute apart over an Internet-like path seeded `seed`: 10 ms
  // each way plus exponential queueing of mean 3 ms, 5% of packets 40 ms
  // later. Returns the served error before each (µs) and, from the 45th on,
  // the furthest the rate correction strayed from the oscillator's error.
  std::pair<std::vector<double>, double> InternetRun(uint64_t seed, int exchanges) {
    std::mt19937_64 rng(seed);
    const auto uniform = [&] { return static_cast<double>(rng() >> 11) * 0x1.0p-53; };
    const auto way = [&] {
      double ns = 10e6 - 3e6 * std::log(1 - uniform());
      if (uniform() < 0.05) ns += 40e6;
      return Nanoseconds(static_cast<int64_t>(ns));
    };
    std::vector<double> served_us;
    double strayed = 0;
    for (int i = 0; i < exchanges; ++i) {
      const Nanoseconds q1 = way(), q2 = way();
      served_us.push_back(std::chrono::duration<double, std::micro>(Exchange(kMinute, q1, q2)).count());
      if (i >= 45) strayed = std::max(strayed, std::fabs(Snap()->frequency_ppm - 20));
    }
    return {served_us, strayed};
  }
  // Exchanges 16 s apart (the benchmark's packet rate) over 21 minutes of a
  // path seeded `seed`: each way `base` plus exponential queueing of mean
  // `queue`, a share `spike` of packets 40 ms later. The error served before
  // each exchange from the 8th on (µs).
  std::vector<double> PathRun(uint64_t seed, double base, double queue, double spike) {
    std::mt19937_64 rng(seed);
    const auto uniform = [&] { return static_cast<double>(rng() >> 11) * 0x1.0p-53; };
    const auto way = [&] {
      const double ns = base - queue * std::log(1 - uniform()) + (uniform() < spike ? 40e6 : 0);
      return Nanoseconds(static_cast<int64_t>(ns));
    };
    std::vector<double> served_us;
    for (int i = 0; i < 80; ++i) {
      const Nanoseconds q1 = way(), q2 = way();
      const Nanoseconds served = Exchange(std::chrono::seconds(16), q1, q2);
      if (i >= 8) served_us.push_back(std::chrono::duration<double, std::micro>(served).count());
    }
    return served_us;
  }
  static double Percentile(std::vector<double> v, double share) {
    for (double& x : v) x = std::fabs(x);
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(share * static_cast<double>(v.size() - 1))];
  }
  static constexpr Nanoseconds kMinute = std::chrono::seconds(64);
  UtcTime true_start_{};
};

TEST_F(SyncLineTest, ConvergesOnOffsetAndRateWhereTheFilterDoesNot) {
  Begin("YES");
  const std::vector<double> line = QueuedHour();
  const double line_ppm = Snap()->frequency_ppm;
  EXPECT_TRUE(Diagnosed("(a line through "));
  EXPECT_TRUE(Diagnosed(" exchanges over "));
  handle_.reset();
  diagnostics_.clear();
  Begin("NO");
  const std::vector<double> filter = QueuedHour();
  const double filter_ppm = Snap()->frequency_ppm;
  EXPECT_FALSE(Diagnosed("(a line through "));
  // The second half hour.
  const std::vector<double> line_late(line.begin() + 30, line.end());
  const std::vector<double> filter_late(filter.begin() + 30, filter.end());
  std::string figures;
  for (size_t i = 0; i < line.size(); ++i)
    figures +=
        std::to_string(static_cast<int>(line[i])) + "/" + std::to_string(static_cast<int>(filter[i])) + " ";
  EXPECT_NEAR(line_ppm, 20, 0.3) << "the rate from the slope; served µs line/filter: " << figures;
  EXPECT_LT(Percentile(line_late, 0.5), 150) << figures;
  EXPECT_LT(Percentile(line_late, 0.95), 400) << figures;
  // The filter's least-delay exchange alone does markedly worse.
  EXPECT_GT(Percentile(filter_late, 0.5), 2 * Percentile(line_late, 0.5)) << figures;
  EXPECT_GT(std::fabs(filter_ppm - 20), std::fabs(line_ppm - 20)) << figures;
}

TEST_F(SyncLineTest, ASpikeDoesNotMoveTheTimeAndAMoveIsFollowedAtTheThirdExchange) {
  Begin("YES");
  const Nanoseconds q = std::chrono::microseconds(100);
  for (int i = 0; i < 30; ++i) Exchange(kMinute, q, q);
  const auto off_us = [&] {
    return std::chrono::duration<double, std::micro>(clock_.now() - TrueNow()).count();
  };
  Advance(std::chrono::seconds(10), std::chrono::seconds(1));
  ASSERT_LT(std::fabs(off_us()), 20) << "settled";
  // One answer 5 ms ahead over the best path there is: left out.
  Exchange(kMinute, Nanoseconds(0), Nanoseconds(0), std::chrono::milliseconds(5));
  Advance(std::chrono::seconds(30), std::chrono::seconds(1));
  EXPECT_LT(std::fabs(off_us()), 20) << "the spike moved the time";
  Exchange(kMinute, q, q);
  // The upstream moves 20 ms ahead for good: two answers are not enough...
  const Nanoseconds ahead = std::chrono::milliseconds(20);
  for (int i = 0; i < 2; ++i) {
    Exchange(kMinute, q, q, ahead);
    Advance(std::chrono::seconds(50), std::chrono::seconds(1));
    EXPECT_LT(std::fabs(off_us()), 20) << "answer " << i + 1 << " of the move";
  }
  // ... the third is: slewed over 40 s at 500 ppm.
  Exchange(kMinute, q, q, ahead);
  EXPECT_TRUE(Diagnosed("the upstream moved"));
  Advance(std::chrono::seconds(50), std::chrono::seconds(1));
  EXPECT_NEAR(off_us(), 20000, 60);
  EXPECT_EQ(clock_.set_count(), 1) << "slewed, not stepped";
  // And it keeps time there, at the rate it had.
  for (int i = 0; i < 3; ++i) Exchange(kMinute, q, q, ahead);
  Advance(std::chrono::seconds(30), std::chrono::seconds(1));
  EXPECT_NEAR(off_us(), 20000, 30);
  EXPECT_NEAR(Snap()->frequency_ppm, 20, 0.5);
}

TEST_F(SyncLineTest, TheLineIsTheDefault) {
  pinned_.clear();
  Begin("");
  for (int i = 0; i < 3; ++i)
    Exchange(kMinute, std::chrono::microseconds(100), std::chrono::microseconds(100));
  EXPECT_TRUE(Diagnosed("(a line through 3 of the last 3 exchanges"));
}

TEST_F(SyncLineTest, AnUncertainSlopeDoesNotRunTheRateAwayOverManySeeds) {
  // The first run learns the rate from none; the others start from the one
  // stored at its stop, as a restart does.
  std::vector<double> late;
  std::string report;
  for (uint64_t seed = 0; seed <= 8; ++seed) {
    if (seed > 0) {
      handle_.reset();
      diagnostics_.clear();
    }
    Begin("YES");
    const auto [served, strayed] = InternetRun(seed, 90);
    if (seed == 0) continue;
    const std::vector<double> tail(served.begin() + 30, served.end());
    late.insert(late.end(), tail.begin(), tail.end());
    report += "seed " + std::to_string(seed) + ": rate off by up to " + std::to_string(strayed) +
              " ppm, median " + std::to_string(Percentile(tail, 0.5)) + ", p95 " +
              std::to_string(Percentile(tail, 0.95)) + " µs; ";
    // A slope within its errors of the correction in force never moves it
    // far (a slope taken once its error is below 1 ppm strays 0.25 ppm).
    EXPECT_LT(strayed, 0.24) << report;
  }
  std::printf("%s\nall: median %.0f µs, p95 %.0f µs\n", report.c_str(), Percentile(late, 0.5),
              Percentile(late, 0.95));
  // Such a slope taken as the rate serves a median of 128 µs, p95 380 µs.
  EXPECT_LT(Percentile(late, 0.5), 120) << report;
  EXPECT_LT(Percentile(late, 0.95), 350) << report;
}

TEST_F(SyncLineTest, TheServedErrorStaysSmallAndOnNeitherSideOverManySeeds) {
  struct Path {
    const char* name;
    double base, queue, spike;
    double median_us, p95_us, mean_us;  // bounds: over all seeds, and the furthest of one seed's means
  };
  // The Internet-like path (10 ms + 3 ms queueing each way, 5% spikes) and
  // the LAN (0.2 ms + 0.05 ms); a restart resumes from the stored rate.
  for (const Path& path :
       {Path{"internet", 10e6, 3e6, 0.05, 90, 400, 200}, Path{"lan", 0.2e6, 0.05e6, 0, 2.8, 11, 5}}) {
    std::vector<double> all;
    std::string report = std::string(path.name) + ": ";
    double furthest_mean = 0;
    for (uint64_t seed = 0; seed <= 10; ++seed) {
      handle_.reset();
      diagnostics_.clear();
      Begin("YES");
      const std::vector<double> served = PathRun(seed, path.base, path.queue, path.spike);
      if (seed == 0) continue;  // learns the rate
      double mean = 0;
      for (double us : served) mean += us;
      mean /= static_cast<double>(served.size());
      furthest_mean = std::max(furthest_mean, std::fabs(mean));
      all.insert(all.end(), served.begin(), served.end());
      report += "seed " + std::to_string(seed) + " median " + std::to_string(Percentile(served, 0.5)) +
                " mean " + std::to_string(mean) + " µs; ";
    }
    report += "all: median " + std::to_string(Percentile(all, 0.5)) + ", p95 " +
              std::to_string(Percentile(all, 0.95)) + " µs";
    std::printf("%s\n", report.c_str());
    EXPECT_LT(Percentile(all, 0.5), path.median_us) << report;
    EXPECT_LT(Percentile(all, 0.95), path.p95_us) << report;
    EXPECT_LT(furthest_mean, path.mean_us) << "one seed's error held to one side; " << report;
  }
}

// Several upstreams per synchronisation on loopback addresses of their own.
class UpstreamsTest : public SyncTest {
 protected:
  static constexpr int kSilent = 1 << 30;
  void Begin(int per_sync, const std::string& list_extra = "") {
    WriteSettings("\"Settings\"=\"NO:24:Hour/s:NA:36\"\n\"UpstreamsPerSync\"=\"" + std::to_string(per_sync) +
                  "\"\n");
    std::ofstream f(home_ / "QOR_MDLS4.MDL");
    f << "h1\nh2\nh3\nh4\nh5\n";
    for (size_t i = 0; i < ups_.size(); ++i)
      f << "127.0.0." << i + 1 << ":" << ups_[i]->port() << ":::Upstream " << i + 1 << " - NA:::2:::us\n";
    f << list_extra;
    f.close();
    StartEngine();
  }
  // Starts a synchronisation and answers each query with its upstream's
  // offset from the true time in ms (kSilent: no answer, the time-out
  // passes); returns the upstreams asked, in order.
  std::vector<int> Round(const std::vector<int>& offset_ms) {
    std::vector<int> asked;
    Do(cmd::SyncNow{});
    for (size_t n = 0; n <= ups_.size(); ++n) {
      const auto mail = [&] {
        return std::any_of(ups_.begin(), ups_.end(), [](FakeUpstream* u) { return u->has_mail(); });
      };
      if (!PollUntil([&] { return network_.in_flight() > 0 || mail(); }, std::chrono::milliseconds(1000)))
        break;
      if (network_.in_flight() > 0) Deliver();
      for (size_t i = 0; i < ups_.size(); ++i) {
        if (!ups_[i]->TryReceive()) continue;
        asked.push_back(static_cast<int>(i) + 1);
        if (offset_ms[i] == kSilent) {
          // Up to the time-out, then in fine steps until the next query leaves.
          Advance(kUpstreamReplyTimeout - std::chrono::milliseconds(10));
          for (int k = 0; k < 100 && network_.in_flight() == 0; ++k) {
            clock_.advance(std::chrono::milliseconds(1));
            PollUntil([&] { return network_.in_flight() > 0; }, std::chrono::milliseconds(2));
          }
        } else {
          std::array<uint8_t, 48> r = ups_[i]->Reply(TrueNow() + std::chrono::milliseconds(offset_ms[i]));
          r[3] = static_cast<uint8_t>(-20);  // precision about 1 µs: the interval is the path's
          ups_[i]->Send(r);
          Deliver();
        }
      }
    }
    return asked;
  }
  SyncStatus Status() { return Snap()->sync; }

  FakeUpstream one_{network_, clock_, boost::asio::ip::make_address("127.0.0.1")};
  FakeUpstream two_{network_, clock_, boost::asio::ip::make_address("127.0.0.2")};
  FakeUpstream three_{network_, clock_, boost::asio::ip::make_address("127.0.0.3")};
  std::vector<FakeUpstream*> ups_{&one_, &two_, &three_};
};

TEST_F(UpstreamsTest, ALiarAmongThreeIsVotedOutAndNamed) {
  Begin(3);
  const std::vector<int> asked = Round({0, 500, 0});
  EXPECT_EQ(asked.size(), 3u) << "three distinct servers, none held back by the gap between queries";
  ASSERT_EQ(clock_.set_count(), 1);
  EXPECT_EQ(clock_.now() - TrueNow(), Nanoseconds(0)) << "the honest ones' time";
  const auto snap = Snap();
  EXPECT_EQ(snap->served_error_ns, 0);
  const SyncStatus& y = snap->sync;
  EXPECT_EQ(y.upstreams_asked, 3);
  EXPECT_EQ(y.upstreams_answered, 3);
  EXPECT_EQ(y.upstreams_agreed, 2);
  EXPECT_EQ(y.falsetickers, (std::vector<std::string>{"127.0.0.2 (+500.0 ms)"}));
  EXPECT_NE(y.upstream_address, "127.0.0.2");
  EXPECT_TRUE(Diagnosed("falseticker voted out: 127.0.0.2 (127.0.0.2) at +500.0 ms"));
  EXPECT_TRUE(Diagnosed("2 of 3 upstreams agree"));
  EXPECT_NE(StatusText(*snap).find("3 asked, 3 answered, 2 agreed; falseticker: 127.0.0.2 (+500.0 ms)"),
            std::string::npos)
      << StatusText(*snap);
}

TEST_F(UpstreamsTest, WithoutAMajorityTheClockIsLeftAlone) {
  Begin(3);
  // Two liars that disagree with each other and with the honest one.
  Round({0, 500, -300});
  EXPECT_EQ(clock_.set_count(), 0);
  const SyncStatus y = Status();
  EXPECT_EQ(y.failures, 1u);
  EXPECT_EQ(y.upstreams_agreed, 1);
  EXPECT_EQ(
      y.last_failure_text,
      "no majority: 1 of 3 upstreams agree (127.0.0.1: +0.0 ms, 127.0.0.2: +500.0 ms, 127.0.0.3: -300.0 ms)");
  EXPECT_TRUE(Diagnosed("synchronisation failed: no majority: 1 of 3"));
}

TEST_F(UpstreamsTest, TwoLiarsThatAgreeOutvoteTheHonestOne) {
  // As in every vote: a majority of liars wins, and the honest one is named.
  Begin(3);
  Round({0, 500, 500});
  ASSERT_EQ(clock_.set_count(), 1);
  EXPECT_EQ(clock_.now() - TrueNow(), std::chrono::milliseconds(500));
  EXPECT_EQ(Status().falsetickers, (std::vector<std::string>{"127.0.0.1 (+0.0 ms)"}));
}

// An upstream that does not answer within the time-out counts as not
// answered; the others decide as if it had not been asked.
TEST_F(UpstreamsTest, TwoOfThreeAnsweringAndAgreeingSetTheClock) {
  Begin(3);
  EXPECT_EQ(Round({2, kSilent, 2}).size(), 3u);
  ASSERT_EQ(clock_.set_count(), 1);
  EXPECT_EQ(clock_.now() - TrueNow(), std::chrono::milliseconds(2));
  const SyncStatus y = Status();
  EXPECT_EQ(y.upstreams_asked, 3);
  EXPECT_EQ(y.upstreams_answered, 2);
  EXPECT_EQ(y.upstreams_agreed, 2);
  EXPECT_TRUE(Diagnosed("upstream 127.0.0.2 not answered: no reply from 127.0.0.2 within 5 s"));
}

TEST_F(UpstreamsTest, TwoAnsweringThatDisagreeAreNoMajority) {
  Begin(3);
  Round({kSilent, 0, 400});
  EXPECT_EQ(clock_.set_count(), 0);
  EXPECT_EQ(Status().last_failure_text,
            "no majority: 1 of 2 upstreams agree (127.0.0.2: +0.0 ms, 127.0.0.3: +400.0 ms)");
}

TEST_F(UpstreamsTest, OneAloneAnsweringIsTrustedAsASingleUpstreamIs) {
  Begin(3);
  Round({kSilent, kSilent, 7});
  ASSERT_EQ(clock_.set_count(), 1);
  EXPECT_EQ(clock_.now() - TrueNow(), std::chrono::milliseconds(7));
  const SyncStatus y = Status();
  EXPECT_EQ(y.upstreams_asked, 3);
  EXPECT_EQ(y.upstreams_answered, 1);
  EXPECT_EQ(y.upstreams_agreed, 1);
}

TEST_F(UpstreamsTest, NoneAnsweringIsAFailureNamingThem) {
  Begin(3);
  Round({kSilent, kSilent, kSilent});
  EXPECT_EQ(clock_.set_count(), 0);
  const std::string why = Status().last_failure_text;
  EXPECT_EQ(
      why.rfind("none of 3 upstreams answered: 127.0.0.1 (no reply from 127.0.0.1 within 5 s), 127.0.0.2", 0),
      0u)
      << why;
}

TEST_F(UpstreamsTest, OneNameIsOneServerAndFewerThanAskedIsSaid) {
  // The first server listed twice: two distinct servers in all.
  ups_.pop_back();
  Begin(3, "127.0.0.1:" + std::to_string(one_.port()) + ":::Upstream 1 again - NA:::2:::us\n");
  const std::vector<int> asked = Round({0, 0, 0});
  EXPECT_EQ(asked, (std::vector<int>{1, 2}));
  EXPECT_TRUE(Diagnosed("region NA has 2 distinct upstream servers: asking 2 of UpstreamsPerSync 3"));
  ASSERT_EQ(clock_.set_count(), 1);
  EXPECT_EQ(Status().upstreams_asked, 2);
  // Said once, not at each synchronisation.
  diagnostics_.clear();
  Advance(std::chrono::seconds(70), std::chrono::seconds(1));
  Round({0, 0, 0});
  EXPECT_FALSE(Diagnosed("distinct upstream servers"));
}

TEST_F(UpstreamsTest, TwoNamesOfOneAddressAreAskedOnce) {
  ups_.pop_back();
  Begin(3, "LOCALHOST:" + std::to_string(one_.port()) + ":::Upstream 1 by name - NA:::2:::us\n");
  EXPECT_EQ(Round({0, 0, 0}), (std::vector<int>{1, 2}));
  EXPECT_TRUE(Diagnosed("LOCALHOST has the address of an upstream already asked (127.0.0.1); not asked"));
  ASSERT_EQ(clock_.set_count(), 1);
  EXPECT_EQ(Status().upstreams_asked, 2);
  EXPECT_EQ(Status().upstreams_agreed, 2);
}

TEST_F(UpstreamsTest, OnePerSyncAsksOneServer) {
  Begin(1);
  EXPECT_EQ(Round({0, 500, 0}), (std::vector<int>{1}));
  EXPECT_EQ(clock_.set_count(), 1);
  EXPECT_TRUE(Status().falsetickers.empty());
  EXPECT_EQ(StatusText(*Snap()).find("Upstreams:"), std::string::npos) << "no line for a single upstream";
}

}  // namespace
}  // namespace mdl::testing
