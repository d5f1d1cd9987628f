// Access lists in the engine: sources in a denied network get nothing from
// any service over either transport and are not counted as requests, the
// drops and closed connections are counted and reported, and a reload puts
// an edited list in force.
#include <string>
#include <vector>

#include "engine_fixture.h"
#include "tests/support/source_ask.h"

namespace mdl::testing {
namespace {

using std::chrono::milliseconds;

std::vector<uint8_t> NtpRequest() {
  std::vector<uint8_t> r(48, 0);
  r[0] = 0x23;
  return r;
}

std::vector<uint8_t> PrivateRequest() {
  std::vector<uint8_t> r = {'M', 'D', 'L', 'C', '5', 'U', 'T', 'C'};
  r.resize(24, 0x11);
  return r;
}

struct Probe {
  Service service;
  std::vector<uint8_t> udp_request;
  std::vector<uint8_t> tcp_request;
  size_t tcp_reply_size;
};

const std::vector<Probe>& Probes() {
  static const std::vector<Probe> probes = {
      {Service::kTime, {}, {}, 4},
      {Service::kDaytime, {'x', '\n'}, {}, 0},  // a line of any length
      {Service::kNtp, NtpRequest(), NtpRequest(), 48},
      {Service::kUnixTime, {1}, {}, 4},
      {Service::kPrivate, PrivateRequest(), PrivateRequest(), 24},
  };
  return probes;
}

const char* Name(Service s) {
  static const char* names[] = {"Time", "Daytime", "NTP", "UnixTime", "private protocol"};
  return names[Index(s)];
}

class AccessListTest : public EngineFixture {
 protected:
  // What a source gets from every service: per service, whether UDP and TCP answered.
  struct Answers {
    bool udp = false;
    bool tcp = false;
    bool tcp_closed_without_bytes = false;
  };
  std::array<Answers, kServiceCount> AskAll(const std::string& from) {
    return WithLoop([&] {
      std::array<Answers, kServiceCount> out{};
      for (const Probe& p : Probes()) {
        Answers& a = out[Index(p.service)];
        a.udp = UdpAskFrom(from, "127.0.0.1", port(p.service), p.udp_request, milliseconds(300)).has_value();
        const size_t stop = p.tcp_reply_size ? p.tcp_reply_size : SIZE_MAX;
        if (auto r =
                TcpAskFrom(from, "127.0.0.1", port(p.service), p.tcp_request, milliseconds(1000), stop)) {
          a.tcp = !r->data.empty();
          a.tcp_closed_without_bytes = r->data.empty() && r->closed_by_server;
        }
      }
      return out;
    });
  }

  void ExpectAnswered(const std::string& from, bool answered) {
    const auto answers = AskAll(from);
    for (const Probe& p : Probes()) {
      const Answers& a = answers[Index(p.service)];
      EXPECT_EQ(a.udp, answered) << Name(p.service) << " over UDP from " << from
                                 << (answered ? " must be answered" : " must get nothing");
      EXPECT_EQ(a.tcp, answered) << Name(p.service) << " over TCP from " << from
                                 << (answered ? " must be answered" : " must get nothing");
      if (!answered)
        EXPECT_TRUE(a.tcp_closed_without_bytes)
            << Name(p.service) << ": the connection from " << from << " must be closed at once";
    }
  }

  void SetRegistryValue(const std::string& line) { WriteSettings("\"AmplificationLimit\"=\"NO\"\n" + line); }
};

TEST_F(AccessListTest, DeniedSourceGetsNothingIsNotCountedAndIsReported) {
  SetRegistryValue("\"DenyNetworks\"=\"127.0.0.2/32\"\n");
  StartEngine();
  MarkSynced();
  EXPECT_TRUE(Diagnosed("access lists: 0 networks allowed, 1 denied"));
  ExpectAnswered("127.0.0.2", false);
  auto denied = Snap();
  for (const Probe& p : Probes()) {
    EXPECT_EQ(denied->counters.ServiceTotal(p.service), 0u)
        << Name(p.service) << ": a denied request was counted";
    EXPECT_EQ(denied->stats.udp_dropped[Index(p.service)][Index(UdpDrop::kDenied)], 1u) << Name(p.service);
    EXPECT_EQ(denied->stats.tcp_denied[Index(p.service)], 1u) << Name(p.service);
    EXPECT_EQ(denied->stats.answered[Index(p.service)], (ServingStats::PerTransport{0, 0}))
        << Name(p.service);
  }
  ExpectAnswered("127.0.0.1", true);
  auto served = Snap();
  for (const Probe& p : Probes()) {
    EXPECT_EQ(served->counters.Get(p.service, Transport::kUdp), 1u) << Name(p.service);
    EXPECT_EQ(served->counters.Get(p.service, Transport::kTcp), 1u) << Name(p.service);
    EXPECT_EQ(served->stats.tcp_denied[Index(p.service)], 1u)
        << Name(p.service) << ": an allowed source was denied";
  }
  // The tick reports both kinds of refusal, once.
  Advance(std::chrono::seconds(2));
  EXPECT_TRUE(Diagnosed(
      "access list: 5 UDP datagrams from denied networks not answered, the latest from 127.0.0.2:"));
  EXPECT_TRUE(
      Diagnosed("access list: 5 TCP connections from denied networks closed, the latest from 127.0.0.2 ("));
  // Later refusals in the next line, at most every 10 s.
  ExpectAnswered("127.0.0.2", false);
  const size_t lines = diagnostics_.size();
  Advance(std::chrono::seconds(2));
  EXPECT_EQ(diagnostics_.size(), lines) << "a second report within 10 s";
  Advance(std::chrono::seconds(10));
  EXPECT_TRUE(Diagnosed("access list: 5 TCP connections from denied networks closed since the last report"));
}

TEST_F(AccessListTest, AnAllowListAdmitsOnlyItsNetworks) {
  SetRegistryValue("\"AllowNetworks\"=\"192.0.2.0/24, 127.0.0.2\"\n");
  StartEngine();
  MarkSynced();
  EXPECT_TRUE(Diagnosed("access lists: 2 networks allowed, 0 denied"));
  ExpectAnswered("127.0.0.1", false);
  ExpectAnswered("127.0.0.2", true);
}

TEST_F(AccessListTest, ReloadPutsAnEditedListInForceAndAnEmptyOneLiftsIt) {
  SetRegistryValue("");
  StartEngine();
  MarkSynced();
  EXPECT_FALSE(Diagnosed("access lists"));
  ExpectAnswered("127.0.0.2", true);

  SetRegistryValue("\"DenyNetworks\"=\"127.0.0.0/30\"\n\"AllowNetworks\"=\"127.0.0.0/8\"\n");
  Do(cmd::ReloadSettings{});
  EXPECT_TRUE(Diagnosed("applied AllowNetworks/DenyNetworks"));
  EXPECT_TRUE(Diagnosed("access lists: 1 network allowed, 1 denied"));
  ExpectAnswered("127.0.0.2", false);
  ExpectAnswered("127.0.0.5", true);

  // An unchanged list is not applied again.
  diagnostics_.clear();
  Do(cmd::ReloadSettings{});
  EXPECT_TRUE(Diagnosed("no service or synchronisation value changed"));
  EXPECT_FALSE(Diagnosed("access lists"));

  SetRegistryValue("");
  Do(cmd::ReloadSettings{});
  EXPECT_TRUE(Diagnosed("access lists: none in force; every client is allowed"));
  ExpectAnswered("127.0.0.2", true);
}

}  // namespace
}  // namespace mdl::testing
