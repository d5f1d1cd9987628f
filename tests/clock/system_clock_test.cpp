// SystemClock reads (it is never set in tests).
#include "common/clock/system_clock.h"

#include <gtest/gtest.h>

#include <cmath>

#include "common/clock/zone_facts.h"
#include "tests/clock/tz_guard.h"

namespace mdl {
namespace {

using std::chrono::seconds;
using testing::TzGuard;

TEST(SystemClockTest, ReadsRealtimeMonotonicAndZone) {
  TzGuard tz("UTC");
  SystemClock clock;
  const auto reference = std::chrono::time_point_cast<Nanoseconds>(std::chrono::system_clock::now());
  const UtcTime now = clock.now();
  EXPECT_LT(std::chrono::abs(now - reference), seconds(1));
  const int64_t t1 = clock.tick_ms();
  const int64_t t2 = clock.tick_ms();
  EXPECT_LE(t1, t2) << "monotonic tick went backwards";
  EXPECT_EQ(clock.zone(), ZoneFactsAt(now));
}

// adjtimex with no mode bits only reads, so no privilege is needed; the
// kernel never holds more than 500 ppm either way.
TEST(SystemClockTest, ReadsTheFrequencyInForceWithoutThePrivilege) {
  SystemClock clock;
  const std::optional<double> ppm = clock.current_frequency();
  ASSERT_TRUE(ppm.has_value()) << "adjtimex(modes 0) failed";
  EXPECT_LE(std::fabs(*ppm), 500.0);
}

}  // namespace
}  // namespace mdl
