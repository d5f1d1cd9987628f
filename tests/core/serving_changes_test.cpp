// The serving path reports a batch's change once its replies are out, and a
// TCP event at once.
#include "server/serving/serving.h"

#include <gtest/gtest.h>

#include "common/clock/virtual_clock.h"

namespace mdl {
namespace {

TEST(ServingChanges, UdpBatchReportsAtItsEndTcpAtOnce) {
  VirtualClock clock(UtcTime(std::chrono::seconds(1'800'000'000)));
  ServingContext ctx(clock, nullptr);
  int reported = 0;
  ctx.set_on_change([&] { ++reported; });
  const auto from = boost::asio::ip::make_address("192.0.2.7");

  ctx.Received(Service::kNtp, Transport::kUdp);
  ctx.Accepted(Service::kNtp, from);
  ctx.Received(Service::kNtp, Transport::kUdp);
  EXPECT_EQ(reported, 0) << "no scheduling between a request and its reply";
  ctx.EndUdpBatch();
  EXPECT_EQ(reported, 1);
  EXPECT_EQ(ctx.TakeChanges(), Bit(Indicator::kUdpIn) | Bit(Indicator::kDataIn));
  ctx.EndUdpBatch();
  EXPECT_EQ(reported, 1) << "a batch without a change reports nothing";

  ctx.Received(Service::kTime, Transport::kTcp);
  EXPECT_EQ(reported, 2);
  ctx.TakeChanges();
  // A batch that ended early (its socket closed by a handler) leaves no
  // deferral behind that would hold a TCP event's report back.
  ctx.Received(Service::kNtp, Transport::kUdp);
  EXPECT_EQ(reported, 2);
  ctx.Connected(Service::kTime, from);
  EXPECT_EQ(reported, 3);
  EXPECT_EQ(ctx.TakeChanges(), Bit(Indicator::kUdpIn) | Bit(Indicator::kTcpIn) | Bit(Indicator::kDataIn));
}

}  // namespace
}  // namespace mdl
