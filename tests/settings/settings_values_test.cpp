// Tests of the server's settings value formats.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "server/core/settings.h"

namespace mdl {
namespace {

TEST(SettingsValue, FieldsAreReadAsStoredWithTheirFallbacks) {
  struct Case {
    const char* text;
    bool valid;
    bool random;
    std::optional<std::string> count;
    std::string unit;
    std::string region;
    int first_byte;
  };
  const Case cases[] = {
      {"YES:59:Minutes/s:NA:36", true, true, "59", "Minutes/s", "NA", 36},
      {"NO:2:Day/s:EU:28", true, false, "2", "Day/s", "EU", 28},
      {"yes:5:Second/s:NA:36", true, false, "5", "Second/s", "NA", 36},  // only "YES" ticks
      {"YES:59:Minute/s", false, false, std::nullopt, "", "NA", 36},     // three fields ignored
      {"", false, false, std::nullopt, "", "NA", 36},
      {"YES:59:Minute/s:  ", true, true, "59", "Minute/s", "NA", 36},  // empty region, no field 5
      {"YES:59:Minute/s: AS :36", true, true, "59", "Minute/s", "AS", 36},
      {"YES:abc:Minute/s:NA:x", true, true, std::nullopt, "Minute/s", "NA", 36},
      {"YES: 7.5 :Hour/s:NA:37.9", true, true, " 7.5 ", "Hour/s", "NA", 37},
      {"YES:59:Minute/s:NA:-3.7", true, true, "59", "Minute/s", "NA", 36},  // no byte: 36 served
      {"YES:59:Minute/s:NA:255", true, true, "59", "Minute/s", "NA", 255},
      {"YES:59:Minute/s:NA:256", true, true, "59", "Minute/s", "NA", 36},
      {"YES:59:Minute/s:NA:32767", true, true, "59", "Minute/s", "NA", 36},
      {"YES:59:Minute/s:NA:32768", true, true, "59", "Minute/s", "NA", 36},
      {"YES:59:Minute/s:NA:-32768", true, true, "59", "Minute/s", "NA", 36},
      {"YES:59:Minute/s:NA:99999999999999999999", true, true, "59", "Minute/s", "NA", 36},
      {"YES:59:Minute/s:NA:36:extra", true, true, "59", "Minute/s", "NA", 36},
  };
  for (const Case& c : cases) {
    std::optional<SyncSettings> f = ParseSettingsValue(c.text);
    EXPECT_EQ(f.has_value(), c.valid) << c.text;
    if (!c.valid || !f) continue;
    EXPECT_EQ(f->random, c.random) << c.text;
    EXPECT_EQ(f->count_text, c.count) << c.text;
    EXPECT_EQ(f->unit_text, c.unit) << c.text;
    EXPECT_EQ(f->region, c.region) << c.text;
    EXPECT_EQ(f->ntp_first_byte, c.first_byte) << c.text;
  }
}

// A fifth field that is no byte is served as 36 and saved as the operator wrote it.
TEST(SettingsValue, FirstByteThatIsNoByteIsWrittenBackUnchanged) {
  for (const char* text : {"YES:59:Minute/s:NA:300", "YES:59:Minute/s:NA:-3", "YES:59:Minute/s:NA:99999",
                           "YES:59:Minute/s:NA:x", "NO:5:Hour/s:EU:"}) {
    std::optional<SyncSettings> f = ParseSettingsValue(text);
    ASSERT_TRUE(f) << text;
    EXPECT_EQ(f->ntp_first_byte, 36) << text;
    EXPECT_EQ(FormatSettingsValue(*f), text);
  }
  std::optional<SyncSettings> byte = ParseSettingsValue("YES:59:Minute/s:NA:28");
  ASSERT_TRUE(byte);
  EXPECT_EQ(byte->ntp_first_byte, 28);
  EXPECT_FALSE(byte->ntp_first_byte_text);
  EXPECT_EQ(FormatSettingsValue(*ParseSettingsValue("YES:59:Minute/s:NA")), "YES:59:Minute/s:NA:36")
      << "a missing fifth field is written as the default";
}

TEST(SettingsValue, FormatWritesTheFiveFieldsBack) {
  EXPECT_EQ(FormatSettingsValue({true, "59", "Minutes/s", "NA", 36, {}}), "YES:59:Minutes/s:NA:36");
  EXPECT_EQ(FormatSettingsValue({false, std::nullopt, "Day/s", "EU", 28, {}}), "NO::Day/s:EU:28");
  const SyncSettings written{false, "12", "Hour/s", "OC", 27, {}};
  std::optional<SyncSettings> back = ParseSettingsValue(FormatSettingsValue(written));
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, written);
}

TEST(SettingsValue, PlainDecimalNumbersOnly) {
  for (const char* yes : {"0", "59", " 59 ", "+5", "-5", "5.", ".5", "12.25", "\t3"}) {
    EXPECT_TRUE(IsPlainDecimal(yes)) << "\"" << yes << "\" is a number";
  }
  for (const char* no : {"", " ", "+", "-", ".", "5a", "a5", "1.2.3", "5 5", "--5", "1e3"}) {
    EXPECT_FALSE(IsPlainDecimal(no)) << "\"" << no << "\" is not a plain number";
  }
}

TEST(SettingsValue, PpmIsAFiniteDecimalInAnyLocaleAndRoundTripsToAThousandth) {
  struct Case {
    const char* text;
    std::optional<double> ppm;
  };
  const Case cases[] = {
      {"-50.125", -50.125},
      {" +12 ", 12},
      {".5", 0.5},
      {"0", 0},
      {"-0", 0},
      {"", std::nullopt},
      {"nan", std::nullopt},
      {"inf", std::nullopt},
      {"1e2", std::nullopt},
      {"0x10", std::nullopt},
      {"12,5", std::nullopt},
      {"5 ppm", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(ParsePpm(c.text), c.ppm) << "\"" << c.text << "\"";
  // So many digits that a double overflows: not a rate.
  EXPECT_EQ(ParsePpm(std::string(400, '9')), std::nullopt);
  for (double ppm : {-49.9876, 0.0, 100.0, 0.0004}) {
    const std::string text = FormatPpm(ppm);
    ASSERT_TRUE(ParsePpm(text).has_value()) << text;
    EXPECT_NEAR(*ParsePpm(text), ppm, 0.0005) << text;
  }
  EXPECT_EQ(FormatPpm(-49.9876), "-49.988");
}

TEST(ServiceValue, FieldsRoundTripAndMissingFieldsAreOff) {
  struct Case {
    const char* text;
    ServiceFields fields;
    const char* formatted;
  };
  const Case cases[] = {
      {"YES:YES:NO:519", {true, true, false, "519"}, "YES:YES:NO:519"},
      {"NO:YES:YES:13", {false, true, true, "13"}, "NO:YES:YES:13"},
      {"YES:yes:Yes:37", {true, false, false, "37"}, "YES:NO:NO:37"},
      {"YES", {true, false, false, ""}, "YES:NO:NO:"},
      {"", {false, false, false, ""}, "NO:NO:NO:"},
      {"YES:YES:YES:12ab", {true, true, true, "12ab"}, "YES:YES:YES:12ab"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseServiceFields(c.text), c.fields) << c.text;
    EXPECT_EQ(FormatServiceFields(c.fields), c.formatted) << c.text;
  }
}

TEST(RunValue, DataIsTheProgramInItsFolder) {
  EXPECT_EQ(RunValueData("/opt/mdl"), "/opt/mdl/QOR_MDL_Server");
  EXPECT_EQ(RunValueData("/opt/mdl/"), "/opt/mdl/QOR_MDL_Server");
}

}  // namespace
}  // namespace mdl
