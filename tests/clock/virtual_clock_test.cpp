// VirtualClock: frozen and running modes, offsets, ticks, zone override.
#include "common/clock/virtual_clock.h"

#include <gtest/gtest.h>

#include "common/clock/system_clock.h"
#include "common/clock/zone_facts.h"
#include "tests/clock/tz_guard.h"
#include "tests/time/utc_at.h"

namespace mdl {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using testing::TzGuard;
using testing::UtcAt;

TEST(VirtualClockTest, FrozenClockMovesOnlyWhenAdvancedOrSet) {
  const UtcTime start = UtcAt(2026, 12, 7, 14, 3, 9, 500000000);
  VirtualClock clock = VirtualClock::Frozen(start);
  EXPECT_TRUE(clock.frozen());
  EXPECT_EQ(clock.now(), start);
  EXPECT_EQ(clock.now(), start) << "frozen clock must not run";
  EXPECT_EQ(clock.tick_ms(), 0);

  clock.advance(milliseconds(1500));
  EXPECT_EQ(clock.now(), start + milliseconds(1500));
  EXPECT_EQ(clock.tick_ms(), 1500);
  EXPECT_EQ(clock.offset(), Nanoseconds(0)) << "advancing is not an offset";

  const UtcTime target = UtcAt(2000, 1, 1);
  EXPECT_FALSE(clock.set(target));
  EXPECT_EQ(clock.now(), target);
  EXPECT_EQ(clock.offset(), target - (start + milliseconds(1500)));
  EXPECT_EQ(clock.tick_ms(), 1500) << "setting the clock must not move the tick";
  EXPECT_EQ(clock.set_count(), 1);

  clock.advance(seconds(2));
  EXPECT_EQ(clock.now(), target + seconds(2)) << "time passes on from the set instant";
  EXPECT_EQ(clock.tick_ms(), 3500);
}

TEST(VirtualClockTest, FrozenTickNeverRunsBackwards) {
  VirtualClock clock(UtcAt(2026, 1, 1));
  clock.advance(seconds(10));
  clock.advance(-seconds(4));
  EXPECT_EQ(clock.now(), UtcAt(2026, 1, 1, 0, 0, 6)) << "negative advance is a clock jump";
  EXPECT_EQ(clock.tick_ms(), 10000) << "tick_ms must stay monotonic";
}

TEST(VirtualClockTest, RunningClockFollowsSystemClockPlusOffset) {
  VirtualClock clock;
  EXPECT_FALSE(clock.frozen());
  const UtcTime before = SystemNow();
  const UtcTime target = UtcAt(2001, 9, 9, 1, 46, 40);
  EXPECT_FALSE(clock.set(target));
  EXPECT_FALSE(clock.set(target));
  EXPECT_EQ(clock.set_count(), 2);
  const UtcTime got = clock.now();
  EXPECT_GE(got, target);
  EXPECT_LT(got, target + seconds(5)) << "virtual time should run on from the set instant";
  EXPECT_GE(SystemNow(), before) << "the machine clock must not be set";
  EXPECT_GT(SystemNow(), UtcAt(2020, 1, 1));

  const Nanoseconds offset = clock.offset();
  clock.advance(seconds(3));
  EXPECT_EQ(clock.offset(), offset + seconds(3));

  const int64_t t1 = clock.tick_ms();
  const int64_t t2 = clock.tick_ms();
  EXPECT_LE(t1, t2);
}

TEST(VirtualClockTest, ZoneOverrideAndFallback) {
  TzGuard tz("Europe/Berlin");
  VirtualClock clock(UtcAt(2026, 7, 4, 10));
  EXPECT_EQ(clock.zone(), ZoneFactsAt(clock.now())) << "without override: the system zone";
  EXPECT_TRUE(clock.zone().daylight);
  ZoneFacts mountain;
  mountain.bias_minutes = 420;
  mountain.standard_name = "MST";
  clock.set_zone(mountain);
  EXPECT_EQ(clock.zone(), mountain);
  clock.clear_zone();
  EXPECT_EQ(clock.zone().bias_minutes, -60);
}

TEST(VirtualClockTest, WorksThroughTheClockInterface) {
  VirtualClock virtual_clock(UtcAt(2026, 1, 1));
  Clock& clock = virtual_clock;
  EXPECT_FALSE(clock.set(UtcAt(2027, 1, 1)));
  EXPECT_EQ(clock.now(), UtcAt(2027, 1, 1));
  EXPECT_EQ(virtual_clock.set_count(), 1);
}

TEST(VirtualClockTest, KernelStampsMapOntoTheVirtualTimeLine) {
  VirtualClock running;
  UtcTime stamp = SystemNow();
  running.set(running.now() + std::chrono::hours(1));
  // A kernel time stamp carries the same offset as every other reading.
  EXPECT_EQ(running.from_system(stamp) - stamp, running.offset());
  EXPECT_NEAR(static_cast<double>((running.offset() - std::chrono::hours(1)).count()), 0.0, 5e7);
  SystemClock system;
  EXPECT_EQ(system.from_system(stamp), stamp);
  // A frozen clock has no relation to the system's: its own now().
  VirtualClock frozen = VirtualClock::Frozen(UtcFromNs(123456789));
  EXPECT_EQ(frozen.from_system(stamp), frozen.now());
}

}  // namespace
}  // namespace mdl
