// The tests' network on the manual clock: what engine tests rely on when
// they compare times for equality.
#include "tests/support/fake_network.h"

#include <gtest/gtest.h>

#include "common/clock/virtual_clock.h"

namespace mdl::testing {
namespace {

using boost::asio::ip::make_address;
using std::chrono::milliseconds;

class FakeNetworkTest : public ::testing::Test {
 protected:
  std::unique_ptr<net::DatagramPort> Open(const char* address, uint16_t port, Inbox* inbox) {
    auto p = network_.MakePort();
    EXPECT_FALSE(p->Bind(make_address(address), port));
    if (inbox) p->Start(inbox);
    return p;
  }
  static std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> b) { return b; }

  boost::asio::io_context io_;
  VirtualClock clock_{UtcFromNs(1'796'634'000'000'000'000)};
  FakeNetwork network_{clock_, io_};
};

TEST_F(FakeNetworkTest, DatagramsArriveAfterTheDelayStampedOnTheClockInSendOrder) {
  Inbox a_in, b_in;
  auto a = Open("127.0.0.1", 123, &a_in);
  auto b = Open("0.0.0.0", 0, &b_in);
  network_.set_delay(milliseconds(7));
  const UtcTime sent_at = clock_.now();
  ASSERT_TRUE(b->SendNowStamped(Bytes({1}), {make_address("127.0.0.1"), 123}));
  EXPECT_EQ(b->TakeSendStamp(), sent_at);
  ASSERT_TRUE(b->SendTo(Bytes({2}), {make_address("127.0.0.1"), 123}));
  clock_.advance(milliseconds(6));
  EXPECT_TRUE(a_in.got.empty()) << "arrived before the delay";
  clock_.advance(milliseconds(1));
  ASSERT_EQ(a_in.got.size(), 2u);
  EXPECT_EQ(a_in.got[0].data, Bytes({1}));
  EXPECT_EQ(a_in.got[1].data, Bytes({2}));
  EXPECT_EQ(a_in.got[0].arrival, sent_at + milliseconds(7));
  EXPECT_EQ(a_in.got[0].from, net::Udp::endpoint(make_address("127.0.0.1"), b->local_port()));
  // The answer goes back to the sender's port.
  ASSERT_TRUE(a->SendTo(Bytes({3}), a_in.got[0].from));
  clock_.advance(milliseconds(7));
  ASSERT_EQ(b_in.got.size(), 1u);
  EXPECT_EQ(b_in.got[0].arrival, sent_at + milliseconds(14));
  // Nobody at the address: lost.
  ASSERT_TRUE(a->SendTo(Bytes({4}), {make_address("127.0.0.1"), 9}));
  clock_.advance(milliseconds(7));
  EXPECT_EQ(network_.lost(), 1u);
  EXPECT_EQ(network_.in_flight(), 0u);
}

// Held or paused, a datagram waits and is read later with its arrival time
// and its age, as from a kernel queue; a stamped send gets the time it leaves.
class Recorder : public net::UdpReceiver {
 public:
  void OnDatagram(const net::Datagram& d) override {
    arrival = d.arrival;
    age = d.age;
    ++seen;
  }
  std::optional<UtcTime> arrival;
  Nanoseconds age{0};
  int seen = 0;
};

TEST_F(FakeNetworkTest, HeldDatagramsKeepTheirArrivalAndStampsTakeTheClocksTime) {
  Recorder r;
  auto a = network_.MakePort();
  ASSERT_FALSE(a->Bind(make_address("127.0.0.1"), 37));
  a->Start(&r);
  auto b = Open("127.0.0.1", 0, nullptr);
  network_.Hold();
  ASSERT_TRUE(b->SendTo(Bytes({1}), {make_address("127.0.0.1"), 37}));
  clock_.advance(milliseconds(1));
  const UtcTime arrived = clock_.now();
  clock_.advance(milliseconds(30));
  EXPECT_EQ(r.seen, 0);
  network_.Release();
  ASSERT_EQ(r.seen, 1);
  EXPECT_EQ(r.arrival, arrived);
  EXPECT_EQ(r.age, milliseconds(30));

  a->SetPaused(true);
  ASSERT_TRUE(b->SendTo(Bytes({2}), {make_address("127.0.0.1"), 37}));
  clock_.advance(milliseconds(5));
  EXPECT_EQ(r.seen, 1) << "read while paused";
  a->SetPaused(false);
  EXPECT_EQ(r.seen, 2);
  EXPECT_EQ(r.age, milliseconds(4));

  Inbox in;
  a->Start(&in);
  std::optional<UtcTime> stamped;
  b->SetStamper([&](std::span<uint8_t> d, UtcTime leaves) {
    stamped = leaves;
    d[0] = 9;
  });
  ASSERT_TRUE(b->SendTo(Bytes({0}), {make_address("127.0.0.1"), 37}, /*stamp=*/true));
  EXPECT_EQ(stamped, clock_.now());
  clock_.advance(milliseconds(1));
  ASSERT_EQ(in.got.size(), 1u);
  EXPECT_EQ(in.got[0].data, Bytes({9})) << "the stamper writes into the datagram that leaves";

  auto c = network_.MakePort();
  EXPECT_EQ(c->Bind(make_address("0.0.0.0"), 37), std::make_error_code(std::errc::address_in_use));
  EXPECT_FALSE(c->IsOpen());
}

}  // namespace
}  // namespace mdl::testing
