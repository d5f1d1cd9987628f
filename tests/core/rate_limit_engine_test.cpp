// The NTP rate limit in the engine, on the manual clock and the test's
// network: a flood from one source gets its burst and KoDs RATE only, while
// another source is answered in full; time refills; reload turns it off.
#include <gtest/gtest.h>

#include <set>

#include "common/time/ntp_timestamp.h"
#include "engine_fixture.h"
#include "server/core/engine_commands.h"
#include "tests/support/fake_network.h"

namespace mdl::testing {
namespace {

// A client of the test's network at its own address.
struct Client {
  Client(FakeNetwork& network, const char* address) : port(network.MakePort()) {
    port->Bind(boost::asio::ip::make_address(address), 0);
    port->Start(&inbox);
  }
  std::unique_ptr<net::DatagramPort> port;
  Inbox inbox;
};

// A client request, version 4, poll -2, its transmit stamp `stamp` (0: none).
std::vector<uint8_t> Request(uint64_t stamp) {
  std::vector<uint8_t> r(48, 0);
  r[0] = 0x23;
  r[2] = 0xFE;
  for (size_t i = 0; i < 8; ++i) r[40 + i] = static_cast<uint8_t>(stamp >> (56 - 8 * i));
  return r;
}

uint64_t Stamp(const std::vector<uint8_t>& d, size_t at) {
  uint64_t v = 0;
  for (size_t i = 0; i < 8; ++i) v = v << 8 | d[at + i];
  return v;
}

bool IsKiss(const std::vector<uint8_t>& d) {
  return d.size() == 48 && d[1] == 0 && std::string(d.begin() + 12, d.begin() + 16) == "RATE";
}

class RateLimitEngineTest : public EngineFixture {
 protected:
  RateLimitEngineTest() { make_port_ = network_.Maker(); }

  void Start(const std::string& value) {
    WriteSettings("\"NtpRateLimit\"=\"" + value + "\"\n");
    StartEngine();
  }
  // Moves the clock on by the network's delay: what was just sent arrives.
  void Deliver() {
    clock_.advance(network_.delay());
    handle_->Poll();
  }
  // `count` requests from `c`, back to back, stamps from `first`; then their
  // replies arrive. Returns what came back.
  std::vector<std::vector<uint8_t>> Flood(Client& c, int count, uint64_t first) {
    const net::Udp::endpoint server{boost::asio::ip::address_v4::loopback(), port(Service::kNtp)};
    for (int i = 0; i < count; ++i) c.port->SendTo(Request(first + static_cast<uint64_t>(i)), server);
    Deliver();  // the requests arrive and are answered
    Deliver();  // the answers arrive
    std::vector<std::vector<uint8_t>> got;
    while (auto r = c.inbox.Take()) got.push_back(std::move(r->data));
    return got;
  }
  struct Tally {
    int replies = 0;
    int kisses = 0;
    int other = 0;
  };
  // Sorts what came back; every reply and kiss must carry the stamp of a request sent (from `first`,
  // `count`).
  Tally Sort(const std::vector<std::vector<uint8_t>>& got, uint64_t first, int count) {
    Tally t;
    std::set<uint64_t> origins;
    for (const auto& d : got) {
      const uint64_t origin = d.size() == 48 ? Stamp(d, 24) : 0;
      const bool ours = origin >= first && origin < first + static_cast<uint64_t>(count);
      EXPECT_TRUE(ours) << "a datagram that answers no request of the flood";
      EXPECT_TRUE(origins.insert(origin).second) << "two answers to one request";
      if (IsKiss(d)) {
        ++t.kisses;
        EXPECT_EQ(d[0], 0xE4) << "leap 3, version 4, mode 4";
        EXPECT_EQ(static_cast<int8_t>(d[2]), interval_) << "the kiss asks for the limit's interval";
        EXPECT_EQ(Stamp(d, 32), origin);
        EXPECT_EQ(Stamp(d, 40), origin);
      } else if (d.size() == 48 && d[1] != 0) {
        ++t.replies;
      } else {
        ++t.other;
      }
    }
    return t;
  }

  boost::asio::io_context network_io_;
  FakeNetwork network_{clock_, network_io_};
  int8_t interval_ = 3;  // of the limit in force
};

TEST_F(RateLimitEngineTest, AFloodGetsItsBurstAndKissesWhileAnotherSourceIsAnsweredInFull) {
  Start("3:8:1");
  EXPECT_TRUE(Diagnosed("NTP rate limit: interval 3 (8 s), burst 8, leak 1"));
  MarkSynced();
  Client flooder(network_, "127.0.0.2");
  Client other(network_, "127.0.0.3");
  const Tally flood = Sort(Flood(flooder, 40, 1000), 1000, 40);
  EXPECT_EQ(flood.replies, 8) << "the burst";
  EXPECT_GE(flood.kisses, 1) << "one in two over the limit gets a KoD: none of 32 is all but impossible";
  EXPECT_LE(flood.kisses, 32);
  EXPECT_EQ(flood.other, 0);
  const Tally fine = Sort(Flood(other, 8, 5000), 5000, 8);
  EXPECT_EQ(fine.replies, 8) << "a source within its burst is answered in full, flood or not";
  EXPECT_EQ(fine.kisses, 0);

  const SnapshotPtr s = Snap();
  EXPECT_EQ(s->stats.answered[Index(Service::kNtp)][Index(Transport::kUdp)], 16u);
  EXPECT_EQ(s->stats.kod_sent, static_cast<uint64_t>(flood.kisses)) << "KoDs are not counted as answered";
  EXPECT_EQ(s->stats.udp_dropped[Index(Service::kNtp)][Index(UdpDrop::kRateLimit)], 32u);
  EXPECT_EQ(s->counters.Get(Service::kNtp, Transport::kUdp), 48u);

  // 8 s later one more request of the flooder is answered; 64 s later a whole burst.
  Advance(std::chrono::seconds(8));
  EXPECT_EQ(Sort(Flood(flooder, 5, 2000), 2000, 5).replies, 1);
  Advance(std::chrono::seconds(64));
  EXPECT_EQ(Sort(Flood(flooder, 12, 3000), 3000, 12).replies, 8);
  // The drops are summed up in one line, not one per request.
  Advance(std::chrono::seconds(11));
  EXPECT_TRUE(Diagnosed("NTP rate limit: ")) << "no line sums up the limited requests";
  EXPECT_TRUE(Diagnosed("NTP requests over the rate limit not answered in full"));
  const uint64_t limited = Snap()->stats.udp_dropped[Index(Service::kNtp)][Index(UdpDrop::kRateLimit)];
  EXPECT_EQ(limited, 32u + 4u + 4u);
  handle_->Stop();
  // The request log has the 8 + 8 + 1 + 8 answered requests and nothing of the limited ones.
  std::string log;
  for (const auto& e : std::filesystem::directory_iterator(home_ / "Logs")) log += ReadFile(e.path());
  size_t logged = 0;
  for (size_t at = log.find(" NTPv4 UDP "); at != std::string::npos; at = log.find(" NTPv4 UDP ", at + 1))
    ++logged;
  EXPECT_EQ(logged, 25u) << log;
}

TEST_F(RateLimitEngineTest, NoKissBeforeTheFirstSynchronisationNorToAnUnstampedRequest) {
  Start("3:1:1");
  Client flooder(network_, "127.0.0.2");
  EXPECT_TRUE(Flood(flooder, 20, 100).empty()) << "nothing is served before the first synchronisation";
  MarkSynced();
  Advance(std::chrono::seconds(8));
  EXPECT_EQ(Sort(Flood(flooder, 1, 200), 200, 1).replies, 1);
  // Over the limit with a zero transmit stamp: no origin the client could check, so nothing.
  EXPECT_TRUE(Flood(flooder, 1, 0).empty());
  const net::Udp::endpoint server{boost::asio::ip::address_v4::loopback(), port(Service::kNtp)};
  for (int i = 0; i < 30; ++i) flooder.port->SendTo(Request(0), server);
  Deliver();
  Deliver();
  EXPECT_TRUE(flooder.inbox.got.empty()) << "a kiss went to a request without a transmit stamp";
  EXPECT_EQ(Snap()->stats.kod_sent, 0u);
}

TEST_F(RateLimitEngineTest, ReloadTurnsTheLimitOnAndOffAndKeepsBucketsOfTheSameLimit) {
  Start("NO");
  MarkSynced();
  EXPECT_FALSE(Diagnosed("NTP rate limit:"));
  Client c(network_, "127.0.0.2");
  EXPECT_EQ(Sort(Flood(c, 20, 100), 100, 20).replies, 20) << "off: every request is answered";
  auto reload_with = [&](const std::string& value) {
    std::string text = ReadFile(home_ / "registry.reg");
    const size_t at = text.find("\"NtpRateLimit\"=\"");
    text.replace(at, text.find('\n', at) - at, "\"NtpRateLimit\"=\"" + value + "\"");
    { std::ofstream(home_ / "registry.reg") << text; }
    diagnostics_.clear();
    Do(cmd::ReloadSettings{});
  };
  reload_with("2:4:1");
  interval_ = 2;
  EXPECT_TRUE(Diagnosed("NTP rate limit: interval 2 (4 s), burst 4, leak 1"));
  EXPECT_EQ(Sort(Flood(c, 20, 200), 200, 20).replies, 4);
  reload_with("2:4:1");
  EXPECT_EQ(Sort(Flood(c, 20, 300), 300, 20).replies, 0) << "a reload of the same limit refilled the bucket";
  reload_with("bad");
  EXPECT_TRUE(Diagnosed("NtpRateLimit \"bad\" is not YES, NO"));
  EXPECT_TRUE(Diagnosed("NTP rate limit: off"));
  EXPECT_EQ(Sort(Flood(c, 20, 400), 400, 20).replies, 20);
}

}  // namespace
}  // namespace mdl::testing
