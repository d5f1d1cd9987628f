// Tests of the synchronisation schedule, the interval and the count guard.
#include "server/upstream/schedule.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "server/upstream/numeric_text.h"

namespace mdl {
namespace {

TEST(CalcIntC, CountAndUnitGiveTheInterval) {
  struct Case {
    const char* count;
    const char* unit;
    int32_t seconds;
    bool unit_is_seconds;
  };
  const Case cases[] = {
      {"59", "Minute/s", 3540, false},
      {"2", "Day/s", 172800, false},
      {"59", "Minutes/s", 3540, false},  // the default settings' unit text
      {"3", "second/s", 259200, false},  // lower case: not "Sec", so days
      {"7", "Second/s", 7, true},
      {"2", "Hour/s", 7200, false},
      {"1", "", 86400, false},
      {"1", "Mi", 86400, false},
      {"2.5", "Second/s", 2, true},  // ties to even
      {"3.5", "Second/s", 4, true},
      {"0.4", "Minute/s", 0, false},
      {"12abc", "Second/s", 12, true},  // leading number
      {"abc", "Minute/s", 0, false},
      {"", "Minute/s", 0, false},
      {"-5", "Second/s", -5, true},
      {"1e3", "Second/s", 1000, true},
      {"24855", "Day/s", 2147472000, false},
      {"2147483647", "Second/s", 2147483647, true},
      {"-24855", "Day/s", -2147472000, false},
  };
  for (const Case& c : cases) {
    const IntervalResult r = CalcIntC(c.count, c.unit);
    EXPECT_TRUE(r.ok) << c.count << " " << c.unit << ": " << r.error;
    EXPECT_EQ(r.seconds, c.seconds) << c.count << " " << c.unit;
    EXPECT_EQ(r.unit_is_seconds, c.unit_is_seconds) << c.count << " " << c.unit;
  }
}

TEST(CalcIntC, IntervalsBeyond32BitsAreRejectedWithAMessage) {
  const IntervalResult r = CalcIntC("24856", "Day/s", 3540);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error,
            "Synchronisation interval of 24856 Day/s is too long; the largest is "
            "2147483647 seconds. Interval left at 3540 seconds.");
  for (const char* count : {"2147483648", "1e300", "1e999", "99999999999999999999999"}) {
    const IntervalResult big = CalcIntC(count, "Second/s");
    EXPECT_FALSE(big.ok) << count << " seconds must not fit";
    EXPECT_NE(big.error.find("too long"), std::string::npos) << big.error;
  }
  const IntervalResult negative = CalcIntC("-24856", "Day/s");
  EXPECT_FALSE(negative.ok);
  EXPECT_NE(negative.error.find("out of range"), std::string::npos) << negative.error;
  EXPECT_LT(CalcIntC("1", std::string(10000, 'D')).error.size(), 200u)
      << "a long unit text must not be copied whole into the message";
  EXPECT_FALSE(CalcIntC("1e20", std::string(10000, 'D')).ok);
}

TEST(SyncSchedule, QueriesWhenTheCounterReachesTheInterval) {
  SyncSchedule s;
  s.SetInterval(3);
  EXPECT_FALSE(s.Tick());
  EXPECT_FALSE(s.Tick());
  EXPECT_TRUE(s.Tick()) << "third tick of a 3 s interval starts a query";
  EXPECT_EQ(s.SyncCounter(), 0);
  EXPECT_FALSE(s.Tick());
  EXPECT_EQ(s.SyncCounter(), 1);
}

TEST(SyncSchedule, LoweringTheIntervalBelowTheCounterQueriesOnTheNextTick) {
  SyncSchedule s;
  s.SetInterval(3540);
  for (int i = 0; i < 100; ++i) ASSERT_FALSE(s.Tick());
  s.SetInterval(10);
  EXPECT_EQ(s.SyncCounter(), 100) << "a new interval must not touch the counter";
  EXPECT_TRUE(s.Tick());
  EXPECT_EQ(s.SyncCounter(), 0);
}

TEST(SyncSchedule, IntervalOfZeroOrLessQueriesEveryTick) {
  for (int32_t interval : {0, -1, -2147483647 - 1}) {
    SyncSchedule s;
    s.SetInterval(interval);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(s.Tick()) << "interval " << interval;
  }
}

TEST(SyncSchedule, RetryPathsStartAQueryOnTheNextTick) {
  SyncSchedule s;
  s.SetInterval(3540);
  s.StartOnNextTick();
  EXPECT_TRUE(s.Tick());
  s.SetCounter(3540 - 1);  // the one-byte retry path
  EXPECT_TRUE(s.Tick());
  s.SetInterval(2147483647);
  s.StartOnNextTick();
  EXPECT_TRUE(s.Tick()) << "the largest interval must not overflow the counter";
  s.SetCounter(2147483647);
  EXPECT_TRUE(s.Tick());
}

TEST(GuardSyncN, DropsTrailingCharactersUntilNumeric) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"5a", "5"},  {"5", "5"},      {"", ""},       {"a", ""},      {"59x9", "59"}, {"-", ""},
      {"-5", "-5"}, {"1.5e", "1.5"}, {"1e5", "1e5"}, {"12 ", "12 "}, {" 7", " 7"},   {"5..", "5."},
      {".", ""},    {"3e+", "3"},    {"+", ""},      {"x5", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GuardSyncN(c.in), c.out) << "text \"" << c.in << "\"";
    EXPECT_TRUE(c.out.empty() || IsNumericText(c.out)) << "guard left non-numeric " << c.out;
  }
  std::string huge = "7" + std::string(5'000'000, 'z');
  EXPECT_EQ(GuardSyncN(std::move(huge)), "7") << "a long pasted text must be cut in one pass";
}

TEST(NumericText, IsNumericAndLeadingNumber) {
  struct Case {
    const char* text;
    bool numeric;
    double leading;
  };
  const Case cases[] = {
      {"42", true, 42},   {" -2.5 ", true, -2.5}, {".5", true, 0.5},   {"5.", true, 5},   {"+3", true, 3},
      {"1E2", true, 100}, {"", false, 0},         {"-", false, 0},     {"1e", false, 1},  {"4x", false, 4},
      {"x4", false, 0},   {"1 2", false, 1},      {"1e-999", true, 0}, {"- 1", false, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsNumericText(c.text), c.numeric) << "\"" << c.text << "\"";
    EXPECT_DOUBLE_EQ(LeadingNumber(c.text), c.leading) << "\"" << c.text << "\"";
  }
  EXPECT_TRUE(std::isinf(LeadingNumber("1e999")));
}

TEST(NumericText, RoundHalfEven) {
  const std::pair<double, double> cases[] = {{0.5, 0},   {1.5, 2}, {2.5, 2}, {-0.5, 0},
                                             {-1.5, -2}, {2.4, 2}, {2.6, 3}, {-2.6, -3}};
  for (const auto& [in, out] : cases) EXPECT_EQ(RoundHalfEven(in), out) << in;
}

}  // namespace
}  // namespace mdl

namespace mdl {
namespace {

TEST(SyncSchedule, StartsFromTheDefaultIntervalAndDueInClampsTheCounter) {
  SyncSchedule s;
  EXPECT_EQ(s.SyncInterval(), 59 * 60) << "an unusable stored interval must leave a real one";
  s.DueIn(3);
  EXPECT_FALSE(s.Tick());
  EXPECT_FALSE(s.Tick());
  EXPECT_TRUE(s.Tick());
  s.SetInterval(std::numeric_limits<int32_t>::min());
  s.DueIn(16);
  EXPECT_EQ(s.SyncCounter(), std::numeric_limits<int32_t>::min());
}

}  // namespace
}  // namespace mdl
