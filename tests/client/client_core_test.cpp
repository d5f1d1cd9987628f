// Tests of the client's pure exchange core: request layout, reply arithmetic,
// report and tray texts.
#include "client/client_core.h"

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/time/mdl_stamp.h"

namespace mdl {
namespace {

using namespace std::chrono;

UtcTime At(int y, unsigned mo, unsigned d, int h, int mi, int s, int ms) {
  return UtcTime(sys_days(year(y) / mo / d)) + hours(h) + minutes(mi) + seconds(s) + milliseconds(ms);
}

std::vector<uint8_t> Reply(UtcTime t1, UtcTime t3, const char* head = "MDLS5UTC") {
  std::vector<uint8_t> r(head, head + 8);
  const auto s1 = MdlStampFromUtc(t1);
  const auto s3 = MdlStampFromUtc(t3);
  r.insert(r.end(), s1.begin(), s1.end());
  r.insert(r.end(), s3.begin(), s3.end());
  return r;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t at; (at = text.find("\r\n", start)) != std::string::npos; start = at + 2) {
    lines.push_back(text.substr(start, at - start));
  }
  lines.push_back(text.substr(start));
  return lines;
}

TEST(ClientRequest, CarriesIdentificationSendTimeAndZeroServerStamp) {
  const UtcTime now = At(2026, 3, 1, 12, 0, 0, 321);
  const ClientRequest req = BuildClientRequest(now);
  EXPECT_EQ(std::string(req.bytes.begin(), req.bytes.begin() + 8), "MDLC5UTC");
  const auto stamp = MdlStampFromUtc(now);
  EXPECT_TRUE(std::equal(stamp.begin(), stamp.end(), req.bytes.begin() + 8))
      << "bytes 8..15 must be the send time";
  for (int i = 16; i < 24; ++i) EXPECT_EQ(req.bytes[i], 0) << "byte " << i << " must be zero";
  EXPECT_EQ(req.send_millis, 321u) << "send milliseconds are those of the timestamp";
}

TEST(ClientReply, FortyMillisecondRoundTripSetsServerTimePlusTwenty) {
  const auto r =
      ProcessReply(Reply(At(2026, 3, 1, 12, 0, 0, 0), At(2026, 3, 1, 12, 0, 5, 0)), 40, 0, ZoneFacts{});
  ASSERT_TRUE(r);
  EXPECT_EQ(r->new_clock, At(2026, 3, 1, 12, 0, 5, 20)) << "clock = T3 + RTT/2";
  EXPECT_DOUBLE_EQ(r->drift_ms, 5000.0) << "drift = T3 - T1";
  EXPECT_DOUBLE_EQ(r->adjustment_ms, 5020.0) << "adjustment = drift + RTT/2";
  const auto lines = Lines(r->report);
  ASSERT_EQ(lines.size(), 5u) << r->report;
  EXPECT_EQ(lines[0], "MDL Server: MDLS v5 - Zone: UTC");
  EXPECT_EQ(lines[1], "Server Date: 2026-03-01 12:0:5.0");
  EXPECT_EQ(lines[2], "MDL Client: 2026-03-01 12:0:0.0");
  EXPECT_EQ(lines[3], "Drift: 5,000 milliseconds. Latency rTT: 40ms");
  EXPECT_EQ(lines[4], "Adjusted by: 5020ms");
  EXPECT_EQ(r->tray_tip, " MDL Server Client: Time adjusted by 5,040ms ");
}

TEST(ClientReply, ServerMillisecond990RollsToNextSecond) {
  const auto r = ProcessReply(Reply(At(2026, 3, 1, 23, 59, 59, 990), At(2026, 12, 31, 23, 59, 59, 990)), 40,
                              990, ZoneFacts{});
  ASSERT_TRUE(r);
  EXPECT_EQ(r->new_clock, At(2027, 1, 1, 0, 0, 0, 10)) << "990 ms + 20 ms must roll over";
  const auto lines = Lines(r->report);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[1], "Server Date: 2026-12-31 23:59:59.990") << "millisecond shown whole";
  EXPECT_EQ(lines[2], "MDL Client: 2026-03-01 23:59:59.990");
}

TEST(ClientReply, IdenticalStampsShowNoAdjustment) {
  const UtcTime t = At(2026, 6, 15, 8, 30, 0, 250);
  const auto r = ProcessReply(Reply(t, t), 7, 250, ZoneFacts{});
  ASSERT_TRUE(r);
  EXPECT_EQ(Lines(r->report)[4], "Adjusted by: 0ms");
  EXPECT_EQ(Lines(r->report)[3], "Drift: 0 milliseconds. Latency rTT: 7ms");
  EXPECT_EQ(r->tray_tip, " MDL Server Client: Date/Time is correct. ");
  EXPECT_EQ(r->new_clock, t + milliseconds(4)) << "7/2 ms rounds to the nearest millisecond";
}

TEST(ClientReply, OnlyExactly24BytesAreAccepted) {
  auto reply = Reply(At(2026, 1, 1, 0, 0, 0, 0), At(2026, 1, 1, 0, 0, 1, 0));
  for (std::size_t size : {0u, 1u, 16u, 23u, 25u, 48u}) {
    std::vector<uint8_t> bytes = reply;
    bytes.resize(size, 0);
    EXPECT_FALSE(ProcessReply(bytes, 10, 0, ZoneFacts{})) << size << " bytes must be rejected";
  }
}

TEST(ClientReply, ShowsZoneAndIdentificationTheReplyCarries) {
  struct Case {
    const char* head;
    const char* line;
  } cases[] = {
      {"MDLS5UTC", "MDL Server: MDLS v5 - Zone: UTC"},
      {"MDLS7CET", "MDL Server: MDLS v7 - Zone: CET"},
      {"XXXX5EST", "MDL Server: XXXX v5 - Zone: EST"},            // identification not checked
      {"MD\x1b[5\x01\xff\n", "MDL Server: MD?[ v5 - Zone: ???"},  // no raw control bytes
  };
  for (const Case& c : cases) {
    const auto r = ProcessReply(Reply(At(2026, 1, 1, 0, 0, 0, 0), At(2026, 1, 1, 0, 0, 1, 0), c.head), 2, 0,
                                ZoneFacts{});
    ASSERT_TRUE(r);
    EXPECT_EQ(Lines(r->report)[0], c.line);
  }
}

TEST(ClientReply, NegativeDriftKeepsItsSign) {
  const auto r =
      ProcessReply(Reply(At(2026, 1, 1, 0, 0, 1, 234), At(2026, 1, 1, 0, 0, 0, 0)), 0, 234, ZoneFacts{});
  ASSERT_TRUE(r);
  EXPECT_NEAR(r->drift_ms, -1234.0, 1e-3);
  EXPECT_EQ(Lines(r->report)[3], "Drift: -1,234 milliseconds. Latency rTT: 0ms");
  EXPECT_EQ(r->tray_tip, " MDL Server Client: Time adjusted by -1,234ms ");
}

TEST(ClientReply, ClientTimeIsShownInLocalTime) {
  ZoneFacts new_york;
  new_york.bias_minutes = 300;
  new_york.daylight_bias_minutes = -60;
  new_york.daylight = true;  // UTC-4
  const auto r =
      ProcessReply(Reply(At(2026, 7, 1, 2, 5, 9, 40), At(2026, 7, 1, 2, 5, 9, 50)), 4, 40, new_york);
  ASSERT_TRUE(r);
  EXPECT_EQ(Lines(r->report)[2], "MDL Client: 2026-06-30 22:5:9.40") << "4 hours behind UTC";
  EXPECT_EQ(Lines(r->report)[1], "Server Date: 2026-07-01 2:5:9.50") << "server time stays UTC";
}

TEST(ClientReply, ClientClockBefore2002GivesTrueDrift) {
  const UtcTime t1 = At(1990, 1, 1, 0, 0, 0, 0);
  const UtcTime t3 = At(2026, 1, 1, 0, 0, 0, 0);
  const auto r = ProcessReply(Reply(t1, t3), 0, 0, ZoneFacts{});
  ASSERT_TRUE(r);
  EXPECT_DOUBLE_EQ(r->drift_ms, static_cast<double>(duration_cast<milliseconds>(t3 - t1).count()))
      << "the echoed 1990 stamp must not be read as a time after 2138";
  EXPECT_EQ(Lines(r->report)[2], "MDL Client: 1990-01-01 0:0:0.0");
  EXPECT_EQ(r->new_clock, t3);
}

TEST(ClientReply, GetMDLSMRefusesToReadPastTheReply) {
  const auto reply = Reply(At(2002, 1, 1, 0, 0, 0, 500), At(2002, 1, 1, 0, 0, 1, 0));
  EXPECT_DOUBLE_EQ(*GetMDLSM(reply, 8), 500.0);
  EXPECT_DOUBLE_EQ(*GetMDLSM(reply, 16), 1000.0);
  EXPECT_FALSE(GetMDLSM(reply, 17)) << "offset 17 would read byte 24";
  EXPECT_FALSE(GetMDLSM(reply, 100));
  EXPECT_FALSE(GetMDLSM(std::span<const uint8_t>(reply).first(20), 16));
}

TEST(ClientFormat, ThousandsPatternRoundsHalfToEven) {
  const struct {
    double value;
    const char* text;
  } cases[] = {{0, "0"},
               {999, "999"},
               {1000, "1,000"},
               {-1234, "-1,234"},
               {1234567, "1,234,567"},
               {2.5, "2"},
               {3.5, "4"},
               {-0.4, "0"},
               {-999999.6, "-1,000,000"},
               {4294967296000.0, "4,294,967,296,000"}};
  for (const auto& c : cases) EXPECT_EQ(FormatThousands(c.value), c.text) << "value " << c.value;
}

TEST(ClientFormat, GeneralDecimalHasNoTrailingZerosOrExponent) {
  const struct {
    double value;
    const char* text;
  } cases[] = {{0, "0"},
               {20, "20"},
               {-0.5, "-0.5"},
               {1020.5, "1020.5"},
               {1.0 / 3, "0.333333333333333"},
               {1e-7, "0.0000001"},
               {123456789012.25, "123456789012.25"}};
  for (const auto& c : cases) EXPECT_EQ(FormatGeneral(c.value), c.text) << "value " << c.value;
}

TEST(ClientFormat, TrayTipChoosesCorrectBelowOneMillisecondAndFitsItsField) {
  EXPECT_EQ(ClientTrayTip(0.4, 0.4, 0), " MDL Server Client: Date/Time is correct. ");
  EXPECT_EQ(ClientTrayTip(-0.99, -3, 4), " MDL Server Client: Date/Time is correct. ");
  EXPECT_EQ(ClientTrayTip(1.0, -1, 4), " MDL Server Client: Time adjusted by 3ms ");
  EXPECT_LE(ClientTrayTip(1e15, 1e15, 1 << 30).size(), kTrayTipSize - 1);
}

}  // namespace
}  // namespace mdl
