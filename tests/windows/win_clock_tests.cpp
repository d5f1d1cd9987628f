// The Windows clock side: system time and monotonic scale, zone facts from
// GetTimeZoneInformation, the random source, the rate through a recording
// stand-in for the system's calls. The clock is never set here.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <limits>
#include <vector>

#include "common/clock/clock_rate_win.h"
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

// The system's side of the rate, recorded: what was set, with which call.
struct RecordedSet {
  bool precise = false;
  uint64_t adjustment = 0;
  bool disabled = false;
  bool operator==(const RecordedSet&) const = default;
};

class FakeRate {
 public:
  win_clock::RateReading in_force{156250, 156250, true};
  bool has_precise = true;
  bool time_service = false;
  std::error_code privilege;  // what enabling the right gives
  std::error_code set_fails;  // what a set call gives
  std::vector<RecordedSet> sets;
  int privilege_asked = 0;
  int reads = 0;

  win_clock::RateCalls Calls() {
    win_clock::RateCalls c;
    auto get = [this](win_clock::RateReading& r) {
      ++reads;
      r = in_force;
      return std::error_code{};
    };
    if (has_precise) {
      c.get_precise = get;
      c.set_precise = [this](uint64_t adjustment, bool disabled) {
        return Record(true, adjustment, disabled);
      };
    }
    c.get = get;
    c.set = [this](uint32_t adjustment, bool disabled) { return Record(false, adjustment, disabled); };
    c.time_service_runs = [this] { return time_service; };
    c.enable_privilege = [this] {
      ++privilege_asked;
      return privilege;
    };
    return c;
  }

 private:
  std::error_code Record(bool precise, uint64_t adjustment, bool disabled) {
    if (set_fails) return set_fails;
    sets.push_back({precise, adjustment, disabled});
    in_force = {adjustment, in_force.increment, disabled};
    return {};
  }
};

TEST(WinClockRate, FigureIsTheIncrementScaledByTheRateRounded) {
  // 156250 * 12.5e-6 = 1.953125: faster by two units per interrupt.
  EXPECT_EQ(win_clock::AdjustmentFor(156250, 12.5), 156252u);
  EXPECT_EQ(win_clock::AdjustmentFor(156250, -12.5), 156248u);
  EXPECT_EQ(win_clock::AdjustmentFor(156250, 0), 156250u);
  // 1e9 units per interrupt: 0.5 ppm is 500 units, rounded half away from zero.
  EXPECT_EQ(win_clock::AdjustmentFor(1000000000, 0.5), 1000000500u);
  EXPECT_EQ(win_clock::AdjustmentFor(1000000000, -0.0000005), 1000000000u);
  EXPECT_EQ(win_clock::AdjustmentFor(156250, 500), 156328u);   // 156328.125
  EXPECT_EQ(win_clock::AdjustmentFor(156250, -500), 156172u);  // 156171.875
  EXPECT_EQ(win_clock::AdjustmentFor(156250, 500.001), std::nullopt);
  EXPECT_EQ(win_clock::AdjustmentFor(156250, -600), std::nullopt);
  EXPECT_EQ(win_clock::AdjustmentFor(156250, std::numeric_limits<double>::quiet_NaN()), std::nullopt);
  EXPECT_EQ(win_clock::AdjustmentFor(156250, std::numeric_limits<double>::infinity()), std::nullopt);
  EXPECT_EQ(win_clock::AdjustmentFor(0, 10), std::nullopt);

  // Read back: the figure's own rate; nothing while disabled or unknown.
  EXPECT_NEAR(*win_clock::PpmOf({156252, 156250, false}), 12.8, 1e-9);
  EXPECT_NEAR(*win_clock::PpmOf({999999000, 1000000000, false}), -1.0, 1e-9);
  EXPECT_EQ(win_clock::PpmOf({156252, 156250, true}), std::nullopt);
  EXPECT_EQ(win_clock::PpmOf({156252, 0, false}), std::nullopt);
}

TEST(WinClockRate, SetsThroughThePreciseCallsAndDisablesForZero) {
  FakeRate fake;
  const win_clock::RateCalls calls = fake.Calls();
  ASSERT_FALSE(win_clock::SetRate(calls, 12.5));
  ASSERT_FALSE(win_clock::SetRate(calls, -12.5));
  ASSERT_FALSE(win_clock::SetRate(calls, 0));
  const std::vector<RecordedSet> expected{{true, 156252, false}, {true, 156248, false}, {true, 0, true}};
  EXPECT_EQ(fake.sets, expected);
  EXPECT_GE(fake.privilege_asked, 1);
  // Disabled again: no correction of ours is in force.
  EXPECT_EQ(win_clock::ReadRate(calls), std::nullopt);
  ASSERT_FALSE(win_clock::SetRate(calls, 6.4));
  EXPECT_NEAR(*win_clock::ReadRate(calls), 6.4, 1e-9);

  // Beyond the bound: refused before any call.
  const size_t before = fake.sets.size();
  EXPECT_EQ(win_clock::SetRate(calls, 501), std::errc::invalid_argument);
  EXPECT_EQ(win_clock::SetRate(calls, std::numeric_limits<double>::quiet_NaN()), std::errc::invalid_argument);
  EXPECT_EQ(fake.sets.size(), before);
}

TEST(WinClockRate, FallsBackToTheOlderCallsWhereThePreciseOnesAreMissing) {
  FakeRate fake;
  fake.has_precise = false;
  const win_clock::RateCalls calls = fake.Calls();
  ASSERT_FALSE(win_clock::SetRate(calls, 12.5));
  ASSERT_FALSE(win_clock::SetRate(calls, 0));
  const std::vector<RecordedSet> expected{{false, 156252, false}, {false, 0, true}};
  EXPECT_EQ(fake.sets, expected);

  // A figure the 32-bit call cannot carry is refused, not truncated.
  fake.in_force = {0, 0xFFFFFFF0u, false};
  EXPECT_EQ(win_clock::SetRate(calls, 100), std::errc::invalid_argument);
  EXPECT_EQ(fake.sets.size(), expected.size());
}

TEST(WinClockRate, LeavesTheWindowsTimeServicesRateAlone) {
  FakeRate fake;
  fake.time_service = true;
  fake.in_force = {156251, 156250, false};
  const win_clock::RateCalls calls = fake.Calls();
  const std::error_code ec = win_clock::SetRate(calls, 12.5);
  EXPECT_EQ(ec, win_clock::MakeError(win_clock::RateError::kTimeServiceRuns));
  EXPECT_NE(ec.message().find("W32Time"), std::string::npos) << ec.message();
  // Not even taken back to the system: the adjustment is the service's.
  EXPECT_TRUE(win_clock::SetRate(calls, 0));
  EXPECT_TRUE(fake.sets.empty());
  // Its rate is still the one in force.
  EXPECT_NEAR(*win_clock::ReadRate(calls), 6.4, 1e-9);
}

TEST(WinClockRate, AMissingRightIsToldWithItsName) {
  FakeRate fake;
  fake.privilege = win_clock::MakeError(win_clock::RateError::kPrivilegeNotHeld);
  fake.set_fails = win_clock::MakeError(win_clock::RateError::kPrivilegeNotHeld);
  const std::error_code ec = win_clock::SetRate(fake.Calls(), 3);
  EXPECT_EQ(ec, std::errc::operation_not_permitted);
  EXPECT_NE(ec.message().find("SeSystemtimePrivilege"), std::string::npos) << ec.message();

  // Another failure of the call is passed on as it is.
  fake.privilege = {};
  fake.set_fails = std::error_code(ERROR_INVALID_PARAMETER, std::system_category());
  EXPECT_EQ(win_clock::SetRate(fake.Calls(), 3), fake.set_fails);
}

// The real calls, read only: the host's clock is never adjusted from a test.
TEST(WinClockRate, TheSystemsAdjustmentReads) {
  const win_clock::RateCalls& calls = win_clock::SystemRateCalls();
  ASSERT_TRUE(calls.get);
  win_clock::RateReading reading;
  ASSERT_FALSE(calls.get(reading));
  EXPECT_GT(reading.increment, 0u);
  const std::optional<double> ppm = SystemClock().current_frequency();
  EXPECT_EQ(ppm.has_value(), !reading.disabled);
  if (ppm) {
    EXPECT_LE(std::abs(*ppm), 1e6);
  }
  // Wine has no Windows Time service.
  EXPECT_FALSE(calls.time_service_runs());
}

}  // namespace
}  // namespace mdl
