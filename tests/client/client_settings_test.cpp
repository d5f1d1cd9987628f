// Tests of the client's stored value, its interval and its schedule.
#include "client/client_settings.h"

#include <gtest/gtest.h>

#include "client/client_engine.h"

namespace mdl {
namespace {

TEST(ClientValue, ParsesFourFieldsAndHostsWithPorts) {
  const struct {
    const char* value;
    const char* host;
    const char* number;
    const char* unit;
    bool minimized;
    const char* formatted;  // what a save writes back
  } cases[] = {
      {"hostname:5:Minute/s:YES", "hostname", "5", "Minute/s", true, "hostname:5:Minute/s:YES"},
      {"timehost:2:Hour/s:NO", "timehost", "2", "Hour/s", false, "timehost:2:Hour/s:NO"},
      {"127.0.0.1:4000:30:Second/s:NO", "127.0.0.1:4000", "30", "Second/s", false,
       "127.0.0.1:4000:30:Second/s:NO"},
      {"[::1]:4000:1:Day/s:YES", "[::1]:4000", "1", "Day/s", true, "[::1]:4000:1:Day/s:YES"},
      // Only "YES" ticks the box.
      {"::1:5:Minute/s:yes", "::1", "5", "Minute/s", false, "::1:5:Minute/s:NO"},
      {":::", "", "", "", false, ":::NO"},
  };
  for (const auto& c : cases) {
    const auto s = ParseClientValue(c.value);
    ASSERT_TRUE(s) << c.value;
    EXPECT_EQ(s->host, c.host) << c.value;
    EXPECT_EQ(s->number, c.number) << c.value;
    EXPECT_EQ(s->unit, c.unit) << c.value;
    EXPECT_EQ(s->run_minimized, c.minimized) << c.value;
    EXPECT_EQ(FormatClientValue(*s), c.formatted) << "value must round-trip";
  }
}

// A short value keeps its host (field 1): asking "hostname" instead would
// throw away the one field an administrator surely meant.
TEST(ClientValue, FewerThanFourFieldsKeepTheHostAndTheFieldsGiven) {
  EXPECT_FALSE(ParseClientValue("")) << "an empty value is no settings";
  const struct {
    const char* value;
    const char* host;
    const char* number;
    const char* unit;
  } cases[] = {{"timehost", "timehost", "5", "Minute/s"},
               {"timehost:7", "timehost", "7", "Minute/s"},
               {"10.0.0.5:2:Hour/s", "10.0.0.5", "2", "Hour/s"}};
  for (const auto& c : cases) {
    const auto s = ParseClientValue(c.value);
    ASSERT_TRUE(s) << c.value;
    EXPECT_EQ(s->host, c.host) << c.value;
    EXPECT_EQ(s->number, c.number) << c.value;
    EXPECT_EQ(s->unit, c.unit) << c.value;
    EXPECT_FALSE(s->run_minimized) << c.value << ": field 4 is not YES";
  }
}

TEST(ClientValue, DefaultsAreTheFirstStartValue) {
  EXPECT_EQ(FormatClientValue(ClientSettings{}), kClientDefaultValue);
  EXPECT_EQ(SecChange(ClientSettings{}.number, ClientSettings{}.unit).seconds, 300)
      << "first start schedules every 300 ticks";
}

TEST(SecChange, MultipliesByTheUnitsFirstThreeLetters) {
  const struct {
    const char* number;
    const char* unit;
    std::optional<int32_t> seconds;
  } cases[] = {
      {"5", "Minute/s", 300},
      {"2", "Hour/s", 7200},
      {"1", "Day/s", 86400},
      {"10", "Second/s", 10},
      {"7", "Weeks", 7},     // unknown unit: seconds
      {"7", "minute/s", 7},  // the comparison keeps letter case
      {"7", "Mi", 7},
      {" 3 ", "Minute/s", 180},
      {"24855", "Day/s", 2147472000},
      {"2147483647", "Second/s", 2147483647},
      {"24856", "Day/s", std::nullopt},  // beyond 2^31 - 1 seconds
      {"2147483648", "Second/s", std::nullopt},
      {"99999999999999999999", "Second/s", std::nullopt},
      {"0", "Minute/s", std::nullopt},
      {"-5", "Minute/s", std::nullopt},
      {"abc", "Minute/s", std::nullopt},
      {"5x", "Minute/s", std::nullopt},
      {"", "Minute/s", std::nullopt},
  };
  for (const auto& c : cases) {
    const SecChangeResult r = SecChange(c.number, c.unit);
    EXPECT_EQ(r.seconds, c.seconds) << '"' << c.number << "\" \"" << c.unit << '"';
    EXPECT_EQ(r.message.empty(), c.seconds.has_value())
        << "an interval not applied must say why: " << c.number << " " << c.unit;
  }
}

TEST(ClientScheduleTest, ExchangeIsDueEveryIntervalAndTenTicksAfterAFailure) {
  ClientSchedule schedule(300);
  for (int i = 1; i < 300; ++i) ASSERT_FALSE(schedule.Tick()) << "tick " << i << " came early";
  EXPECT_TRUE(schedule.Tick()) << "the 300th tick starts an exchange";
  EXPECT_EQ(schedule.countdown(), 0);
  schedule.OnFailure();
  EXPECT_EQ(schedule.countdown(), 290);
  for (int i = 1; i < 10; ++i) ASSERT_FALSE(schedule.Tick()) << "retry came early at " << i;
  EXPECT_TRUE(schedule.Tick()) << "retry is due 10 ticks after a failure";
}

TEST(ClientScheduleTest, ShortIntervalRetriesTenTicksLater) {
  ClientSchedule schedule(5);
  schedule.OnFailure();
  int ticks = 0;
  while (!schedule.Tick() && ticks < 100) ++ticks;
  EXPECT_EQ(ticks + 1, 10) << "a failure waits 10 ticks even with a 5-second interval";
}

TEST(HostSetting, SplitsHostAndOptionalPort) {
  const struct {
    const char* text;
    const char* host;
    uint16_t port;
    bool ok;
  } cases[] = {
      {"timehost", "timehost", 3777, true},
      {"127.0.0.1:4000", "127.0.0.1", 4000, true},
      {"[::1]:4000", "::1", 4000, true},
      {"[::1]", "::1", 3777, true},
      {"fe80::1", "fe80::1", 3777, true},  // bare IPv6 address
      {"host:", "", 0, false},
      {"host:0", "", 0, false},
      {"host:65536", "", 0, false},
      {"host:12ab", "", 0, false},
      {"[::1", "", 0, false},
      {"[::1]x", "", 0, false},
      {"", "", 0, false},
      {"two words", "", 0, false},
  };
  for (const auto& c : cases) {
    const HostPort hp = SplitHostPort(c.text);
    EXPECT_EQ(hp.ok, c.ok) << '"' << c.text << '"';
    if (c.ok) {
      EXPECT_EQ(hp.host, c.host) << c.text;
      EXPECT_EQ(hp.port, c.port) << c.text;
    }
  }
}

}  // namespace
}  // namespace mdl
