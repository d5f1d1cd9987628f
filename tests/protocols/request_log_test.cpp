// Request log: line layout, cs-bytes, local dates and the daily file.
#include "server/serving/request_log.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <vector>

#include "tests/support/temp_dir.h"

namespace mdl {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using std::chrono::December;
using std::chrono::sys_days;
using std::chrono::year;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

constexpr std::string_view kFields =
    "#Fields: date time c-ip cs-username s-sitename s-computername s-ip cs-method "
    "cs-uri-stem cs-uri-query sc-status sc-win32-status sc-bytes cs-bytes time-taken "
    "s-port cs-version cs(User-Agent) cs(Cookie) cs(Referer)";

UtcTime At(int y, unsigned m, unsigned d, std::chrono::nanoseconds since_midnight) {
  const sys_days day = year{y} / std::chrono::month{m} / std::chrono::day{d};
  return UtcTime(day.time_since_epoch() + since_midnight);
}

LogEntry TimeEntry() { return {"Time 4 Bytes", "192.0.2.5", 37, 4, "Time", "UDP"}; }

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(text.substr(start, end - start));
  }
  EXPECT_EQ(start, text.size()) << "text does not end with CR LF";
  return lines;
}

LogIdentity Identity(const fs::path& dir) {
  return {dir, "5.1.10", "2026-12-07 09:00:00", "timehost", "192.0.2.1"};
}

TEST(FormatLogLine, WritesTheFieldsInW3cOrderWithTrailingBlank) {
  const LocalDateTime t{2026, 12, 7, 10, 11, 12};
  EXPECT_EQ(FormatLogLine(TimeEntry(), t, "timehost", "192.0.2.1"),
            "2026-12-07 10:11:12 192.0.2.5 - MDLS5 timehost 192.0.2.1 GET TIME - 0 0 4 12 0 37 "
            "Time UDP - \r\n");
  const LogEntry mdl{"MDLSC5", "10.0.0.9", 3777, 24, "MDL Server Client", "TCP"};
  EXPECT_EQ(FormatLogLine(mdl, LocalDateTime{2002, 1, 2, 3, 4, 5}, "h", "10.0.0.1"),
            "2002-01-02 03:04:05 10.0.0.9 - MDLS5 h 10.0.0.1 GET TIME - 0 0 24 6 0 3777 "
            "MDL Server Client TCP - \r\n");
}

TEST(FormatLogLine, ControlCharactersCannotSplitALine) {
  const LogEntry entry{"x", "1.2.3.4\r\nforged", 13, 1, "DayTime", ""};
  const std::string line = FormatLogLine(entry, LocalDateTime{}, "host\n", "ip");
  EXPECT_EQ(line.find('\n'), line.size() - 1) << "line: " << line;
  EXPECT_NE(line.find("1.2.3.4??forged"), std::string::npos) << line;
  EXPECT_NE(line.find("DayTime - - \r\n"), std::string::npos) << "empty field not written as '-': " << line;
}

TEST(LogReceivedBytes, FollowsTheCsBytesRule) {
  struct Case {
    LogEntry entry;
    uint32_t expected;
    const char* what;
  };
  const Case cases[] = {
      {TimeEntry(), 12, "Time request: length of \"Time 4 Bytes\""},
      {{"48 Bytes NTP...", "a", 123, 48, "NTPv4", "UDP"}, 48, "answered NTP"},
      {{"52 Bytes NTP ERROR: 0", "a", 123, 0, "NTPv4", "UDP", 52}, 52, "rejected NTP"},
      {{"0 Bytes NTP ERROR: 0", "a", 123, 0, "NTPv4", "TCP", 0}, 0, "empty NTP read"},
      {{"odd", "a", 123, 4, "NTPv4", "UDP", 9}, 0, "NTP with another sent count"},
      {{"UnixTime REQ", "a", 519, 4, "UnixTime", "TCP"}, 12, "UnixTime"},
      {{"hello", "a", 13, 30, "DayTime", "UDP", 0}, 5, "Daytime: datagram text length"},
      {{"hello", "a", 13, 30, "DayTime", "UDP", 77}, 77, "explicit byte count wins"},
  };
  for (const Case& c : cases) EXPECT_EQ(LogReceivedBytes(c.entry), c.expected) << c.what;
}

TEST(LogLocalTime, SubtractsTheBiasWithDaylightOnlyWhenInEffect) {
  struct Case {
    ZoneFacts zone;
    LocalDateTime expected;
    const char* what;
  };
  auto zone = [](int32_t bias, int32_t standard, int32_t daylight_bias, bool daylight) {
    ZoneFacts z;
    z.bias_minutes = bias;
    z.standard_bias_minutes = standard;
    z.daylight_bias_minutes = daylight_bias;
    z.daylight = daylight;
    return z;
  };
  const UtcTime now = At(2026, 12, 7, 30min);
  const Case cases[] = {
      {zone(0, 0, 0, false), {2026, 12, 7, 0, 30, 0}, "UTC"},
      {zone(300, 0, -60, false), {2026, 12, 6, 19, 30, 0}, "UTC-5 standard: previous day"},
      {zone(300, 0, -60, true), {2026, 12, 6, 20, 30, 0}, "UTC-5 daylight"},
      {zone(300, 30, 0, false), {2026, 12, 6, 19, 30, 0}, "standard bias is never added"},
      {zone(-60, 0, -60, true), {2026, 12, 7, 2, 30, 0}, "UTC+1 daylight"},
  };
  for (const Case& c : cases) EXPECT_EQ(LogLocalTime(now, c.zone), c.expected) << c.what;

  EXPECT_EQ(LogLocalTime(At(2026, 12, 7, 10h + 999ms), ZoneFacts{}), (LocalDateTime{2026, 12, 7, 10, 0, 0}))
      << "fractions of a second must be cut, not rounded";
  EXPECT_EQ(LogLocalTime(UtcFromNs(-500'000'000), ZoneFacts{}), (LocalDateTime{1969, 12, 31, 23, 59, 59}))
      << "instants before 1970 must round towards the past";
}

TEST(LogFileName, IsDayMonthYearTwoDigitsEach) {
  EXPECT_EQ(LogFileName({2026, 12, 7}), "MDLS071226.LOG");
  EXPECT_EQ(LogFileName({2000, 1, 5}), "MDLS050100.LOG");
}

TEST(RequestLog, FirstRequestOfADayWritesTheHeaderLaterOnesOnlyAppend) {
  TempDir dir;
  RequestLog log(Identity(dir.path()));
  log.Write(TimeEntry(), At(2026, 12, 7, 10h + 11min + 12s), ZoneFacts{});
  LogEntry second = TimeEntry();
  second.mdl_type = "TCP";
  log.Write(second, At(2026, 12, 7, 10h + 11min + 13s), ZoneFacts{});

  const fs::path file = dir.path() / "Logs" / "MDLS071226.LOG";
  const std::vector<std::string> lines = Lines(ReadFile(file));
  ASSERT_EQ(lines.size(), 7u) << ReadFile(file);
  EXPECT_EQ(lines[0], "#Software Service: Meridel(SM) Server");
  EXPECT_EQ(lines[1], "#Version: 5.1.10");
  EXPECT_EQ(lines[2], "#UPDate: 2026-12-07 09:00:00");
  EXPECT_EQ(lines[3], "#Date: 2026-12-07 10:11:12");
  EXPECT_EQ(lines[4], kFields);
  EXPECT_EQ(lines[5],
            "2026-12-07 10:11:12 192.0.2.5 - MDLS5 timehost 192.0.2.1 GET TIME - 0 0 4 12 0 37 "
            "Time UDP - ");
  EXPECT_EQ(lines[6].substr(0, 19), "2026-12-07 10:11:13");
  EXPECT_EQ(log.error_count(), 0u);
}

TEST(RequestLog, ReopeningAnExistingDayFileAddsNoSecondHeader) {
  TempDir dir;
  { RequestLog(Identity(dir.path())).Write(TimeEntry(), At(2026, 12, 7, 1h), ZoneFacts{}); }
  { RequestLog(Identity(dir.path())).Write(TimeEntry(), At(2026, 12, 7, 2h), ZoneFacts{}); }
  const std::vector<std::string> lines = Lines(ReadFile(dir.path() / "Logs" / "MDLS071226.LOG"));
  EXPECT_EQ(lines.size(), 7u) << "a restarted server must append to the day's file";
}

TEST(RequestLog, RejectedNtpDatagramLogsNothingSentAndItsLength) {
  TempDir dir;
  RequestLog log(Identity(dir.path()));
  const std::string text = "52 Bytes NTP ERROR: 0";
  log.Write({text, "192.0.2.9", 123, 0, "NTPv4", "UDP", 52}, At(2026, 12, 7, 1h), ZoneFacts{});
  const auto lines = Lines(ReadFile(dir.path() / "Logs" / "MDLS071226.LOG"));
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_NE(lines[5].find(" GET TIME - 0 0 0 52 0 123 NTPv4 UDP - "), std::string::npos) << lines[5];
}

TEST(RequestLog, AppendBuffersUntilFlush) {
  TempDir dir;
  RequestLog log(Identity(dir.path()));
  const fs::path file = dir.path() / "Logs" / "MDLS071226.LOG";
  log.Append(TimeEntry(), At(2026, 12, 7, 1h), ZoneFacts{});
  log.Append(TimeEntry(), At(2026, 12, 7, 1h + 1s), ZoneFacts{});
  EXPECT_FALSE(fs::exists(file)) << "Append wrote before Flush";
  EXPECT_GT(log.pending_bytes(), 0u);
  log.Flush();
  EXPECT_EQ(Lines(ReadFile(file)).size(), 7u);
  EXPECT_EQ(log.pending_bytes(), 0u);
}

TEST(RequestLog, LocalDateChangeStartsANewFile) {
  TempDir dir;
  RequestLog log(Identity(dir.path()));
  ZoneFacts new_york;
  new_york.bias_minutes = 300;
  // 04:59 UTC is 23:59 on the 6th in New York; 05:00 UTC is the 7th.
  log.Append(TimeEntry(), At(2026, 12, 7, 4h + 59min), new_york);
  log.Append(TimeEntry(), At(2026, 12, 7, 5h), new_york);
  log.Flush();
  const auto first = Lines(ReadFile(dir.path() / "Logs" / "MDLS061226.LOG"));
  const auto second = Lines(ReadFile(dir.path() / "Logs" / "MDLS071226.LOG"));
  ASSERT_EQ(first.size(), 6u) << "a batch crossing midnight must split between the files";
  ASSERT_EQ(second.size(), 6u);
  EXPECT_EQ(first[5].substr(0, 19), "2026-12-06 23:59:00");
  EXPECT_EQ(second[3], "#Date: 2026-12-07 00:00:00");
}

TEST(RequestLog, FileMovedDeletedOrReplacedWhileOpenIsFollowedByPath) {
  enum class Change { kDelete, kMove, kReplace };
  struct Case {
    Change change;
    size_t expected_lines;  // in the file at the day's path afterwards
    const char* what;
  };
  const Case cases[] = {
      {Change::kDelete, 6, "deleted: recreated with a header"},
      {Change::kMove, 6, "moved away: recreated with a header"},
      {Change::kReplace, 2, "replaced by a new non-empty file: appended to it"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    RequestLog log(Identity(dir.path()));
    const fs::path file = dir.path() / "Logs" / "MDLS071226.LOG";
    const fs::path rotated = dir.path() / "Logs" / "rotated.LOG";
    log.Write(TimeEntry(), At(2026, 12, 7, 1h), ZoneFacts{});
    if (c.change == Change::kDelete) {
      fs::remove(file);
    } else {
      fs::rename(file, rotated);
    }
    if (c.change == Change::kReplace) WriteFile(file, "rotated\r\n");
    log.Write(TimeEntry(), At(2026, 12, 7, 1h + 1s), ZoneFacts{});
    const auto lines = Lines(ReadFile(file));
    ASSERT_EQ(lines.size(), c.expected_lines) << c.what;
    EXPECT_EQ(lines.back().substr(0, 19), "2026-12-07 01:00:01") << c.what;
    if (c.change != Change::kDelete) {
      EXPECT_EQ(Lines(ReadFile(rotated)).size(), 6u)
          << c.what << ": the old file got lines after it was moved";
    }
  }
}

TEST(RequestLog, UnwritableFolderIsCountedNotFatal) {
  TempDir dir;
  const fs::path not_a_folder = dir.path() / "program";
  WriteFile(not_a_folder, "a file where the program folder should be");
  RequestLog log(Identity(not_a_folder));
  std::vector<LogError> reported;
  log.set_error_callback([&](LogError kind, int error_number, const fs::path&) {
    reported.push_back(kind);
    EXPECT_NE(error_number, 0);
  });
  log.Write(TimeEntry(), At(2026, 12, 7, 1h), ZoneFacts{});
  log.Write(TimeEntry(), At(2026, 12, 7, 2h), ZoneFacts{});
  EXPECT_EQ(log.error_count(), 2u);
  ASSERT_EQ(reported.size(), 1u) << "the same kind of error must be reported once";
  EXPECT_EQ(reported[0], LogError::kFolder);
  EXPECT_EQ(log.pending_bytes(), 0u) << "unwritable lines must not pile up";
}

TEST(RequestLog, DayFileNameTakenByAFolderIsAnOpenError) {
  TempDir dir;
  fs::create_directories(dir.path() / "Logs" / "MDLS071226.LOG");
  RequestLog log(Identity(dir.path()));
  LogError kind = LogError::kWrite;
  log.set_error_callback([&](LogError k, int, const fs::path&) { kind = k; });
  log.Write(TimeEntry(), At(2026, 12, 7, 1h), ZoneFacts{});
  EXPECT_EQ(log.error_count(), 1u);
  EXPECT_EQ(kind, LogError::kOpen);
}

TEST(RequestLog, LoggingOffWritesNothing) {
  TempDir dir;
  RequestLog log(Identity(dir.path()));
  log.set_enabled(false);
  log.Write(TimeEntry(), At(2026, 12, 7, 1h), ZoneFacts{});
  log.Append(TimeEntry(), At(2026, 12, 7, 1h), ZoneFacts{});
  log.Flush();
  EXPECT_FALSE(fs::exists(dir.path() / "Logs")) << "logging off still touched the disk";
  log.set_enabled(true);
  log.Write(TimeEntry(), At(2026, 12, 7, 1h), ZoneFacts{});
  EXPECT_TRUE(fs::exists(dir.path() / "Logs" / "MDLS071226.LOG"));
}

TEST(RequestLog, SwitchingOffFlushesWhatWasBuffered) {
  TempDir dir;
  RequestLog log(Identity(dir.path()));
  log.Append(TimeEntry(), At(2026, 12, 7, 1h), ZoneFacts{});
  log.set_enabled(false);
  EXPECT_EQ(Lines(ReadFile(dir.path() / "Logs" / "MDLS071226.LOG")).size(), 6u)
      << "a line accepted while logging was on got lost";
}

}  // namespace
}  // namespace mdl
