// The fallback clock: the machine's clock until a set() is refused and the
// time is held, the held time moving on with the machine's, given up when a
// set() works again.
#include "common/clock/fallback_clock.h"

#include <gtest/gtest.h>

#include <chrono>

#include "tests/support/refusing_clock.h"

namespace mdl {
namespace {

using namespace std::chrono_literals;
using testing::RefusingClock;

const UtcTime kStart = UtcTime(std::chrono::sys_days(std::chrono::year(2026) / 12 / 10));

TEST(FallbackClock, HoldsARefusedTimeFollowsTheMachineAndLetsGoWhenASetWorks) {
  VirtualClock base(kStart);
  RefusingClock machine(base);
  FallbackClock clock(machine);
  EXPECT_FALSE(clock.held());
  EXPECT_EQ(clock.now(), kStart);

  const UtcTime upstream = kStart + 1000s;
  EXPECT_EQ(clock.set(upstream), std::errc::operation_not_permitted);
  EXPECT_FALSE(clock.held()) << "a refused set holds nothing by itself";
  ASSERT_TRUE(clock.hold(upstream));
  EXPECT_TRUE(clock.held());
  EXPECT_EQ(clock.now(), upstream);
  EXPECT_EQ(base.now(), kStart) << "the machine's clock was moved";
  // Moves on with the machine; kernel stamps read on the held scale.
  base.advance(5s);
  EXPECT_EQ(clock.now(), upstream + 5s);
  EXPECT_EQ(clock.from_system(kStart + 2s) - base.from_system(kStart + 2s), upstream - kStart);
  EXPECT_EQ(clock.monotonic(), base.monotonic());
  // A second refusal keeps the hold; a new hold moves it.
  EXPECT_TRUE(clock.set(upstream).value() != 0);
  EXPECT_TRUE(clock.held());
  ASSERT_TRUE(clock.hold(upstream + 10s));
  EXPECT_EQ(clock.now(), upstream + 10s);

  machine.allowed = true;
  EXPECT_FALSE(clock.set(clock.now()));
  EXPECT_FALSE(clock.held());
  EXPECT_EQ(base.now(), upstream + 10s) << "the machine's clock took the held time";
  EXPECT_EQ(clock.now(), base.now());
  EXPECT_EQ(clock.from_system(base.now()), base.now());
  EXPECT_EQ(machine.attempts, 3);
}

TEST(FallbackClock, PermissionErrorsAreTheOnesThatHold) {
  EXPECT_TRUE(IsClockRightError(std::make_error_code(std::errc::operation_not_permitted)));
  EXPECT_TRUE(IsClockRightError(std::make_error_code(std::errc::permission_denied)));
  EXPECT_FALSE(IsClockRightError(std::make_error_code(std::errc::invalid_argument)));
  EXPECT_FALSE(IsClockRightError(std::error_code{}));
}

}  // namespace
}  // namespace mdl
