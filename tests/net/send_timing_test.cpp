// The batched-send timing model: where a stamped datagram of a call is put.
#include "common/net/send_timing.h"

#include <gtest/gtest.h>

namespace mdl::net {
namespace {

TEST(SendTiming, OffsetGrowsWithPlaceAndStampingWork) {
  SendTiming t;
  EXPECT_EQ(SendOffsetNs(t, 64, 63), 0) << "nothing learnt: the time read before the call";
  ObservePrep(t, 4, 400);  // 100 ns per stamped datagram
  ObserveSend(t, 0, 2000, 9, 2000 + 9 * 1500);
  EXPECT_EQ(t.prep_ns, 100);
  EXPECT_EQ(t.lead_ns, 2000);
  EXPECT_EQ(t.step_ns, 1500);
  EXPECT_EQ(SendOffsetNs(t, 1, 0), 100 + 2000);
  EXPECT_EQ(SendOffsetNs(t, 64, 0), 6400 + 2000);
  EXPECT_EQ(SendOffsetNs(t, 64, 63), 6400 + 2000 + 63 * 1500);
  // Unstamped datagrams of the call take their place but no stamping work.
  EXPECT_LT(SendOffsetNs(t, 2, 10), SendOffsetNs(t, 11, 10));
}

TEST(SendTiming, AveragesAndSkipsImplausibleSamples) {
  SendTiming t;
  ObserveSend(t, 0, 1000, 1, 3000);
  EXPECT_EQ(t.lead_ns, 1000);
  EXPECT_EQ(t.step_ns, 2000);
  // Later samples move the estimates by an eighth of their difference.
  ObserveSend(t, 0, 1800, 1, 1800 + 2800);
  EXPECT_EQ(t.lead_ns, 1100);
  EXPECT_EQ(t.step_ns, 2100);
  const SendTiming kept = t;
  // A preempted call, a stamp before the call, a last before the first: none taken.
  ObserveSend(t, 0, kMaxSendSampleNs + 1, 5, kMaxSendSampleNs + 2);
  ObserveSend(t, 0, -5, 3, 100);
  ObserveSend(t, 0, 5000, 3, 4000);
  ObservePrep(t, 8, -1);
  ObservePrep(t, 0, 100);
  EXPECT_EQ(t.lead_ns, kept.lead_ns + (5000 - kept.lead_ns) / 8) << "the valid first stamp still counts";
  EXPECT_EQ(t.step_ns, kept.step_ns);
  EXPECT_EQ(t.prep_ns, kept.prep_ns);
  EXPECT_EQ(t.step_samples, 2u);
}

TEST(SendTiming, OnlyTheFirstDatagramTeachesTheLead) {
  SendTiming t;
  // Datagrams 3 and 7 of a call: a step sample, but the first one carries
  // three steps, so it says nothing about the lead.
  ObserveSend(t, 3, 9000, 7, 13000);
  EXPECT_EQ(t.lead_samples, 0u);
  EXPECT_EQ(t.step_ns, 1000);
  // One datagram alone: the lead, no step.
  ObserveSend(t, 0, 2500, 0, 2500);
  EXPECT_EQ(t.lead_ns, 2500);
  EXPECT_EQ(t.step_samples, 1u);
}

}  // namespace
}  // namespace mdl::net
