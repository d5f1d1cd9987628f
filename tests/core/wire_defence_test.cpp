// Defences on the wire: no reply loop from a forged datagram (between two
// engines, every service with every other), the amplification budget on
// wire bytes with its true-count report, and TCP connections that cannot
// lock a service out.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/udp.h>

#include <atomic>
#include <cstring>
#include <future>
#include <thread>

#include "engine_fixture.h"
#include "server/serving/reply_budget.h"
#include "server/serving/serving.h"

namespace mdl::testing {
namespace {

Bytes FilledMdlRequest() {
  Bytes r = {'M', 'D', 'L', 'C', '5', 'U', 'T', 'C'};
  r.resize(24, 0x11);
  return r;
}

Bytes NtpRequest() {
  Bytes r(48, 0);
  r[0] = 0x23;
  r[40] = 0xAB;
  return r;
}

// A valid request of each service.
Bytes RequestFor(Service s) {
  switch (s) {
    case Service::kTime:
      return {};
    case Service::kDaytime:
      return {'\n'};
    case Service::kNtp:
      return NtpRequest();
    case Service::kUnixTime:
      return {1};
    case Service::kPrivate:
      return FilledMdlRequest();
  }
  return {};
}

TEST(ScreenUdpRequest, RefusesServicePortsAndReplyShapesAndLetsRequestsThrough) {
  const std::array<uint16_t, 5> own = {40037, 40013, 40123, 40519, 43777};
  const Bytes daytime_reply(std::string_view("\n61382 26-12-07 09:00:01 00 0 0 999.0 UTC(MDLS) *\n").begin(),
                            std::string_view("\n61382 26-12-07 09:00:01 00 0 0 999.0 UTC(MDLS) *\n").end());
  const std::string plain = "Monday, December 07, 2026 14:03:09-CET";
  const Bytes plain_reply(plain.begin(), plain.end());
  Bytes ntp_reply = NtpRequest();
  ntp_reply[0] = 0x24;
  Bytes mdl_reply = FilledMdlRequest();
  mdl_reply[3] = 'S';
  struct Case {
    Service service;
    uint16_t from;
    Bytes data;
    std::optional<UdpDrop> expected;
    const char* what;
  };
  const Case cases[] = {
      {Service::kTime, 50000, {}, std::nullopt, "a Time request"},
      {Service::kDaytime, 50000, {'x'}, std::nullopt, "a Daytime request"},
      {Service::kUnixTime, 50000, Bytes{1, 2, 3, 4, 5, 6, 7, 8}, std::nullopt, "an 8-byte UnixTime request"},
      {Service::kNtp, 50000, NtpRequest(), std::nullopt, "an NTP request"},
      {Service::kPrivate, 50000, FilledMdlRequest(), std::nullopt, "a private request"},
      {Service::kNtp, 123, NtpRequest(), std::nullopt, "NTP from port 123 (symmetric source port)"},
      {Service::kNtp, 40123, NtpRequest(), std::nullopt, "NTP from our own NTP port"},
      {Service::kTime, 123, {}, UdpDrop::kSourcePort, "Time from the NTP port"},
      {Service::kTime, 37, {}, UdpDrop::kSourcePort, "Time from the Time port"},
      {Service::kDaytime, 7, {'x'}, UdpDrop::kSourcePort, "from echo"},
      {Service::kDaytime, 19, {'x'}, UdpDrop::kSourcePort, "from chargen"},
      {Service::kUnixTime, 519, {1}, UdpDrop::kSourcePort, "from UnixTime"},
      {Service::kPrivate, 3777, FilledMdlRequest(), UdpDrop::kSourcePort, "from the private protocol's port"},
      {Service::kNtp, 37, NtpRequest(), UdpDrop::kSourcePort, "NTP from the Time port"},
      {Service::kNtp, 0, NtpRequest(), UdpDrop::kSourcePort, "from port 0"},
      {Service::kTime, 40013, {}, UdpDrop::kSourcePort, "from our own Daytime port"},
      {Service::kNtp, 40037, NtpRequest(), UdpDrop::kSourcePort, "NTP from our own Time port"},
      {Service::kTime, 50000, {0, 0, 0, 1}, UdpDrop::kReplyShaped, "a Time reply"},
      {Service::kUnixTime, 50000, {0, 0, 0, 1}, UdpDrop::kReplyShaped, "a UnixTime reply"},
      {Service::kDaytime, 50000, daytime_reply, UdpDrop::kReplyShaped, "a Julian Daytime reply"},
      {Service::kTime, 50000, plain_reply, UdpDrop::kReplyShaped, "a plain Daytime reply"},
      {Service::kDaytime, 50000, ntp_reply, UdpDrop::kReplyShaped, "an NTP server reply"},
      {Service::kUnixTime, 50000, mdl_reply, UdpDrop::kReplyShaped, "a private-protocol reply"},
      {Service::kDaytime, 50000, NtpRequest(), std::nullopt, "an NTP client request is no reply"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ScreenUdpRequest(c.service, c.from, c.data, own), c.expected) << c.what;
}

TEST(AddressText, DottedQuadOfEveryOctetWidthAndMappedIpv4) {
  using boost::asio::ip::make_address;
  EXPECT_EQ(AddressText(make_address("0.0.0.0")), "0.0.0.0");
  EXPECT_EQ(AddressText(make_address("255.255.255.255")), "255.255.255.255");
  EXPECT_EQ(AddressText(make_address("10.99.100.7")), "10.99.100.7");
  EXPECT_EQ(AddressText(make_address("::ffff:192.0.2.250")), "192.0.2.250");
}

TEST(UdpWireBytes, AddsTheUdpAndIpHeaders) {
  EXPECT_EQ(UdpWireBytes(0, false), 28u);
  EXPECT_EQ(UdpWireBytes(4, false), 32u);
  EXPECT_EQ(UdpWireBytes(48, true), 96u);
}

// Two engines on this thread, each with its own ports and first NTP byte 27
// (version 3, client mode), which made their NTP replies look like requests.
class TwoEnginesTest : public ::testing::Test {
 protected:
  struct Instance : EngineListener {
    std::filesystem::path home;
    std::array<uint16_t, kServiceCount> ports{};
    std::unique_ptr<Registry> registry;
    std::unique_ptr<EngineHandle> handle;
    std::vector<std::string> diagnostics;
    void OnEvent(const EngineEvent& e) override {
      if (auto* d = std::get_if<DiagnosticEvent>(&e)) diagnostics.push_back(d->line);
    }
  };

  void SetUp() override {
    for (size_t n = 0; n < 2; ++n) {
      Instance& in = instances_[n];
      in.home = std::filesystem::temp_directory_path() /
                ("mdl-wire-" + std::to_string(::getpid()) + "-" + std::to_string(n) + "-" +
                 std::to_string(std::random_device{}()));
      std::filesystem::create_directories(in.home);
      for (auto& p : in.ports) p = FreePort();
      std::ofstream f(in.home / "registry.reg");
      f << "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Meridel Server]\n"
        << "\"Settings\"=\"NO:59:Minute/s:NA:27\"\n"
        << "\"MDLServer\"=\"testhost\"\n";
      const std::pair<const char*, Service> values[] = {{"NTP37", Service::kTime},
                                                        {"SNTP123", Service::kNtp},
                                                        {"UNIX519", Service::kUnixTime},
                                                        {"MDL3777", Service::kPrivate},
                                                        {"DTS13", Service::kDaytime}};
      for (auto [name, s] : values) f << "\"" << name << "\"=\"YES:YES:YES:" << in.ports[Index(s)] << "\"\n";
      f.close();
      in.registry = std::make_unique<Registry>(in.home / "registry.reg", [](const std::string&) {});
      EngineOptions o;
      o.home = in.home;
      o.bind_address = boost::asio::ip::address_v4::loopback();
      o.sync_at_start = false;
      in.handle = std::make_unique<EngineHandle>(clock_, *in.registry, o, &in);
      in.handle->StartHere();
      in.handle->Post(cmd::MarkSynchronised{});
      in.handle->Poll();
    }
  }
  void TearDown() override {
    for (Instance& in : instances_) {
      in.handle.reset();
      in.registry.reset();
      std::error_code ec;
      std::filesystem::remove_all(in.home, ec);
    }
  }

  size_t PollBoth() { return instances_[0].handle->Poll() + instances_[1].handle->Poll(); }
  void RunFor(std::chrono::milliseconds d) {
    auto end = std::chrono::steady_clock::now() + d;
    while (std::chrono::steady_clock::now() < end)
      if (PollBoth() == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  template <typename F>
  auto WithLoop(F f) -> decltype(f()) {
    auto fut = std::async(std::launch::async, f);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (fut.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready &&
           std::chrono::steady_clock::now() < deadline)
      if (PollBoth() == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    return fut.get();
  }
  SnapshotPtr Snap(Instance& in) {
    clock_.advance(std::chrono::milliseconds(100));
    PollBoth();
    return in.handle->snapshot();
  }

  // Sends `payload` to 127.0.0.1:to with the UDP source port `from`.
  static void Forge(int raw, uint16_t from, uint16_t to, const Bytes& payload) {
    Bytes packet(sizeof(udphdr) + payload.size());
    udphdr h{};
    h.source = htons(from);
    h.dest = htons(to);
    h.len = htons(static_cast<uint16_t>(packet.size()));
    h.check = 0;  // none (IPv4)
    std::memcpy(packet.data(), &h, sizeof h);
    std::copy(payload.begin(), payload.end(), packet.begin() + sizeof h);
    sockaddr_in a = Loopback(0);
    ASSERT_EQ(::sendto(raw, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a),
              static_cast<ssize_t>(packet.size()));
  }

  VirtualClock clock_{UtcFromNs(1'796'634'000'000'000'000)};  // 2026-12-07 09:00:00 UTC
  std::array<Instance, 2> instances_;
};

TEST_F(TwoEnginesTest, NoForgedDatagramStartsALoopBetweenOrWithinInstances) {
  int raw = ::socket(AF_INET, SOCK_RAW, IPPROTO_UDP);
  ASSERT_GE(raw, 0) << "forging source ports needs a raw socket (CAP_NET_RAW): " << std::strerror(errno);
  ::shutdown(raw, SHUT_RD);
  // From every service port of either instance to every service of either instance.
  int forged = 0;
  for (const Instance& src : instances_)
    for (const Instance& dst : instances_)
      for (Service from : kAllServices)
        for (Service to : kAllServices) {
          Forge(raw, src.ports[Index(from)], dst.ports[Index(to)], RequestFor(to));
          ++forged;
        }
  ::close(raw);
  // A loop within one instance would keep its Poll() busy for ever: a
  // watchdog closes every UDP socket after 3 s, so that the test ends.
  std::promise<void> finished;
  std::atomic<bool> tripped{false};
  std::thread watchdog([&, done = finished.get_future()] {
    if (done.wait_for(std::chrono::seconds(3)) == std::future_status::ready) return;
    tripped = true;
    for (Instance& in : instances_)
      for (Service s : kAllServices) in.handle->Post(cmd::SetUdp{s, false});
  });
  RunFor(std::chrono::milliseconds(500));
  finished.set_value();
  watchdog.join();
  ASSERT_FALSE(tripped) << "a reply loop kept an engine busy";
  auto total = [&] {
    return Snap(instances_[0])->counters.UdpTotal() + Snap(instances_[1])->counters.UdpTotal();
  };
  const uint64_t seen = total();
  // Each forged datagram and at most the one reply it drew.
  EXPECT_LE(seen, 2u * static_cast<uint64_t>(forged)) << "a reply loop started";
  RunFor(std::chrono::milliseconds(300));
  EXPECT_EQ(total(), seen) << "datagrams still bounce between the services";

  std::array<uint64_t, kUdpDropCount> drops{};
  for (Instance& in : instances_) {
    Snap(in);
    const EngineFigures f = in.handle->Figures();
    for (size_t i = 0; i < kUdpDropCount; ++i) drops[i] += f.udp_dropped[i];
  }
  EXPECT_GT(drops[Index(UdpDrop::kSourcePort)], 0u) << "datagrams from our own ports";
  EXPECT_GT(drops[Index(UdpDrop::kReplyShaped)], 0u) << "the other instance's replies";
  EXPECT_GT(drops[Index(UdpDrop::kNtpNotClient)], 0u) << "the other instance's NTP replies";
  EXPECT_EQ(drops[Index(UdpDrop::kBudget)], 0u);

  // The drops are reported once the tick comes, and both still serve clients.
  clock_.advance(std::chrono::seconds(1));
  PollBoth();
  bool reported = false;
  for (const Instance& in : instances_)
    for (const std::string& line : in.diagnostics) reported |= line.find("reflection guard: ") == 0;
  EXPECT_TRUE(reported);
  for (const Instance& in : instances_) {
    auto ntp = WithLoop([&] { return UdpAsk(in.ports[Index(Service::kNtp)], NtpRequest()); });
    ASSERT_TRUE(ntp && ntp->size() == 48);
    EXPECT_EQ((*ntp)[0], 0x24) << "first byte setting 27: mode 4 sent, the request's version 4";
    EXPECT_EQ((*ntp)[24], 0xAB) << "originate: the request's transmit stamp";
    EXPECT_TRUE(WithLoop([&] { return UdpAsk(in.ports[Index(Service::kTime)], {}); }).has_value());
  }
}

using WireDefenceTest = EngineFixture;

// Sends `request` from 127.0.0.1:source to 127.0.0.1:port; the reply within 300 ms, if any.
std::optional<Bytes> AskFromPort(uint16_t source, uint16_t port, const Bytes& request) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return std::nullopt;
  sockaddr_in from = Loopback(source);
  sockaddr_in to = Loopback(port);
  std::optional<Bytes> reply;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0 &&
      ::sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) > 0 &&
      WaitReadable(fd, std::chrono::milliseconds(300))) {
    Bytes buf(512);
    const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
    if (n >= 0) reply = Bytes(buf.begin(), buf.begin() + n);
  }
  ::close(fd);
  return reply;
}

TEST_F(WireDefenceTest, AMovedServicePortIsRefusedAsASourceAtItsNewNumberOnly) {
  WriteSettings();
  StartEngine();
  MarkSynced();
  // Time over TCP only: its port is ours for TCP, free for a UDP sender.
  Do(cmd::SetUdp{Service::kTime, false});
  const uint16_t before = Sockets(Service::kTime).tcp_port;
  const auto ntp_from = [&](uint16_t source) {
    return WithLoop([&] { return AskFromPort(source, port(Service::kNtp), NtpRequest()); });
  };
  EXPECT_FALSE(ntp_from(before)) << "answered a datagram from our own Time port";
  ASSERT_TRUE(ntp_from(FreePort())) << "an NTP request from a free port went unanswered";

  const uint16_t moved = FreePort();
  Do(cmd::SetPortText{Service::kTime, std::to_string(moved)});
  Do(cmd::PortEnter{Service::kTime});
  ASSERT_EQ(Sockets(Service::kTime).tcp_port, moved);
  EXPECT_FALSE(ntp_from(moved)) << "the Time service's new port is not refused as a source";
  EXPECT_TRUE(ntp_from(before)) << "the Time service's old port is still refused as a source";
}

TEST_F(WireDefenceTest, BudgetCountsWireBytesForEveryServiceAndReportsTheTrueCount) {
  // 320 bytes: ten Time replies of 32 bytes on the wire.
  WriteSettings("\"AmplificationBudget\"=\"0:320\"\n");
  StartEngine();
  MarkSynced();
  auto ask = [&](Service s, const Bytes& request, int times) {
    return WithLoop([&] {
      int n = 0;
      for (int i = 0; i < times; ++i)
        n += UdpAsk(port(s), request, std::chrono::milliseconds(100)).has_value();
      return n;
    });
  };
  EXPECT_EQ(ask(Service::kTime, {}, 15), 10) << "empty Time requests draw 4 bytes each";
  EXPECT_EQ(ask(Service::kUnixTime, {1}, 3), 0) << "the bucket is the address's, whatever the service";
  // A reply no larger than its request on the wire is never limited.
  EXPECT_EQ(ask(Service::kTime, Bytes(8, 1), 5), 5);
  EXPECT_EQ(ask(Service::kNtp, NtpRequest(), 3), 3);
  EXPECT_EQ(Figures().replies_refused, 8u);
  EXPECT_FALSE(Diagnosed("amplification budget")) << "reported on the tick, not in the serving path";
  Advance(std::chrono::seconds(1));
  EXPECT_TRUE(Diagnosed("amplification budget: 8 UDP replies refused, the latest to 127.0.0.1"));
  // At most one line per 10 s, then the count since the last line.
  ask(Service::kDaytime, {'x'}, 20);
  Advance(std::chrono::seconds(5));
  const size_t lines = diagnostics_.size();
  ask(Service::kTime, {}, 7);
  Advance(std::chrono::seconds(3));
  EXPECT_EQ(diagnostics_.size(), lines) << "a second line within 10 s";
  Advance(std::chrono::seconds(2));
  EXPECT_TRUE(Diagnosed("amplification budget: 27 UDP replies refused since the last report"))
      << (diagnostics_.empty() ? "" : diagnostics_.back());
  EXPECT_EQ(Figures().replies_refused, 35u);
}

TEST_F(WireDefenceTest, IncompleteNtpTcpRequestIsClosedSoonAndLoggedAsAWrongLength) {
  WriteSettings();
  StartEngine();
  MarkSynced();
  Bytes partial = NtpRequest();
  partial.pop_back();
  {
    UniqueFd fd = TcpConnect(port(Service::kNtp));
    ASSERT_EQ(::send(fd.get(), partial.data(), partial.size(), MSG_NOSIGNAL), 47);
    Settle();
    Advance(std::chrono::milliseconds(1999), std::chrono::milliseconds(1999));
    EXPECT_FALSE(EngineClosed(fd.get())) << "closed before the request deadline";
    Advance(std::chrono::milliseconds(1));
    EXPECT_TRUE(EngineClosed(fd.get())) << "held for the idle time-out";
  }
  std::string log;
  for (auto& e : std::filesystem::directory_iterator(home_ / "Logs")) log += ReadFile(e.path());
  EXPECT_NE(log.find(" 0 0 0 47 0 " + std::to_string(port(Service::kNtp)) + " NTPv4 TCP - "),
            std::string::npos)
      << log;
  // A whole request split in two is still answered.
  auto whole = WithLoop([&] {
    UniqueFd fd = TcpConnect(port(Service::kNtp));
    Bytes req = NtpRequest();
    ::send(fd.get(), req.data(), 20, MSG_NOSIGNAL);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ::send(fd.get(), req.data() + 20, 28, MSG_NOSIGNAL);
    SetTimeouts(fd.get(), 2000);
    uint8_t buf[64];
    return ::recv(fd.get(), buf, sizeof buf, MSG_WAITALL);
  });
  EXPECT_EQ(whole, 48);
}

// A connection from 127.0.0.x, left open and silent.
UniqueFd IdleFrom(const char* source, uint16_t port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in local{};
  local.sin_family = AF_INET;
  ::inet_pton(AF_INET, source, &local.sin_addr);
  EXPECT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
  sockaddr_in a = Loopback(port);
  EXPECT_EQ(::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  return fd;
}

// Whether the server closed `fd` (end of stream) within `ms`.
bool ClosedByServer(int fd, int ms) {
  if (!WaitReadable(fd, std::chrono::milliseconds(ms))) return false;
  uint8_t b;
  return ::recv(fd, &b, 1, MSG_DONTWAIT) == 0;
}

TEST_F(WireDefenceTest, IdleConnectionsOfOneAddressCannotLockOutOthers) {
  WriteSettings("\"TcpMaxPerAddress\"=\"3\"\n");
  StartEngine();
  MarkSynced();
  const uint16_t p = port(Service::kPrivate);
  std::vector<UniqueFd> idle;
  for (int i = 0; i < 3; ++i) idle.push_back(IdleFrom("127.0.0.2", p));
  ASSERT_TRUE(PollUntil([&] { return Sockets(Service::kPrivate).tcp_connections == 3; }));
  UniqueFd over = IdleFrom("127.0.0.2", p);
  EXPECT_TRUE(WithLoop([&] { return ClosedByServer(over.get(), 2000); })) << "a 4th from one address";
  auto r = WithLoop([&] {
    return TcpAsk(port(Service::kPrivate), FilledMdlRequest(), std::chrono::milliseconds(1000), 24);
  });
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->data.size(), 24u) << "another address is served";
  EXPECT_EQ(Sockets(Service::kPrivate).tcp_connections, 3u);
}

TEST_F(WireDefenceTest, PrivateTcpConnectionsThatSendNothingAreClosedSoon) {
  WriteSettings();
  StartEngine();
  MarkSynced();
  const uint16_t p = port(Service::kPrivate);
  // Silent from the start: closed after the request deadline, not the 30 s idle time-out.
  UniqueFd silent = IdleFrom("127.0.0.3", p);
  Settle();
  Advance(std::chrono::milliseconds(1999), std::chrono::milliseconds(1999));
  EXPECT_FALSE(EngineClosed(silent.get())) << "closed before the request deadline";
  Advance(std::chrono::milliseconds(1));
  EXPECT_TRUE(EngineClosed(silent.get())) << "a silent connection held";
  // Silent after one answered request: the same, counted from the answer.
  UniqueFd held = IdleFrom("127.0.0.3", p);
  Settle();
  Advance(std::chrono::milliseconds(1000), std::chrono::milliseconds(1000));
  const Bytes request = FilledMdlRequest();
  ASSERT_EQ(::send(held.get(), request.data(), request.size(), MSG_NOSIGNAL), 24);
  Settle();
  uint8_t reply[24];
  ASSERT_EQ(::recv(held.get(), reply, sizeof reply, MSG_DONTWAIT), 24);
  Advance(std::chrono::milliseconds(1999), std::chrono::milliseconds(1999));
  EXPECT_FALSE(EngineClosed(held.get())) << "closed before the deadline that the answer restarted";
  Advance(std::chrono::milliseconds(1));
  EXPECT_TRUE(EngineClosed(held.get())) << "an answered connection held open without a further request";
}

TEST_F(WireDefenceTest, AtTheServiceCapTheOldestIdleConnectionMakesRoom) {
  WriteSettings("\"TcpMaxConnections\"=\"3\"\n\"TcpMaxPerAddress\"=\"0\"\n");
  StartEngine();
  MarkSynced();
  const uint16_t p = port(Service::kPrivate);
  std::vector<UniqueFd> idle;
  for (int i = 0; i < 3; ++i) {
    idle.push_back(IdleFrom("127.0.0.1", p));
    ASSERT_TRUE(PollUntil([&] { return Sockets(Service::kPrivate).tcp_connections == idle.size(); }));
  }
  auto r = WithLoop([&] { return TcpAsk(p, FilledMdlRequest(), std::chrono::milliseconds(1000), 24); });
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->data.size(), 24u) << "the newcomer is served at the cap";
  EXPECT_TRUE(WithLoop([&] { return ClosedByServer(idle[0].get(), 1000); })) << "the oldest idle one closed";
  EXPECT_FALSE(ClosedByServer(idle[2].get(), 0)) << "the newest idle one stays";
}

}  // namespace
}  // namespace mdl::testing
