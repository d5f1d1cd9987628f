// The upstream synchronisation against a scripted upstream on loopback: the
// reply recognition, the clock correction and what must not move the clock.
#include <gtest/gtest.h>
#include <time.h>

#include <cstdlib>
#include <cstring>

#include "common/time/ntp_timestamp.h"
#include "engine_fixture.h"
#include "server/upstream/sync_handler.h"

namespace mdl::testing {
namespace {

// A UDP socket playing the upstream server.
class FakeUpstream {
 public:
  FakeUpstream() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = Loopback(0);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    SetTimeouts(fd_, 3000);
    int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
  }
  ~FakeUpstream() { ::close(fd_); }
  uint16_t port() const { return port_; }

  // Waits for the engine's query; false on time-out.
  bool Receive() {
    iovec iov{query_.data(), query_.size()};
    alignas(cmsghdr) char control[128];
    msghdr h{};
    h.msg_name = &from_;
    h.msg_namelen = sizeof from_;
    h.msg_iov = &iov;
    h.msg_iovlen = 1;
    h.msg_control = control;
    h.msg_controllen = sizeof control;
    ssize_t n = ::recvmsg(fd_, &h, 0);
    for (cmsghdr* c = CMSG_FIRSTHDR(&h); n > 0 && c; c = CMSG_NXTHDR(&h, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
        timespec ts;
        std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
        query_arrival_ns_ = int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
      }
    }
    return n == 48;
  }
  // The kernel's realtime stamp of the query's arrival.
  int64_t query_arrival_ns() const { return query_arrival_ns_; }
  const std::array<uint8_t, 48>& query() const { return query_; }

  // A server reply to the query: receive and transmit stamps at `t`.
  std::array<uint8_t, 48> Reply(UtcTime t, uint8_t stratum = 1) const {
    std::array<uint8_t, 48> r{};
    r[0] = 0x24;
    r[1] = stratum;
    std::copy(query_.begin() + 40, query_.end(), r.begin() + 24);
    auto stamp = NtpFromUtc(t).ToBytes();
    std::copy(stamp.begin(), stamp.end(), r.begin() + 32);
    std::copy(stamp.begin(), stamp.end(), r.begin() + 40);
    return r;
  }
  void Send(const std::array<uint8_t, 48>& r) {
    ::sendto(fd_, r.data(), r.size(), 0, reinterpret_cast<const sockaddr*>(&from_), sizeof from_);
  }
  const sockaddr_in& engine_address() const { return from_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
  sockaddr_in from_{};
  std::array<uint8_t, 48> query_{};
  int64_t query_arrival_ns_ = 0;
};

class SyncTest : public EngineFixture {
 protected:
  void WriteList() {
    std::ofstream f(home_ / "QOR_MDLS4.MDL");
    f << "h1\nh2\nh3\nh4\nh5\n127.0.0.1:" << upstream_.port() << ":::Local upstream - NA:::2:::us\n";
  }
  // Starts a query and lets the fake upstream receive it.
  void Query() {
    engine_->sync().SyncTimeNow();
    ASSERT_TRUE(WithLoop([&] { return upstream_.Receive(); })) << "no query reached the upstream";
    EXPECT_EQ(upstream_.query()[0], 0x1B) << "request: LI 0, version 3, mode 3";
    EXPECT_TRUE(engine_->sync().query_pending());
  }
  FakeUpstream upstream_;
};

TEST_F(SyncTest, ReplySetsTheClockToTheUpstreamTimeAndMarksItSynchronised) {
  WriteSettings();
  WriteList();
  StartEngine();
  ASSERT_FALSE(engine_->time_synced());
  Query();
  UtcTime upstream_time = clock_.now() + std::chrono::seconds(1000);
  upstream_.Send(upstream_.Reply(upstream_time));
  WithLoop([&] {
    for (int i = 0; i < 200 && !engine_->time_synced(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return 0;
  });
  ASSERT_TRUE(engine_->time_synced());
  EXPECT_EQ(clock_.set_count(), 1);
  // The clock now runs about 1000 s ahead: the reply's time plus half a loopback round trip.
  auto error = clock_.now() - upstream_time;
  EXPECT_LT(std::chrono::abs(error), std::chrono::milliseconds(200));
  EXPECT_EQ(engine_->sync().reference().ref_id, (std::array<uint8_t, 4>{127, 0, 0, 1}));
  EXPECT_EQ(engine_->sync_message, "MDL Server is now Synchronized to Atomic Time.");
  EXPECT_NE(engine_->last_update_text, "Never");
  // The reply was not a served request.
  EXPECT_EQ(engine_->counters().Get(Service::kNtp, Transport::kUdp), 0u);
  // Replies now carry the reference of the synchronisation.
  std::vector<uint8_t> request(48, 0);
  request[0] = 0x23;
  auto reply = WithLoop([&] { return UdpAsk(port(Service::kNtp), request); });
  ASSERT_TRUE(reply && reply->size() == 48);
  EXPECT_EQ((*reply)[12], 127);
  EXPECT_EQ((*reply)[15], 1);
  auto ref = NtpTimestamp::FromBytes(reply->data() + 16);
  EXPECT_NEAR(static_cast<double>(ref.seconds), static_cast<double>(NtpFromUtc(upstream_time).seconds), 2.0);
}

int64_t RealtimeNanos() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

TEST(UdpSocketStamp, KernelReportsWhenAStampedDatagramLeft) {
  boost::asio::io_context io;
  net::UdpSocket sender(io);
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
    int64_t stamp = sender.TakeSendStamp();
    ASSERT_NE(stamp, 0) << "no transmit stamp came back (round " << round << ")";
    EXPECT_GE(stamp, before) << "the stamp must be taken inside the send call";
    EXPECT_LE(stamp, after);
    EXPECT_EQ(sender.TakeSendStamp(), stamp) << "the stamp stays until the next stamped send";
    EXPECT_EQ(::recv(rx, query.data(), query.size(), 0), 48);
  }
  // Plain sends ask for no stamp: the error queue stays empty.
  int64_t last = sender.TakeSendStamp();
  ASSERT_TRUE(sender.SendTo(query, to));
  EXPECT_EQ(sender.TakeSendStamp(), last);
  ::close(rx);
}

TEST_F(SyncTest, CorrectionLeavesOutTheTimeTheReplyWaitedInTheQueue) {
  WriteSettings();
  WriteList();
  StartEngine();
  Query();
  // The upstream runs 1000 s ahead of this machine's realtime clock and stamps
  // like a careful server: receive at the query's arrival, transmit just
  // before the send.
  const int64_t ahead = 1000'000'000'000;
  ASSERT_NE(upstream_.query_arrival_ns(), 0);
  const int64_t received = upstream_.query_arrival_ns() + ahead;
  std::array<uint8_t, 48> r = upstream_.Reply(UtcFromNs(received));
  auto transmit = NtpFromUtc(UtcFromNs(RealtimeNanos() + ahead)).ToBytes();
  std::copy(transmit.begin(), transmit.end(), r.begin() + 40);
  upstream_.Send(r);
  // The reply waits in the engine's receive queue while its loop is busy.
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  WithLoop([&] {
    for (int i = 0; i < 200 && !engine_->time_synced(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return 0;
  });
  ASSERT_TRUE(engine_->time_synced());
  // The engine's clock now reads realtime + 1000 s; the remaining error is the
  // loopback path's asymmetry (microseconds), not the 30 ms wait.
  int64_t error = (clock_.now() - UtcFromNs(RealtimeNanos() + ahead)).count();
  EXPECT_LT(std::llabs(error), 2'000'000) << "clock off by " << error << " ns after the correction";
}

TEST_F(SyncTest, QueryGoesFromASocketOfItsOwnWhenNtpOverUdpIsOff) {
  WriteSettings("", "YES:YES:YES", "YES:YES:YES", /*ntp=*/"YES:YES:NO");
  WriteList();
  StartEngine();
  ASSERT_FALSE(engine_->service(Service::kNtp).udp->IsOpen());
  Query();
  EXPECT_NE(ntohs(upstream_.engine_address().sin_port), port(Service::kNtp));
  const int64_t ahead = 500'000'000'000;
  std::array<uint8_t, 48> r = upstream_.Reply(UtcFromNs(upstream_.query_arrival_ns() + ahead));
  auto transmit = NtpFromUtc(UtcFromNs(RealtimeNanos() + ahead)).ToBytes();
  std::copy(transmit.begin(), transmit.end(), r.begin() + 40);
  upstream_.Send(r);
  WithLoop([&] {
    for (int i = 0; i < 200 && !engine_->time_synced(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return 0;
  });
  ASSERT_TRUE(engine_->time_synced()) << "the reply to the own socket was not taken";
  int64_t error = (clock_.now() - UtcFromNs(RealtimeNanos() + ahead)).count();
  EXPECT_LT(std::llabs(error), 2'000'000) << "clock off by " << error << " ns after the correction";
}

TEST_F(SyncTest, ClientRequestWhileAQueryIsPendingIsAnsweredAndLeavesTheClock) {
  WriteSettings();
  WriteList();
  StartEngine();
  engine_->MarkTimeSynced();
  Query();
  std::vector<uint8_t> request(48, 0);
  request[0] = 0x23;
  auto reply = WithLoop([&] { return UdpAsk(port(Service::kNtp), request); });
  ASSERT_TRUE(reply.has_value()) << "a client request must be served while a query is pending";
  EXPECT_EQ(clock_.set_count(), 0) << "a client request must never set the clock";
  EXPECT_TRUE(engine_->sync().query_pending());
}

TEST_F(SyncTest, OnlyTheUpstreamThatWasAskedCanSetTheClock) {
  WriteSettings();
  WriteList();
  StartEngine();
  Query();
  // The same bytes from another socket: not the reply.
  auto forged = upstream_.Reply(clock_.now() + std::chrono::hours(5));
  int other = ::socket(AF_INET, SOCK_DGRAM, 0);
  const sockaddr_in& to = upstream_.engine_address();
  ::sendto(other, forged.data(), forged.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  ::close(other);
  RunFor(std::chrono::milliseconds(200));
  EXPECT_EQ(clock_.set_count(), 0) << "a reply from a host that was not asked moved the clock";
  EXPECT_TRUE(engine_->sync().query_pending());
  // The real reply still counts, once; a second copy is not applied again.
  auto real = upstream_.Reply(clock_.now());
  upstream_.Send(real);
  RunFor(std::chrono::milliseconds(200));
  EXPECT_EQ(clock_.set_count(), 1);
  upstream_.Send(real);
  RunFor(std::chrono::milliseconds(200));
  EXPECT_EQ(clock_.set_count(), 1) << "a second reply to the same query set the clock again";
}

TEST_F(SyncTest, RefusalsAndUnsynchronisedUpstreamsDoNotSetTheClock) {
  WriteSettings();
  WriteList();
  StartEngine();
  Query();
  upstream_.Send(upstream_.Reply(clock_.now() + std::chrono::hours(1), /*stratum=*/0));
  RunFor(std::chrono::milliseconds(200));
  EXPECT_EQ(clock_.set_count(), 0) << "a kiss-o'-death reply set the clock";
  EXPECT_FALSE(engine_->time_synced());
  bool failure_reported = false;
  for (auto& d : diagnostics_) failure_reported |= d.find("synchronisation failed") != std::string::npos;
  EXPECT_TRUE(failure_reported);
}

TEST_F(SyncTest, EmptyListOrRegionSendsNothing) {
  WriteSettings();
  {
    std::ofstream f(home_ / "QOR_MDLS4.MDL");
    f << "h1\nh2\nh3\nh4\nh5\n127.0.0.1:" << upstream_.port() << ":::Somewhere - EU:::2:::x\n";
  }
  StartEngine();
  engine_->sync().SyncTimeNow();
  EXPECT_FALSE(engine_->sync().query_pending()) << "region NA has no server, so no query may go out";
}

TEST_F(SyncTest, IntervalTooLongIsRejectedAndThePreviousOneKept) {
  WriteSettings();
  WriteList();
  StartEngine();
  EXPECT_EQ(engine_->sync().schedule().SyncInterval(), 59 * 60);
  engine_->sync().SetInterval("24856", "Day/s");
  EXPECT_EQ(engine_->sync().schedule().SyncInterval(), 59 * 60);
  ASSERT_FALSE(diagnostics_.empty());
  EXPECT_NE(diagnostics_.back().find("24856"), std::string::npos) << diagnostics_.back();
  engine_->sync().SetInterval("2", "Day/s");
  EXPECT_EQ(engine_->sync().schedule().SyncInterval(), 172800);
}

}  // namespace
}  // namespace mdl::testing
