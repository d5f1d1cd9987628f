// Daytime, UnixTime and the private protocol through real loopback sockets.
#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "common/time/mdl_stamp.h"
#include "common/time/ntp_timestamp.h"
#include "engine_fixture.h"

namespace mdl::testing {
namespace {

std::vector<uint8_t> MdlRequest(char byte2 = 'L', char byte3 = 'C') {
  std::vector<uint8_t> r = {'M', 'D', static_cast<uint8_t>(byte2), static_cast<uint8_t>(byte3), '5', 'U',
                            'T', 'C'};
  for (uint8_t i = 0; i < 8; ++i) r.push_back(static_cast<uint8_t>(0x10 + i));
  r.resize(24, 0);
  return r;
}

using ServicesTest = EngineFixture;

TEST_F(ServicesTest, DaytimeSendsTheJulianLineOverTcpAndUdp) {
  WriteSettings();
  StartEngine();
  MarkSynced();
  auto tcp = WithLoop([&] { return TcpAsk(port(Service::kDaytime)); });
  auto udp = WithLoop([&] { return UdpAsk(port(Service::kDaytime), {'x'}); });
  ASSERT_TRUE(tcp && udp);
  EXPECT_TRUE(tcp->closed_by_server);
  std::regex julian(R"(\n\d{5} \d\d-\d\d-\d\d \d\d:\d\d:\d\d \d\d 0 0 \d{1,4}\.\d UTC\(MDLS\) \*\n)");
  for (const auto& bytes : {tcp->data, *udp}) {
    std::string text(bytes.begin(), bytes.end());
    EXPECT_TRUE(std::regex_match(text, julian)) << "not the Julian layout: [" << text << "]";
  }
}

TEST_F(ServicesTest, DaytimeNamesTheClocksZoneInTheFirstReplyAfterAStep) {
  ZoneFacts winter;
  winter.bias_minutes = -60;
  winter.daylight_bias_minutes = -60;
  winter.standard_name = "XST";
  winter.daylight_name = "XDT";
  clock_.set_zone(winter);
  WriteSettings();
  std::string text = ReadFile(home_ / "registry.reg");
  text.replace(text.find("\"UseJulian\"=\"YES\""), 17, "\"UseJulian\"=\"NO\"");
  { std::ofstream(home_ / "registry.reg") << text; }
  StartEngine();
  MarkSynced();
  auto ask = [&] {
    auto r = WithLoop([&] { return TcpAsk(port(Service::kDaytime)); });
    return r ? std::string(r->data.begin(), r->data.end()) : std::string("(no reply)");
  };
  const std::string before = ask();
  EXPECT_NE(before.find("10:00:00-XST"), std::string::npos) << before;
  // Daylight saving begins and the clock steps an hour on; no engine tick
  // runs between the step and the request.
  ZoneFacts summer = winter;
  summer.daylight = true;
  clock_.set_zone(summer);
  clock_.set(clock_.now() + std::chrono::hours(1));
  const std::string after = ask();
  EXPECT_NE(after.find("12:00:00-XDT"), std::string::npos) << after;
  // The same second again (another request): the facts stay as looked up.
  EXPECT_EQ(ask(), after);
  // A step back within the zone's own facts: the old zone's name again.
  clock_.set_zone(winter);
  clock_.set(clock_.now() - std::chrono::hours(1));
  const std::string back = ask();
  EXPECT_NE(back.find("10:00:00-XST"), std::string::npos) << back;
}

TEST_F(ServicesTest, DaytimeOverUdpIsLimitedPerSourceWhenItAmplifies) {
  WriteSettings("\"AmplificationBudget\"=\"0:500\"\n");
  StartEngine();
  MarkSynced();
  // A 1-byte request gets ~50 bytes, ~78 on the wire: a 500-byte budget allows six.
  int answered = WithLoop([&] {
    int n = 0;
    for (int i = 0; i < 30; ++i)
      n += UdpAsk(port(Service::kDaytime), {'x'}, std::chrono::milliseconds(100)).has_value();
    return n;
  });
  EXPECT_GE(answered, 5);
  EXPECT_LE(answered, 7) << "the amplification budget did not hold";
  auto s = Snap();
  EXPECT_EQ(Figures().replies_refused, 30u - static_cast<uint64_t>(answered));
  EXPECT_EQ(s->counters.Get(Service::kDaytime, Transport::kUdp), 30u) << "refused requests are still counted";
  Advance(std::chrono::seconds(1));  // reported on the tick
  EXPECT_TRUE(Diagnosed("amplification budget: " + std::to_string(30 - answered) + " UDP replies refused"))
      << "refused replies must be reported with their count";
  // NTP replies are the size of their request: never limited.
  std::vector<uint8_t> ntp(48, 0);
  ntp[0] = 0x23;
  EXPECT_TRUE(WithLoop([&] { return UdpAsk(port(Service::kNtp), ntp); }).has_value());
}

TEST_F(ServicesTest, UnixTimeIsFourBytesOverTcpAndUdp) {
  WriteSettings();
  StartEngine();
  MarkSynced();
  auto tcp = WithLoop([&] { return TcpAsk(port(Service::kUnixTime)); });
  auto udp = WithLoop([&] { return UdpAsk(port(Service::kUnixTime), Bytes{1, 2, 3, 4, 5, 6, 7, 8}); });
  uint32_t now = SecondsSince1970Low32(clock_.now());
  ASSERT_TRUE(tcp && udp);
  ASSERT_EQ(tcp->data.size(), 4u);
  ASSERT_EQ(udp->size(), 4u);
  for (const auto& b : {tcp->data, *udp}) {
    uint32_t v = uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3];
    EXPECT_NEAR(static_cast<double>(v), static_cast<double>(now), 1.0);
  }
}

TEST_F(ServicesTest, PrivateProtocolAnswersEachRequestOnOneConnection) {
  WriteSettings();
  StartEngine();
  MarkSynced();
  auto two = MdlRequest();
  auto second = MdlRequest('X');
  two.insert(two.end(), second.begin(), second.end());
  auto r =
      WithLoop([&] { return TcpAsk(port(Service::kPrivate), two, std::chrono::milliseconds(1000), 48); });
  ASSERT_TRUE(r.has_value());
  ASSERT_EQ(r->data.size(), 48u) << "both requests of the connection must be answered";
  std::string head(r->data.begin(), r->data.begin() + 8);
  EXPECT_EQ(head, "MDLS5UTC");
  EXPECT_TRUE(std::equal(r->data.begin() + 8, r->data.begin() + 16, two.begin() + 8))
      << "client stamp echoed";
  double server_ms = MdlStampToMillis(r->data.data() + 16);
  double expected_ms = MdlStampToMillis(MdlStampFromUtc(clock_.now()).data());
  EXPECT_NEAR(server_ms, expected_ms, 1500.0);
  EXPECT_EQ(Count(Service::kPrivate, Transport::kTcp), 1u) << "one connection, one count";
}

TEST_F(ServicesTest, PrivateTcpJoinsSplitRequestsAndClosesOnWrongLengths) {
  WriteSettings();
  StartEngine();
  MarkSynced();
  // A request split over two writes is joined and answered.
  auto split = WithLoop([&] {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    SetTimeouts(fd, 1000);
    sockaddr_in a = Loopback(port(Service::kPrivate));
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    auto r = MdlRequest();
    ::send(fd, r.data(), 10, MSG_NOSIGNAL);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ::send(fd, r.data() + 10, 14, MSG_NOSIGNAL);
    uint8_t buf[64];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    ::close(fd);
    return n;
  });
  EXPECT_EQ(split, 24) << "a request split over two segments must be answered";
  // 25 bytes: closed without a reply.
  auto r25 = MdlRequest();
  r25.push_back(0);
  auto long_one =
      WithLoop([&] { return TcpAsk(port(Service::kPrivate), r25, std::chrono::milliseconds(1000)); });
  ASSERT_TRUE(long_one.has_value());
  EXPECT_TRUE(long_one->data.empty());
  EXPECT_TRUE(long_one->closed_by_server);
  // 23 bytes: closed once the rest fails to come within 2 s, not after the idle time-out.
  auto r23 = MdlRequest();
  r23.pop_back();
  UniqueFd short_one = TcpConnect(port(Service::kPrivate));
  ASSERT_EQ(::send(short_one.get(), r23.data(), r23.size(), MSG_NOSIGNAL), 23);
  Settle();
  Advance(std::chrono::milliseconds(1999), std::chrono::milliseconds(1999));
  EXPECT_FALSE(EngineClosed(short_one.get())) << "closed before the request deadline";
  Advance(std::chrono::milliseconds(1));
  EXPECT_TRUE(EngineClosed(short_one.get())) << "an incomplete request must be closed after 2 s";
  uint8_t left[32];
  EXPECT_EQ(::recv(short_one.get(), left, sizeof left, MSG_DONTWAIT), 0) << "closed without a reply";
}

TEST_F(ServicesTest, PrivateProtocolRejectsBadIdentityAndLength) {
  WriteSettings();
  StartEngine();
  MarkSynced();
  auto own_reply = MdlRequest('L', 'S');  // a server's reply sent back at us
  EXPECT_FALSE(WithLoop([&] {
                 return UdpAsk(port(Service::kPrivate), MdlRequest('L', 'L'), std::chrono::milliseconds(300));
               }).has_value());
  EXPECT_FALSE(WithLoop([&] {
                 return UdpAsk(port(Service::kPrivate), own_reply, std::chrono::milliseconds(300));
               }).has_value())
      << "answering our own reply would let two servers talk forever";
  auto short_one = MdlRequest();
  short_one.pop_back();
  EXPECT_FALSE(WithLoop([&] {
                 return UdpAsk(port(Service::kPrivate), short_one, std::chrono::milliseconds(300));
               }).has_value());
  EXPECT_TRUE(WithLoop([&] {
                return UdpAsk(port(Service::kPrivate), MdlRequest('?'), std::chrono::milliseconds(1000));
              }).has_value())
      << "byte 2 is not examined";
  EXPECT_EQ(Count(Service::kPrivate, Transport::kUdp), 1u);
}

TEST_F(ServicesTest, PrivateUdpAnswersBeforeSynchronisationButTcpDoesNot) {
  WriteSettings();
  StartEngine();
  auto udp = WithLoop([&] { return UdpAsk(port(Service::kPrivate), MdlRequest()); });
  EXPECT_TRUE(udp.has_value());
  auto tcp =
      WithLoop([&] { return TcpAsk(port(Service::kPrivate), MdlRequest(), std::chrono::milliseconds(500)); });
  ASSERT_TRUE(tcp.has_value());
  EXPECT_TRUE(tcp->data.empty());
}

TEST_F(ServicesTest, DisabledServiceDoesNotAnswerOnItsStillBoundUdpSocket) {
  WriteSettings();
  StartEngine();
  MarkSynced();
  Do(cmd::SetEnabled{Service::kUnixTime, false});
  const ServiceView& v = View(Service::kUnixTime);
  EXPECT_FALSE(v.enabled);
  ASSERT_TRUE(v.udp_open);
  EXPECT_EQ(Sockets(Service::kUnixTime).udp_port, port(Service::kUnixTime));
  EXPECT_FALSE(WithLoop([&] {
                 return UdpAsk(port(Service::kUnixTime), {1}, std::chrono::milliseconds(300));
               }).has_value());
  // Switched back on, it answers again on the same socket.
  Do(cmd::SetEnabled{Service::kUnixTime, true});
  EXPECT_TRUE(WithLoop([&] {
                return UdpAsk(port(Service::kUnixTime), {1}, std::chrono::milliseconds(1000));
              }).has_value());
}

}  // namespace
}  // namespace mdl::testing
