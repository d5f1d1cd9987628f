// VirtualClock: frozen and running modes, offsets, ticks, zone override.
#include "common/clock/virtual_clock.h"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <vector>

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

TEST(VirtualClockTest, RateOfItsOwnAddsUpAcrossChangesAndSurvivesSet) {
  const UtcTime start = UtcFromNs(1'700'000'000'000'000'000);
  VirtualClock c(start);
  c.set_oscillator_error(50);  // the base runs 50 ppm fast
  c.advance(std::chrono::seconds(100));
  EXPECT_EQ(c.now() - start, std::chrono::seconds(100) + std::chrono::milliseconds(5));
  // A correction that cancels the oscillator: no further drift, nothing lost.
  ASSERT_FALSE(c.set_frequency(-50));
  EXPECT_EQ(c.frequency(), -50);
  // Read back as the clock's correction, as the kernel's would be: the
  // oscillator's own error is not part of it.
  EXPECT_EQ(static_cast<const Clock&>(c).current_frequency(), std::optional<double>(-50));
  c.advance(std::chrono::seconds(100));
  EXPECT_EQ(c.now() - start, std::chrono::seconds(200) + std::chrono::milliseconds(5));
  // set() puts the time where asked; the rate goes on from there.
  c.set(start);
  ASSERT_FALSE(c.set_frequency(100));
  c.advance(std::chrono::seconds(10));
  EXPECT_EQ(c.now() - start, std::chrono::seconds(10) + std::chrono::microseconds(1500))
      << "oscillator and correction add up: 150 ppm";
  EXPECT_EQ(c.monotonic(), std::chrono::seconds(210)) << "the monotonic scale never runs at another rate";
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

// Manual timers of a frozen clock fire inside advance(), in due order, each
// with the clock at its due time; a timer started by a firing one fires in
// the same step when it falls due within it.
TEST(VirtualClockTimers, FrozenTimersFireInOrderAtTheirDueTime) {
  boost::asio::io_context io;
  VirtualClock clock(UtcFromNs(1'000'000'000'000));
  auto a = clock.MakeTimer(io);
  auto b = clock.MakeTimer(io);
  std::vector<std::pair<char, int64_t>> fired;
  a->Start(std::chrono::milliseconds(300), [&] { fired.emplace_back('a', clock.tick_ms()); });
  b->Start(std::chrono::milliseconds(100), [&] {
    fired.emplace_back('b', clock.tick_ms());
    b->Start(std::chrono::milliseconds(150), [&] { fired.emplace_back('c', clock.tick_ms()); });
  });
  EXPECT_EQ(clock.pending_timers(), 2u);
  clock.advance(std::chrono::milliseconds(99));
  EXPECT_TRUE(fired.empty());
  clock.advance(std::chrono::milliseconds(201));
  ASSERT_EQ(fired.size(), 3u);
  EXPECT_EQ(fired[0], std::make_pair('b', int64_t{100}));
  EXPECT_EQ(fired[1], std::make_pair('c', int64_t{250}));
  EXPECT_EQ(fired[2], std::make_pair('a', int64_t{300}));
  EXPECT_EQ(clock.tick_ms(), 300);
  EXPECT_EQ(clock.now(), UtcFromNs(1'000'300'000'000));
  EXPECT_EQ(io.poll(), 0u);  // nothing went through the io_context
}

TEST(VirtualClockTimers, CancelRestartAndDestroyLeaveNothingToFire) {
  boost::asio::io_context io;
  VirtualClock clock(UtcFromNs(0));
  int fired = 0;
  auto a = clock.MakeTimer(io);
  a->Start(std::chrono::seconds(1), [&] { fired += 1; });
  a->Cancel();
  EXPECT_FALSE(a->pending());
  a->Start(std::chrono::seconds(1), [&] { fired += 10; });
  a->Start(std::chrono::seconds(2), [&] { fired += 100; });  // replaces the first
  {
    auto gone = clock.MakeTimer(io);
    gone->Start(std::chrono::milliseconds(1), [&] { fired += 1000; });
  }
  clock.advance(std::chrono::seconds(1));
  EXPECT_EQ(fired, 0);
  clock.advance(std::chrono::seconds(1));
  EXPECT_EQ(fired, 100);
  // A backward step moves now() only; timers keep their monotonic due time.
  a->Start(std::chrono::seconds(1), [&] { fired += 1; });
  clock.advance(-std::chrono::seconds(5));
  EXPECT_EQ(fired, 100);
  clock.advance(std::chrono::seconds(1));
  EXPECT_EQ(fired, 101);
}

TEST(VirtualClockTimers, RunningClockTimersRunOnTheIoContext) {
  boost::asio::io_context io;
  VirtualClock clock;
  auto a = clock.MakeTimer(io);
  auto b = clock.MakeTimer(io);
  int fired = 0;
  a->Start(std::chrono::milliseconds(1), [&] { ++fired; });
  b->Start(std::chrono::milliseconds(1), [&] { fired += 10; });
  b->Start(std::chrono::milliseconds(2), [&] { fired += 100; });
  io.run_for(std::chrono::seconds(2));
  EXPECT_EQ(fired, 101);
  EXPECT_FALSE(a->pending());
}

}  // namespace
}  // namespace mdl
