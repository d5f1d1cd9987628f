// Tests of the synchronisation texts: the adjustment number, messages and tooltips.
#include "server/upstream/sync_texts.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <string>

namespace mdl {
namespace {

TEST(FormatReplyDifference, GeneralDecimalFormWith15Digits) {
  struct Case {
    double value;
    const char* text;
  };
  const Case cases[] = {
      {-0.5, "-0.5"},
      {12, "12"},
      {1234.5678, "1234.5678"},
      {0.000123, "0.000123"},
      {0.0000123, "0.0000123"},
      {0, "0"},
      {-0.0, "0"},
      {0.1 + 0.2, "0.3"},
      {1.0 / 3.0, "0.333333333333333"},
      {2000.0 / 3.0, "666.666666666667"},
      {-98765.4321, "-98765.4321"},
      {1e15, "1000000000000000"},
      {123456789012345678.0, "123456789012346000"},
      {4294967296000.0, "4294967296000"},
      {-4294967295999.99, "-4294967295999.99"},
      {-4294967295999.999, "-4294967296000"},  // 16 digits round to 15
      {1e20, "100000000000000000000"},
      {1e25, "1E+25"},
      {-1.5e-20, "-1.5E-20"},
      {9.999999999999999e20, "1E+21"},
      {std::nan(""), "NaN"},
      {-std::numeric_limits<double>::infinity(), "-Infinity"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FormatReplyDifference(c.value), c.text) << "value " << c.value;
  }
}

TEST(SyncMessages, AdjustedServiceAndFailedTexts) {
  EXPECT_EQ(AdjustedMessage(-12.25), "Adjusted by: -12.25 ms.  MDL Server is Synchronized.");
  EXPECT_EQ(kServiceSyncMessage, "MDL Server is now Synchronized to Atomic Time.");
  const std::string failed = SyncFailedMessage("Operation not permitted");
  EXPECT_NE(failed.find("Operation not permitted"), std::string::npos) << failed;
  EXPECT_NE(failed.find("not Synchronized"), std::string::npos) << failed;
  EXPECT_EQ(failed.find("is Synchronized"), std::string::npos)
      << "a failed clock set must not read as success: " << failed;
}

TEST(Tooltips, CheckingTextIsCutTo63Bytes) {
  EXPECT_EQ(CheckingTooltip("time.nist.gov - NA"), " Checking Time Server: time.nist.gov - NA ");
  const std::string long_text(100, 'x');
  const std::string cut = CheckingTooltip(long_text);
  EXPECT_EQ(cut.size(), kTooltipMaxLength);
  EXPECT_EQ(cut, (" Checking Time Server: " + long_text).substr(0, 63));
  EXPECT_EQ(SyncedTooltip("Adjusted by: 3 ms.  MDL Server is Synchronized."),
            " Adjusted by: 3 ms.  MDL Server is Synchronized. ");
}

TEST(Tooltips, CutNeverSplitsAUtf8Character) {
  // 61 ASCII bytes, then a two-byte character across the limit.
  const std::string text = std::string(62, 'a') + "\xC3\xBC" + "tail";
  const std::string cut = CutTooltip(text);
  EXPECT_EQ(cut, std::string(62, 'a')) << "a half character must not be kept";
  EXPECT_EQ(CutTooltip(std::string(61, 'a') + "\xC3\xBC" + "b"), std::string(61, 'a') + "\xC3\xBC")
      << "a whole character at the end stays";
}

TEST(Tooltips, ServersTextShowsTheUpstreamTimeWithoutLeadingZeros) {
  using namespace std::chrono;
  const UtcTime d = sys_days(year(2026) / March / 4) + hours(5) + minutes(6) + seconds(7);
  EXPECT_EQ(ServersTooltip(d, 89, "msg"), " 2026-03-04 5:6:7.89 | msg");
  const UtcTime midnight = sys_days(year(2027) / December / 31) + hours(23) + minutes(59) + seconds(59);
  EXPECT_EQ(ServersTooltip(midnight, 999, "m"), " 2027-12-31 23:59:59.999 | m");
  EXPECT_EQ(ServersTooltip(sys_days(year(2030) / January / 1), 0, "z"), " 2030-01-01 0:0:0.0 | z");
}

}  // namespace
}  // namespace mdl
