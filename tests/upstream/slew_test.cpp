// Slew planning: the rate stays within the bound with the frequency
// correction under it, the duration makes up the offset, and what is left
// at a time is what the rate has not yet made up.
#include "server/upstream/slew.h"

#include <gtest/gtest.h>

#include <cmath>

namespace mdl {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

double Made(const SlewPlan& p) { return p.ppm * 1e-6 * static_cast<double>(p.duration.count()); }

TEST(SlewPlanTest, RateLeavesRoomForTheFrequencyCorrection) {
  struct Case {
    Nanoseconds offset;
    double base;
    double ppm;  // the extra rate
  };
  const Case cases[] = {
      {milliseconds(1), 0, 500},      {milliseconds(-1), 0, -500},   {milliseconds(10), 100, 400},
      {milliseconds(-10), 100, -600}, {milliseconds(10), -100, 600}, {milliseconds(-10), -100, -400},
      {milliseconds(10), 499.5, 0.5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.offset.count()) + " ns on " + std::to_string(c.base) + " ppm");
    const SlewPlan p = PlanSlew(c.offset, c.base);
    EXPECT_NEAR(p.ppm, c.ppm, 1e-6);
    EXPECT_LE(std::fabs(c.base + p.ppm), kSlewMaxPpm + 1e-9);
    EXPECT_NEAR(Made(p), static_cast<double>(c.offset.count()), 1.0) << "the plan makes up the offset";
  }
  // 1 ms at 500 ppm: 2 s; 128 ms: 256 s.
  EXPECT_EQ(PlanSlew(milliseconds(1), 0).duration, seconds(2));
  EXPECT_EQ(PlanSlew(milliseconds(-128), 0).duration, seconds(256));
  // A tighter bound is kept to; a looser one is not the kernel's.
  EXPECT_NEAR(PlanSlew(milliseconds(1), 0, 100).ppm, 100, 1e-6);
  EXPECT_NEAR(PlanSlew(milliseconds(1), 0, 1000).ppm, 500, 1e-6);
}

TEST(SlewPlanTest, NothingToMakeUpOrNoRoomIsNoPlan) {
  EXPECT_EQ(PlanSlew(Nanoseconds(0), 0).duration, Nanoseconds(0));
  EXPECT_EQ(PlanSlew(milliseconds(5), 500).duration, Nanoseconds(0)) << "already at the bound";
  EXPECT_EQ(PlanSlew(milliseconds(-5), -600).duration, Nanoseconds(0));
  EXPECT_EQ(PlanSlew(milliseconds(5), std::nan("")).duration, Nanoseconds(0));
  EXPECT_GT(PlanSlew(milliseconds(-5), 500).duration, Nanoseconds(0)) << "the other way has room";
  // One nanosecond: the shortest duration, the rate below the bound.
  const SlewPlan one = PlanSlew(Nanoseconds(1), 0);
  EXPECT_EQ(one.duration, Nanoseconds(2000));
  EXPECT_LE(one.ppm, kSlewMaxPpm);
}

TEST(SlewPlanTest, DoneAndRemainingFollowTheRateUntilTheEnd) {
  const Nanoseconds start = seconds(1000);
  const Slew s = StartSlew(milliseconds(-40), -20, start);
  EXPECT_NEAR(static_cast<double>(s.plan.duration.count()), 40e-3 / 480e-6 * 1e9, 1.0) << "at 500 - 20 ppm";
  EXPECT_EQ(s.end(), start + s.plan.duration);
  EXPECT_EQ(s.Done(start - seconds(1)), Nanoseconds(0));
  EXPECT_EQ(s.Remaining(start), milliseconds(-40));
  EXPECT_NEAR(static_cast<double>(s.Remaining(start + s.plan.duration / 4).count()), -30e6, 1.0);
  EXPECT_TRUE(s.Running(s.end() - Nanoseconds(1)));
  EXPECT_FALSE(s.Running(s.end()));
  EXPECT_EQ(s.Done(s.end()), milliseconds(-40));
  EXPECT_EQ(s.Remaining(s.end() + seconds(100)), Nanoseconds(0));
}

}  // namespace
}  // namespace mdl
