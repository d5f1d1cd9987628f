// ISO 8601 and duration texts, and the JSON writer's output and escaping.
#include "common/time/report_text.h"

#include <gtest/gtest.h>

#include <limits>

namespace mdl {
namespace {

TEST(ReportTextTest, IsoUtcTextAndDurations) {
  // 2026-12-10 12:34:56.999 UTC: the fraction is cut, not rounded up.
  EXPECT_EQ(IsoUtcText(UtcFromNs(1'797'000'000'000'000'000)), "2026-12-11T14:40:00Z");
  EXPECT_EQ(IsoUtcText(UtcFromNs(1'796'906'096'999'000'000)), "2026-12-10T12:34:56Z");
  EXPECT_EQ(IsoUtcText(UtcFromNs(0)), "1970-01-01T00:00:00Z");
  EXPECT_EQ(IsoUtcText(UtcFromNs(-1)), "1969-12-31T23:59:59Z");

  EXPECT_EQ(DurationText(std::chrono::milliseconds(1500)), "1.5 s");
  EXPECT_EQ(DurationText(std::chrono::milliseconds(-1500)), "-1.5 s");
  EXPECT_EQ(DurationText(std::chrono::seconds(59)), "59.0 s");
  EXPECT_EQ(DurationText(std::chrono::seconds(60)), "00:01:00");
  EXPECT_EQ(DurationText(std::chrono::seconds(3 * 3600 + 4 * 60 + 5)), "03:04:05");
  EXPECT_EQ(DurationText(std::chrono::seconds(2 * 86400 + 3600)), "2d 01:00:00");
  EXPECT_EQ(DurationText(-std::chrono::seconds(86400)), "-1d 00:00:00");
  // The most negative duration has no positive twin; it must not overflow.
  EXPECT_EQ(DurationText(Nanoseconds(std::numeric_limits<int64_t>::min())).substr(0, 7), "-106751");
}

TEST(ReportTextTest, JsonWriterNestsAndSeparates) {
  JsonWriter j;
  j.OpenObject()
      .String("a", "x")
      .Int("b", -3)
      .Uint("c", 18446744073709551615ull)
      .Bool("d", true)
      .Null("e")
      .Double("f", 0.25)
      .Double("g", std::numeric_limits<double>::quiet_NaN())
      .OpenArray("h");
  j.OpenObject().Int("i", 1).CloseObject().OpenObject().CloseObject().CloseArray();
  j.OpenObject("k").CloseObject();
  j.Time("t", UtcFromNs(1'796'906'096'500'000'000)).Time("u", std::nullopt);
  j.CloseObject();
  EXPECT_EQ(
      j.text(),
      R"({"a":"x","b":-3,"c":18446744073709551615,"d":true,"e":null,"f":0.25,"g":null,)"
      R"("h":[{"i":1},{}],"k":{},"t":"2026-12-10T12:34:56Z","t_unix":1796906096,"u":null,"u_unix":null})");
}

TEST(ReportTextTest, JsonStringsAreEscaped) {
  EXPECT_EQ(JsonQuoted("plain"), "\"plain\"");
  EXPECT_EQ(JsonQuoted("say \"hi\"\\ now"), R"("say \"hi\"\\ now")");
  EXPECT_EQ(JsonQuoted("a\nb\rc\td"), R"("a\nb\rc\td")");
  EXPECT_EQ(JsonQuoted(std::string("\x01\x1f\x7f", 3)), R"("\u0001\u001f\u007f")");
  EXPECT_EQ(JsonQuoted(std::string("nul\0end", 7)), R"("nul\u0000end")");
  // UTF-8 passes as it is.
  EXPECT_EQ(JsonQuoted("\xC2\xB5s"), "\"\xC2\xB5s\"");
  JsonWriter j;
  j.OpenObject().String("k\"ey", "v").CloseObject();
  EXPECT_EQ(j.text(), R"({"k\"ey":"v"})");
}

}  // namespace
}  // namespace mdl
