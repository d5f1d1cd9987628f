// Snapshot fields that only a window shows: the requester's time and the
// millisecond of the latest NTP reply.
#include <gtest/gtest.h>

#include "common/time/calendar.h"
#include "engine_fixture.h"

namespace mdl::testing {
namespace {

using WindowFieldsTest = EngineFixture;

std::vector<uint8_t> NtpRequestStampedOne() {
  std::vector<uint8_t> r(48, 0);
  r[0] = 0x23;  // version 4, mode 3
  r[40] = 0x01;
  return r;
}

TEST_F(WindowFieldsTest, RequesterTooltipAndNtpMillisFollowTheRequests) {
  WriteSettings();
  StartEngine();
  MarkSynced();
  SnapshotPtr before = Snap();
  EXPECT_EQ(before->last_ntp_millis, -1);
  EXPECT_TRUE(before->services[Index(Service::kNtp)].last_requester_tooltip.empty());

  clock_.advance(std::chrono::milliseconds(437));
  auto reply = WithLoop([&] { return UdpAsk(port(Service::kNtp), NtpRequestStampedOne()); });
  ASSERT_TRUE(reply.has_value());
  SnapshotPtr s = Snap();
  // The stamp was taken at 09:00:00.537 (100 ms of Snap() plus 437 ms).
  EXPECT_EQ(s->last_ntp_millis, 537);
  const ServiceView& ntp = s->services[Index(Service::kNtp)];
  EXPECT_EQ(ntp.last_requester, "127.0.0.1");
  const std::string first = ntp.last_requester_tooltip;
  EXPECT_EQ(first, " " + DefaultDateTimeText(clock_.now(), clock_.zone()) + " ");

  // Nothing new: the tooltip keeps its time; a new request renews it.
  clock_.advance(std::chrono::seconds(5));
  EXPECT_EQ(Snap()->services[Index(Service::kNtp)].last_requester_tooltip, first);
  ASSERT_TRUE(WithLoop([&] { return UdpAsk(port(Service::kNtp), NtpRequestStampedOne()); }).has_value());
  const std::string renewed = Snap()->services[Index(Service::kNtp)].last_requester_tooltip;
  EXPECT_NE(renewed, first);
  EXPECT_EQ(renewed, " " + DefaultDateTimeText(clock_.now(), clock_.zone()) + " ");
  EXPECT_TRUE(Snap()->services[Index(Service::kTime)].last_requester_tooltip.empty());

  // The caption's millisecond follows NTP replies over TCP too.
  const int64_t ms = MillisOfSecond(clock_.now());
  auto tcp = WithLoop([&] {
    return TcpAsk(port(Service::kNtp), NtpRequestStampedOne(), std::chrono::milliseconds(1000), 48);
  });
  ASSERT_TRUE(tcp && tcp->data.size() == 48);
  EXPECT_EQ(Snap()->last_ntp_millis, ms) << "the TCP reply's transmit millisecond";
}

}  // namespace
}  // namespace mdl::testing
