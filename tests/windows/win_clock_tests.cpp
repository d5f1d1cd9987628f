// The Windows clock side: system time and monotonic scale, zone facts from
// GetTimeZoneInformation, the random source. The clock is never set here.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>

#include "common/clock/secure_random.h"
#include "common/clock/system_clock.h"
#include "common/clock/zone_facts.h"

namespace mdl {
namespace {

UtcTime At(int y, unsigned m, unsigned d) {
  return std::chrono::sys_days(std::chrono::year(y) / m / d) + std::chrono::hours(12);
}

TEST(WinSystemClock, AgreesWithTheRuntimeAndMonotonicNeverGoesBack) {
  const auto runtime = std::chrono::time_point_cast<Nanoseconds>(std::chrono::system_clock::now());
  const UtcTime ours = SystemNow();
  EXPECT_LT(std::chrono::abs(ours - UtcTime(runtime.time_since_epoch())), std::chrono::seconds(1));
  EXPECT_GT(FloorUnixSeconds(ours), 1700000000);  // after 2023: the 1601 epoch was taken off
  Nanoseconds last = MonotonicNow();
  for (int i = 0; i < 1000; ++i) {
    const Nanoseconds next = MonotonicNow();
    ASSERT_GE(next, last);
    last = next;
  }
  const int64_t ms = MonotonicMs();
  EXPECT_NEAR(static_cast<double>(ms), static_cast<double>(MonotonicNow().count() / 1000000), 50.0);
}

// The test runs with TZ=Europe/Berlin (set by CMake), which Wine maps to the
// Windows zone: UTC+1, daylight UTC+2 from the last Sunday of March.
TEST(WinZoneFacts, StandardAndDaylightOfTheHostZone) {
  const char* tz = std::getenv("TZ");
  if (!tz || std::string(tz) != "Europe/Berlin") GTEST_SKIP() << "needs TZ=Europe/Berlin";
  const ZoneFacts winter = ZoneFactsAt(At(2026, 1, 15));
  EXPECT_EQ(winter.bias_minutes, -60);
  EXPECT_EQ(winter.daylight_bias_minutes, -60);
  EXPECT_FALSE(winter.daylight);
  EXPECT_FALSE(winter.standard_name.empty());
  const ZoneFacts summer = ZoneFactsAt(At(2026, 7, 15));
  EXPECT_EQ(summer.bias_minutes, -60);
  EXPECT_TRUE(summer.daylight);
  EXPECT_NE(summer.daylight_name, "");
  // SystemClock::zone() is the same reading at its own now().
  EXPECT_EQ(SystemClock().zone().bias_minutes, -60);
}

TEST(WinSecureRandom, FillsEveryByteAndDiffersBetweenCalls) {
  std::array<uint8_t, 37> a{};  // not a multiple of the word size
  std::array<uint8_t, 37> b{};
  ASSERT_TRUE(FillSecureRandom(a));
  ASSERT_TRUE(FillSecureRandom(b));
  EXPECT_NE(a, b);
  // 37 zero bytes at the end would mean the tail was never written.
  EXPECT_FALSE(std::all_of(a.end() - 8, a.end(), [](uint8_t v) { return v == 0; }));
}

}  // namespace
}  // namespace mdl
