// The engine through real loopback sockets: listeners, the Time service,
// slots, status texts, the request log and the operator commands.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <boost/asio/ip/host_name.hpp>

#include "common/net/tcp_listener.h"
#include "common/time/ntp_timestamp.h"
#include "engine_fixture.h"

namespace mdl::testing {
namespace {

uint32_t Be32(const std::vector<uint8_t>& b, size_t at = 0) {
  return uint32_t{b[at]} << 24 | uint32_t{b[at + 1]} << 16 | uint32_t{b[at + 2]} << 8 | b[at + 3];
}

std::vector<uint8_t> NtpClientRequest() {
  std::vector<uint8_t> r(48, 0);
  r[0] = 0x23;  // version 4, mode 3
  r[40] = 0xAB;
  r[47] = 0xCD;
  return r;
}

using EngineTest = EngineFixture;

TEST_F(EngineTest, NothingIsServedBeforeTheClockIsSynchronised) {
  WriteSettings();
  StartEngine();
  auto tcp = WithLoop([&] { return TcpAsk(port(Service::kTime)); });
  ASSERT_TRUE(tcp.has_value()) << "the Time listener is not open";
  EXPECT_TRUE(tcp->data.empty()) << "a Time reply went out before the first synchronisation";
  auto udp = WithLoop([&] { return UdpAsk(port(Service::kTime), {1}, std::chrono::milliseconds(300)); });
  EXPECT_FALSE(udp.has_value()) << "a UDP Time reply went out before the first synchronisation";
  auto ntp = WithLoop(
      [&] { return UdpAsk(port(Service::kNtp), NtpClientRequest(), std::chrono::milliseconds(300)); });
  EXPECT_FALSE(ntp.has_value()) << "an NTP reply went out before the first synchronisation";
  EXPECT_EQ(Count(Service::kTime, Transport::kTcp), 0u);
  // The unanswered NTP request is logged as such: status 503, nothing sent, 48 received.
  std::string log;
  for (auto& e : std::filesystem::directory_iterator(home_ / "Logs")) log += ReadFile(e.path());
  const std::string unanswered =
      " GET TIME - 503 0 0 48 0 " + std::to_string(port(Service::kNtp)) + " NTPv4 UDP - - \r\n";
  EXPECT_NE(log.find(unanswered), std::string::npos) << log;
  EXPECT_EQ(log.find(" GET TIME - 0 0 48 48 "), std::string::npos) << "logged as answered:\n" << log;
}

TEST_F(EngineTest, TimeServiceAnswersWithSecondsSince1900OverTcpAndUdp) {
  WriteSettings();
  StartEngine();
  MarkSynced();
  uint32_t before = SecondsSince1900(clock_.now());
  auto tcp = WithLoop([&] { return TcpAsk(port(Service::kTime)); });
  auto udp = WithLoop([&] { return UdpAsk(port(Service::kTime), {0x0A}); });
  uint32_t after = SecondsSince1900(clock_.now());
  ASSERT_TRUE(tcp && udp);
  ASSERT_EQ(tcp->data.size(), 4u) << "TCP reply must be exactly 4 bytes";
  EXPECT_TRUE(tcp->closed_by_server) << "the server must close the connection after the reply";
  ASSERT_EQ(udp->size(), 4u) << "UDP reply must be one 4-byte datagram";
  for (uint32_t v : {Be32(tcp->data), Be32(*udp)}) {
    EXPECT_GE(v, before);
    EXPECT_LE(v, after);
  }
  EXPECT_EQ(Count(Service::kTime, Transport::kTcp), 1u);
  EXPECT_EQ(Count(Service::kTime, Transport::kUdp), 1u);
}

TEST_F(EngineTest, ServedTimeFollowsTheVirtualClock) {
  WriteSettings();
  StartEngine();
  MarkSynced();
  clock_.set(clock_.now() + std::chrono::hours(24 * 365));  // a step, as a clock set: no year of ticks
  auto udp = WithLoop([&] { return UdpAsk(port(Service::kTime), {0}); });
  ASSERT_TRUE(udp && udp->size() == 4);
  EXPECT_NEAR(static_cast<double>(Be32(*udp)), static_cast<double>(SecondsSince1900(clock_.now())), 1.0);
}

TEST_F(EngineTest, IdleConnectionsAreClosedAfterTheTimeout) {
  idle_ms_ = 200;
  WriteSettings();
  StartEngine();
  MarkSynced();
  // The services that keep a connection set a request deadline of 2 s when
  // they accept it, which replaces the shorter idle time-out.
  UniqueFd idle = TcpConnect(port(Service::kPrivate));
  Settle();
  EXPECT_EQ(Sockets(Service::kPrivate).tcp_connections, 1u);
  Advance(std::chrono::milliseconds(1999), std::chrono::milliseconds(1999));
  EXPECT_FALSE(EngineClosed(idle.get())) << "closed before the request deadline";
  Advance(std::chrono::milliseconds(1));
  EXPECT_TRUE(EngineClosed(idle.get())) << "an idle connection must be closed by the server";
  EXPECT_EQ(Sockets(Service::kPrivate).tcp_connections, 0u);
}

// The service manager's watchdog is pinged from the engine's loop on the
// engine's clock: a manual clock steps it without waiting.
TEST_F(EngineTest, HeartbeatBeatsOnTheEnginesClock) {
  WriteSettings();
  registry_ = std::make_unique<Registry>(home_ / "registry.reg");
  EngineOptions o;
  o.home = home_;
  o.bind_address = boost::asio::ip::address_v4::loopback();
  o.sync_at_start = false;
  handle_ = std::make_unique<EngineHandle>(clock_, *registry_, o, this);
  int beats = 0;
  handle_->SetHeartbeat(std::chrono::seconds(1), [&] { ++beats; });
  handle_->StartHere();
  Advance(std::chrono::milliseconds(999), std::chrono::milliseconds(999));
  EXPECT_EQ(beats, 0);
  Advance(std::chrono::milliseconds(1));
  EXPECT_EQ(beats, 1);
  Advance(std::chrono::seconds(2));
  EXPECT_EQ(beats, 3);
  handle_->Stop();
  Advance(std::chrono::seconds(2));
  EXPECT_EQ(beats, 3) << "beats after the shutdown";
}

TEST_F(EngineTest, StatusTextCountsRequestsPerServiceAndTransport) {
  WriteSettings();
  StartEngine();
  MarkSynced();
  WithLoop([&] { return TcpAsk(port(Service::kTime)); });
  WithLoop([&] { return UdpAsk(port(Service::kNtp), NtpClientRequest()); });
  WithLoop([&] { return UdpAsk(port(Service::kNtp), NtpClientRequest()); });
  Advance(std::chrono::seconds(1));  // the status texts are recomposed on the tick
  Snap();
  const std::string text = Figures().server_status_text;
  EXPECT_NE(text.find("\r# 3 | /T 1 | /D 0 | /S 2 | /U 0 | /MDL 0\r"), std::string::npos) << text;
  EXPECT_NE(text.find("\r# UDP: 2 --- # TCP: 1\r"), std::string::npos) << text;
}

TEST_F(EngineTest, RequestLogStartsTheDayWithItsHeaderAndCountsTimeBytes) {
  WriteSettings();
  StartEngine();
  MarkSynced();
  WithLoop([&] { return TcpAsk(port(Service::kTime)); });
  WithLoop([&] { return UdpAsk(port(Service::kTime), {1}); });
  std::vector<std::filesystem::path> files;
  for (auto& e : std::filesystem::directory_iterator(home_ / "Logs")) files.push_back(e.path());
  ASSERT_EQ(files.size(), 1u);
  std::string log = ReadFile(files[0]);
  EXPECT_EQ(log.rfind("#Software Service: Meridel(SM) Server\r\n#Version: 5.1.10\r\n#UPDate: ", 0), 0u)
      << log;
  EXPECT_NE(log.find("\r\n#Fields: date time c-ip"), std::string::npos);
  // sentB 4, cs-bytes 12 (the length of "Time 4 Bytes"), port, code and type.
  // The machine's host name from start-up, not the stored server name.
  EXPECT_NE(log.find(" 127.0.0.1 - MDLS5 " + boost::asio::ip::host_name() + " "), std::string::npos) << log;
  std::string tcp_tail =
      " GET TIME - 0 0 4 12 0 " + std::to_string(port(Service::kTime)) + " Time TCP - - \r\n";
  std::string udp_tail =
      " GET TIME - 0 0 4 12 0 " + std::to_string(port(Service::kTime)) + " Time UDP - - \r\n";
  EXPECT_NE(log.find(tcp_tail), std::string::npos) << log;
  EXPECT_NE(log.find(udp_tail), std::string::npos) << log;
}

TEST_F(EngineTest, LogMaxBytesCapsTheDaysFileAndABadValueKeepsTheDefault) {
  WriteSettings("\"LogMaxBytes\"=\"1200\"\n");
  StartEngine();
  MarkSynced();
  for (int i = 0; i < 12; ++i) WithLoop([&] { return UdpAsk(port(Service::kTime), {1}); });
  std::vector<std::filesystem::path> files;
  for (auto& e : std::filesystem::directory_iterator(home_ / "Logs")) files.push_back(e.path());
  ASSERT_EQ(files.size(), 1u);
  const std::string log = ReadFile(files[0]);
  EXPECT_LE(log.size(), 1200u) << log;
  EXPECT_NE(log.find("size limit of 1200 bytes reached"), std::string::npos) << log;

  // Not a number: reported, and the 1 GiB default stays.
  TearDown();
  SetUp();
  WriteSettings("\"LogMaxBytes\"=\"1e6\"\n");
  StartEngine();
  bool reported = false;
  for (const std::string& d : diagnostics_) reported |= d.find("LogMaxBytes \"1e6\"") != std::string::npos;
  EXPECT_TRUE(reported);
}

TEST_F(EngineTest, ConnectionsAcceptedTogetherShareOneLogWriteMadeBeforeTheirAnswers) {
  WriteSettings();
  StartEngine();
  MarkSynced();
  // Twenty connections wait in the backlog while the loop is not running,
  // so one wake-up accepts them all.
  constexpr int kClients = 20;
  std::vector<int> fds;
  for (int i = 0; i < kClients; ++i) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    SetTimeouts(fd, 3000);
    sockaddr_in a = Loopback(port(Service::kUnixTime));
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    fds.push_back(fd);
  }
  auto log_lines = [&] {
    int n = 0;
    for (auto& e : std::filesystem::directory_iterator(home_ / "Logs")) {
      std::string text = ReadFile(e.path());
      for (size_t at = text.find(" UnixTime TCP "); at != std::string::npos;
           at = text.find(" UnixTime TCP ", at + 1))
        ++n;
    }
    return n;
  };
  // Each client, once answered, finds every line of the batch in the log.
  std::vector<int> lines_seen = WithLoop([&] {
    std::vector<int> seen;
    for (int fd : fds) {
      uint8_t buf[8];
      ssize_t n = ::recv(fd, buf, sizeof buf, MSG_WAITALL);
      seen.push_back(n == 4 ? log_lines() : -1);
    }
    return seen;
  });
  for (int fd : fds) ::close(fd);
  for (int i = 0; i < kClients; ++i) {
    ASSERT_NE(lines_seen[static_cast<size_t>(i)], -1) << "client " << i << " got no 4-byte answer";
    EXPECT_EQ(lines_seen[static_cast<size_t>(i)], kClients)
        << "client " << i << " was answered before the batch's log lines were written";
  }
  EXPECT_EQ(Count(Service::kUnixTime, Transport::kTcp), static_cast<uint64_t>(kClients));
}

double ThreadCpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_THREAD, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

TEST_F(EngineTest, ConnectionLeftWaitingWhenDescriptorsRanOutIsAcceptedLater) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizers' own checks need descriptors; this runs in the plain build";
#endif
  WriteSettings();
  StartEngine();
  MarkSynced();
  // Two client sockets made beforehand; then the process may open only one
  // more descriptor: the server's side of a private-protocol connection,
  // which stays open waiting for a request.
  int holder = ::socket(AF_INET, SOCK_STREAM, 0);
  int waiting = ::socket(AF_INET, SOCK_STREAM, 0);
  SetTimeouts(waiting, 2000);
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit tight = saved;
  // The limit bounds descriptor numbers: allow just the lowest free one.
  int lowest_free = ::dup(0);
  ::close(lowest_free);
  tight.rlim_cur = static_cast<rlim_t>(lowest_free + 1);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  sockaddr_in private_address = Loopback(port(Service::kPrivate));
  sockaddr_in time_address = Loopback(port(Service::kTime));
  ::connect(holder, reinterpret_cast<sockaddr*>(&private_address), sizeof private_address);
  Settle();  // accepted: the last descriptor
  // The Time service answers on accept, but there is no descriptor left.
  ::connect(waiting, reinterpret_cast<sockaddr*>(&time_address), sizeof time_address);
  const double loop_cpu_before = ThreadCpuSeconds();  // the loop runs on this thread
  RunFor(std::chrono::milliseconds(300));
  const double loop_cpu = ThreadCpuSeconds() - loop_cpu_before;
  ::setrlimit(RLIMIT_NOFILE, &saved);
  // No new connection arrives from now on; the waiting one is taken by the
  // retry, due on the engine's clock.
  uint8_t reply[4];
  Advance(net::TcpListener::kAcceptRetry, std::chrono::milliseconds(10));
  const bool answered = WithLoop([&] { return ::recv(waiting, reply, sizeof reply, MSG_WAITALL) == 4; });
  ::close(holder);
  ::close(waiting);
  EXPECT_TRUE(answered) << "the connection that found no descriptor was never accepted";
  // Waiting for a descriptor must not spin on the failing accept.
  EXPECT_LT(loop_cpu, 0.1) << "the loop used " << loop_cpu << " s of CPU while out of descriptors";
}

TEST_F(EngineTest, NtpRepliesAreBuiltFromTheRequestAndTheClock) {
  WriteSettings();
  StartEngine();
  MarkSynced();
  auto request = NtpClientRequest();
  auto t1 = NtpFromUtc(clock_.now());
  auto reply = WithLoop([&] { return UdpAsk(port(Service::kNtp), request); });
  auto t4 = NtpFromUtc(clock_.now());
  ASSERT_TRUE(reply && reply->size() == 48);
  EXPECT_EQ((*reply)[0], 36);
  EXPECT_EQ((*reply)[1], 2);
  // Originate: request byte 24 is zero, so the request's transmit stamp comes back.
  EXPECT_EQ((*reply)[24], 0xAB);
  EXPECT_EQ((*reply)[31], 0xCD);
  auto rx = NtpTimestamp::FromBytes(reply->data() + 32);
  auto tx = NtpTimestamp::FromBytes(reply->data() + 40);
  auto as_u64 = [](NtpTimestamp t) { return uint64_t{t.seconds} << 32 | t.fraction; };
  EXPECT_LE(as_u64(t1), as_u64(rx));
  EXPECT_LE(as_u64(rx), as_u64(tx)) << "transmit must not precede receive";
  EXPECT_LE(as_u64(tx), as_u64(t4));
}

TEST_F(EngineTest, ServerModeNtpDatagramsGetNoReplyButAreLogged) {
  WriteSettings();
  StartEngine();
  MarkSynced();
  auto forged = NtpClientRequest();
  forged[0] = 0x24;  // mode 4: a server's reply
  auto reply = WithLoop([&] { return UdpAsk(port(Service::kNtp), forged, std::chrono::milliseconds(300)); });
  EXPECT_FALSE(reply.has_value()) << "a server-mode packet must not be answered";
  auto short_one = WithLoop([&] {
    return UdpAsk(port(Service::kNtp), std::vector<uint8_t>(47, 0x23), std::chrono::milliseconds(300));
  });
  EXPECT_FALSE(short_one.has_value());
  std::vector<std::filesystem::path> files;
  for (auto& e : std::filesystem::directory_iterator(home_ / "Logs")) files.push_back(e.path());
  ASSERT_EQ(files.size(), 1u);
  std::string log = ReadFile(files[0]);
  EXPECT_NE(log.find(" 0 0 0 47 0 " + std::to_string(port(Service::kNtp)) + " NTPv4 UDP - "),
            std::string::npos)
      << "a 47-byte datagram is logged with sentB 0 and cs-bytes 47:\n"
      << log;
}

TEST_F(EngineTest, DaytimeAddressInUseShowsTheTwoLineMessage) {
  WriteSettings();
  // Hold the Daytime UDP port and the Time UDP port before the engine starts.
  int held_daytime = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a = Loopback(port(Service::kDaytime));
  ASSERT_EQ(::bind(held_daytime, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  StartEngine();
  std::string port_text = std::to_string(port(Service::kDaytime));
  Do(cmd::SetUdp{Service::kDaytime, true});
  EXPECT_EQ(Snap()->status_line, "That address is already in use.  Please select a different port than " +
                                     port_text + ".\rDAYTIME SERVICE SERVER ERROR - PORT: " + port_text +
                                     " invalid.");
  ::close(held_daytime);

  int held_time = ::socket(AF_INET, SOCK_DGRAM, 0);
  Do(cmd::SetUdp{Service::kTime, false});
  a = Loopback(port(Service::kTime));
  ASSERT_EQ(::bind(held_time, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  std::string line_before = Snap()->status_line;
  Do(cmd::SetUdp{Service::kTime, true});
  EXPECT_FALSE(View(Service::kTime).udp_open);
  EXPECT_EQ(Snap()->status_line, line_before) << "only Daytime shows the second line";
  ::close(held_time);
}

TEST_F(EngineTest, EachBindFailureIsOneDiagnosticLineNamingServiceTransportAndPort) {
  WriteSettings();
  const std::string daytime = std::to_string(port(Service::kDaytime));
  const std::string time = std::to_string(port(Service::kTime));
  // The Daytime UDP port and the Time TCP port are taken before the start.
  int held_udp = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a = Loopback(port(Service::kDaytime));
  ASSERT_EQ(::bind(held_udp, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  int held_tcp = ::socket(AF_INET, SOCK_STREAM, 0);
  a = Loopback(port(Service::kTime));
  ASSERT_EQ(::bind(held_tcp, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(held_tcp, 1), 0);
  StartEngine();
  std::vector<std::string> binds;
  for (const std::string& d : diagnostics_)
    if (d.find("already in use") != std::string::npos || d.find("cannot open") != std::string::npos)
      binds.push_back(d);
  ASSERT_EQ(binds.size(), 2u) << "one line per failure";
  EXPECT_EQ(binds[0], "Time Service Server: TCP port " + time +
                          ": That address is already in use.  Please select a different port than " + time +
                          ".");
  EXPECT_EQ(binds[1], "Daytime Service Server: UDP port " + daytime +
                          ": That address is already in use.  Please select a different port than " +
                          daytime + ". / DAYTIME SERVICE SERVER ERROR - PORT: " + daytime + " invalid.");
  ::close(held_udp);
  ::close(held_tcp);
}

TEST_F(EngineTest, PortFieldOutsideOneTo65535LeavesTheSocketClosedWithAMessage) {
  WriteSettings();
  StartEngine();
  Do(cmd::SetPortText{Service::kTime, "70000"});
  Do(cmd::PortEnter{Service::kTime});
  EXPECT_FALSE(View(Service::kTime).udp_open);
  EXPECT_FALSE(View(Service::kTime).tcp_open);
  const std::string status = Snap()->status_text;
  EXPECT_NE(status.find("Time Service Server"), std::string::npos) << status;
  EXPECT_NE(status.find("\"70000\""), std::string::npos) << status;
  // A high port is a valid port.
  uint16_t high = 0;
  for (uint16_t p = 40001; p < 60000 && high == 0; p += 97)
    if (TcpPortFree(p) && UdpPortFree(p)) high = p;
  ASSERT_GT(high, 32767) << "no free port above 32767";
  Do(cmd::SetPortText{Service::kTime, std::to_string(high)});
  EXPECT_EQ(View(Service::kTime).port_tooltip, " Hit Enter to Register the Port Change ");
  Do(cmd::PortEnter{Service::kTime});
  const ServiceView time = View(Service::kTime);
  EXPECT_TRUE(time.udp_open);
  EXPECT_TRUE(time.tcp_open);
  EXPECT_EQ(Sockets(Service::kTime).udp_port, high);
  EXPECT_EQ(time.port_tooltip, " Change Registered Successfully ");
}

TEST_F(EngineTest, AnOpenFailureStaysTheStatusAcrossTicksUntilTheSocketOpensOrIsUnwanted) {
  WriteSettings();
  const std::string time = std::to_string(port(Service::kTime));
  // Time's TCP port is taken before the start.
  int held = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = Loopback(port(Service::kTime));
  ASSERT_EQ(::bind(held, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(held, 1), 0);
  StartEngine();
  const std::string in_use =
      "That address is already in use.  Please select a different port than " + time + ".";
  EXPECT_EQ(Snap()->status_text, in_use) << "the Time panel shows at start";
  Advance(std::chrono::seconds(3));
  EXPECT_EQ(Snap()->status_text, in_use) << "the ticks keep the message";
  EXPECT_FALSE(View(Service::kTime).tcp_open);
  // Another panel and back: the message belongs to the Time service.
  Do(cmd::ShowService{Service::kNtp});
  EXPECT_EQ(Snap()->status_text, "Server is: Enabled\r\nTCP: ON - UDP: ON\r\nIN: 0/t - 0/u");
  Do(cmd::ShowService{Service::kTime});
  EXPECT_EQ(Snap()->status_text, in_use);

  // A bad port field fails both sockets; the message stays over the ticks too.
  Do(cmd::SetPortText{Service::kTime, "70000"});
  Do(cmd::PortEnter{Service::kTime});
  const std::string bad = Snap()->status_text;
  EXPECT_NE(bad.find("\"70000\" is not a port number"), std::string::npos) << bad;
  Advance(std::chrono::milliseconds(2500));
  EXPECT_EQ(Snap()->status_text, bad);
  // Unchecking one box leaves the other socket's failure standing.
  Do(cmd::SetTcp{Service::kTime, false});
  Advance(std::chrono::seconds(1));
  EXPECT_NE(Snap()->status_text.find("not a port number"), std::string::npos);
  // Both unchecked: nothing fails, and nothing reads ON.
  Do(cmd::SetUdp{Service::kTime, false});
  EXPECT_EQ(Snap()->status_text, "Server is: Enabled\r\nTCP: OFF - UDP: OFF\r\nIN: 0/t - 0/u");

  // The port freed and registered: the sockets open and the lines say so.
  ::close(held);
  Do(cmd::SetPortText{Service::kTime, time});
  Do(cmd::SetUdp{Service::kTime, true});
  Do(cmd::SetTcp{Service::kTime, true});
  EXPECT_TRUE(View(Service::kTime).tcp_open);
  Advance(std::chrono::seconds(1));
  EXPECT_EQ(Snap()->status_text, "Server is: Enabled\r\nTCP: ON - UDP: ON\r\nRequests: 0/t - 0/u");
}

TEST_F(EngineTest, TheStatusReadsOnOnlyForASocketThatIsOpen) {
  WriteSettings();
  // Daytime's UDP port is taken; its TCP listener opens.
  int held = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a = Loopback(port(Service::kDaytime));
  ASSERT_EQ(::bind(held, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  StartEngine();
  Do(cmd::ShowService{Service::kDaytime});
  const std::string message = Snap()->status_text;
  EXPECT_NE(message.find("already in use"), std::string::npos) << message;
  // Unchecking UDP ends the failure; TCP, open, reads ON.
  Do(cmd::SetUdp{Service::kDaytime, false});
  Advance(std::chrono::seconds(1));
  EXPECT_EQ(Snap()->status_text, "Server is: Enabled\r\nTCP: ON - UDP: OFF\r\nRequests: 0/t - 0/u");
  // Checked again while still taken: the message again, never "UDP: ON".
  Do(cmd::SetUdp{Service::kDaytime, true});
  for (int i = 0; i < 3; ++i) {
    Advance(std::chrono::seconds(1));
    const std::string status = Snap()->status_text;
    EXPECT_EQ(status.find("UDP: ON"), std::string::npos) << status;
    EXPECT_NE(status.find("already in use"), std::string::npos) << status;
  }
  // Disabled: the failure no longer stands, and the lines show the boxes.
  Do(cmd::SetEnabled{Service::kDaytime, false});
  EXPECT_EQ(Snap()->status_text, "Server is: Disabled\r\nTCP: ON - UDP: ON\r\nIN: 0/t - 0/u");
  ::close(held);
}

TEST_F(EngineTest, OperatorBoxesOpenAndCloseSockets) {
  WriteSettings("", "YES:YES:YES", "YES:NO:YES");
  StartEngine();
  EXPECT_FALSE(View(Service::kTime).tcp_open) << "TCP box unchecked in the settings";
  EXPECT_TRUE(View(Service::kTime).udp_open);
  // Enter on an enabled service reopens both sockets whatever the boxes say.
  Do(cmd::PortEnter{Service::kTime});
  EXPECT_TRUE(View(Service::kTime).tcp_open);
  // Unchecking the enable box closes the listener and leaves UDP bound.
  Do(cmd::SetEnabled{Service::kTime, false});
  EXPECT_FALSE(View(Service::kTime).tcp_open);
  EXPECT_TRUE(View(Service::kTime).udp_open);
  EXPECT_FALSE(View(Service::kTime).boxes_enabled);
  // Enter on a disabled service opens nothing but still confirms.
  Do(cmd::SetUdp{Service::kTime, false});
  Do(cmd::PortEnter{Service::kTime});
  EXPECT_FALSE(View(Service::kTime).udp_open);
  EXPECT_EQ(View(Service::kTime).port_tooltip, " Change Registered Successfully ");
  // The status text of the selected service.
  Do(cmd::SetUdp{Service::kTime, true});
  Do(cmd::SetEnabled{Service::kTime, true});
  EXPECT_EQ(Snap()->status_text, "Server is: Enabled\r\nTCP: OFF - UDP: ON\r\nIN: 0/t - 0/u");
  Do(cmd::SetUdp{Service::kTime, false});
  EXPECT_FALSE(View(Service::kTime).udp_open);
}

TEST_F(EngineTest, ShutdownSavesSettingsAndLoggingIsAlwaysOnAfterAStart) {
  WriteSettings();
  {
    std::ofstream f(home_ / "registry.reg", std::ios::app);
    f << "";
  }
  // EnableLogging "NO" in the store.
  std::string text = ReadFile(home_ / "registry.reg");
  text.replace(text.find("\"EnableLogging\"=\"YES\""), 21, "\"EnableLogging\"=\"NO\"");
  { std::ofstream(home_ / "registry.reg") << text; }
  StartEngine();
  EXPECT_TRUE(Snap()->logging);
  Do(cmd::SetPortText{Service::kUnixTime, "5190"});
  handle_->Stop();
  SnapshotPtr last = handle_->snapshot();
  EXPECT_TRUE(last->shut_down);
  EXPECT_FALSE(last->services[Index(Service::kTime)].tcp_open);
  EXPECT_FALSE(last->services[Index(Service::kNtp)].udp_open);
  Do(cmd::SetPortText{Service::kUnixTime, "1"});  // after the shutdown: ignored
  Registry reread(home_ / "registry.reg");
  EXPECT_EQ(reread.ReadValue("Software\\Meridel Server", "EnableLogging"), "YES");
  EXPECT_EQ(reread.ReadValue("Software\\Meridel Server", "UNIX519"), "YES:YES:YES:5190");
  EXPECT_EQ(reread.ReadValue("Software\\Meridel Server", "Settings"), "NO:59:Minute/s:NA:36");
}

// An edit made in the store while the server runs survives its stop, with
// the comments; what the run itself changed is written.
TEST_F(EngineTest, StopWritesOnlyWhatTheRunChangedAndKeepsEditsAndComments) {
  WriteSettings("", "NO:YES:YES");
  StartEngine();
  Do(cmd::SetPortText{Service::kUnixTime, "5190"});
  std::string text = ReadFile(home_ / "registry.reg");
  const std::string daytime_off = "\"DTS13\"=\"NO:YES:YES:" + std::to_string(port(Service::kDaytime)) + "\"";
  ASSERT_NE(text.find(daytime_off), std::string::npos) << text;
  text.replace(text.find(daytime_off), daytime_off.size(),
               "; Daytime for the old PLCs\n\"DTS13\"=\"YES:YES:YES:1313\"");
  { std::ofstream(home_ / "registry.reg") << text; }
  handle_->Stop();
  const std::string saved = ReadFile(home_ / "registry.reg");
  EXPECT_NE(saved.find("; Daytime for the old PLCs\n\"DTS13\"=\"YES:YES:YES:1313\""), std::string::npos)
      << "the edit made while running was lost:\n"
      << saved;
  EXPECT_NE(saved.find("\"UNIX519\"=\"YES:YES:YES:5190\""), std::string::npos) << saved;
}

// systemctl reload: the edit applies at once, as the operator's commands would.
TEST_F(EngineTest, ReloadAppliesTheEditedSettingsAndKeepsTheRest) {
  WriteSettings("", "NO:YES:YES");
  StartEngine();
  ASSERT_EQ(Sockets(Service::kDaytime).tcp_port, 0);
  ASSERT_EQ(Sockets(Service::kTime).tcp_port, port(Service::kTime));
  std::string text = ReadFile(home_ / "registry.reg");
  const std::string daytime_off = "\"DTS13\"=\"NO:YES:YES:" + std::to_string(port(Service::kDaytime)) + "\"";
  text.replace(text.find(daytime_off), daytime_off.size(),
               "\"DTS13\"=\"YES:YES:NO:" + std::to_string(port(Service::kDaytime)) + "\"");
  { std::ofstream(home_ / "registry.reg") << text; }
  Do(cmd::ReloadSettings{});
  EXPECT_EQ(Sockets(Service::kDaytime).tcp_port, port(Service::kDaytime))
      << "Daytime enabled in the store is not served";
  EXPECT_EQ(Sockets(Service::kDaytime).udp_port, 0);
  EXPECT_EQ(Sockets(Service::kTime).tcp_port, port(Service::kTime)) << "an unchanged service was disturbed";
  EXPECT_TRUE(Diagnosed("settings re-read from ")) << "no line says what was applied";
  EXPECT_TRUE(Diagnosed("applied DTS13"));
  MarkSynced();
  auto day = WithLoop([&] { return TcpAskText(port(Service::kDaytime), ""); });
  ASSERT_TRUE(day.has_value());
  EXPECT_FALSE(day->data.empty());
  handle_->Stop();
  EXPECT_NE(ReadFile(home_ / "registry.reg").find("\"DTS13\"=\"YES:YES:NO:"), std::string::npos);
}

// The administrator's text stays (replies carry the default first byte).
TEST_F(EngineTest, StoredFirstByteThatIsNoByteIsSavedUnchanged) {
  WriteSettings();
  std::string text = ReadFile(home_ / "registry.reg");
  text.replace(text.find("NO:59:Minute/s:NA:36"), 20, "NO:59:Minute/s:NA:300");
  { std::ofstream(home_ / "registry.reg") << text; }
  StartEngine();
  handle_->Stop();
  Registry reread(home_ / "registry.reg");
  EXPECT_EQ(reread.ReadValue("Software\\Meridel Server", "Settings"), "NO:59:Minute/s:NA:300");
}

TEST_F(EngineTest, RunValueWrittenAtShutdownIsTheHostsCommandLineWhenItGivesOne) {
  const std::string run_key = "SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION\\RUN";
  struct Case {
    std::string host_data;
    std::string expected;
  };
  const Case cases[] = {
      {"", (home_ / "QOR_MDL_Server").string()},
      {"\"C:\\Program Files\\Meridel\\QOR_MDL_Server.exe\" --home D:\\mdl",
       "\"C:\\Program Files\\Meridel\\QOR_MDL_Server.exe\" --home D:\\mdl"},
  };
  for (const Case& c : cases) {
    WriteSettings();
    run_value_data_ = c.host_data;
    StartEngine();
    Do(cmd::SetRunAtStart{true});
    handle_->Stop();
    Registry reread(home_ / "registry.reg");
    EXPECT_EQ(reread.ReadValue(run_key, "Meridel Server"), c.expected) << "host data: " << c.host_data;
    handle_.reset();
    registry_.reset();
  }
}

TEST_F(EngineTest, PausedEngineLeavesRequestsUnanswered) {
  WriteSettings();
  StartEngine();
  MarkSynced();
  Do(cmd::SetPaused{true});
  auto udp = WithLoop([&] { return UdpAsk(port(Service::kTime), {1}, std::chrono::milliseconds(300)); });
  EXPECT_FALSE(udp.has_value());
  Do(cmd::SetPaused{false});
  // The datagram left unread while paused is answered now, and a new one too.
  auto again = WithLoop([&] { return UdpAsk(port(Service::kTime), {1}, std::chrono::milliseconds(1000)); });
  EXPECT_TRUE(again.has_value());
}

// Indicators reach the host as bits lit since the previous snapshot, and many
// requests between two snapshots make one snapshot, not one per request.
TEST_F(EngineTest, SnapshotsCoalesceRequestsAndReportIndicatorsLitSinceTheLastOne) {
  WriteSettings();
  StartEngine();
  MarkSynced();
  Snap();
  const int before = snapshots_;
  const uint64_t sequence_before = handle_->snapshot()->sequence;
  WithLoop([&] {
    for (int i = 0; i < 50; ++i) UdpAsk(port(Service::kTime), {1});
    return 0;
  });
  EXPECT_EQ(snapshots_, before) << "a snapshot went out without the clock moving";
  SnapshotPtr s = Snap();
  EXPECT_EQ(snapshots_, before + 1);
  EXPECT_EQ(s->sequence, sequence_before + 1);
  EXPECT_EQ(s->counters.Get(Service::kTime, Transport::kUdp), 50u);
  EXPECT_EQ(s->indicators, Bit(Indicator::kUdpIn) | Bit(Indicator::kDataIn) | Bit(Indicator::kDataOut));
  EXPECT_EQ(s->services[Index(Service::kTime)].last_requester, "127.0.0.1");
  // Nothing served since: the next snapshot (the tick's) shows no indicator lit.
  Advance(std::chrono::seconds(1));
  EXPECT_EQ(handle_->snapshot()->indicators, 0);
  EXPECT_GT(handle_->snapshot()->sequence, s->sequence);
}

}  // namespace
}  // namespace mdl::testing
