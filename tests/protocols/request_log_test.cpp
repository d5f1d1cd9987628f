// Request log: line layout, cs-bytes, local dates and the daily file.
#include "server/serving/request_log.h"

#include <gtest/gtest.h>

#include <sstream>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <vector>

#include "common/files/safe_file.h"

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
            "Time UDP - - \r\n");
  const LogEntry mdl{"MDLSC5", "10.0.0.9", 3777, 24, "MDL Server Client", "TCP"};
  EXPECT_EQ(FormatLogLine(mdl, LocalDateTime{2002, 1, 2, 3, 4, 5}, "h", "10.0.0.1"),
            "2002-01-02 03:04:05 10.0.0.9 - MDLS5 h 10.0.0.1 GET TIME - 0 0 24 6 0 3777 "
            "MDL+Server+Client TCP - - \r\n")
      << "blanks inside a field are written as '+'";
}

TEST(FormatLogLine, EveryLineHasAValueForEachFieldName) {
  size_t names = 0;
  std::istringstream fields_line(std::string(kFields).substr(std::string("#Fields:").size()));
  for (std::string w; fields_line >> w;) ++names;
  const LogEntry entries[] = {TimeEntry(),
                              {"", "", 0, 0, "", ""},
                              {"48 Bytes NTP...", "::1", 123, 0, "NTPv4", "UDP", 48, kLogNotServed}};
  for (const LogEntry& e : entries) {
    std::istringstream line(FormatLogLine(e, LocalDateTime{}, "h", "10.0.0.1"));
    size_t values = 0;
    for (std::string w; line >> w;) ++values;
    EXPECT_EQ(values, names) << "a W3C reader refuses a line whose values do not match #Fields";
  }
  EXPECT_NE(FormatLogLine(entries[2], LocalDateTime{}, "h", "i").find(" GET TIME - 503 0 0 48 "),
            std::string::npos)
      << "an unanswered request: its status, nothing sent";
}

TEST(FormatLogLine, ControlCharactersCannotSplitALine) {
  const LogEntry entry{"x", "1.2.3.4\r\nforged", 13, 1, "DayTime", ""};
  const std::string line = FormatLogLine(entry, LocalDateTime{}, "host\n", "ip");
  EXPECT_EQ(line.find('\n'), line.size() - 1) << "line: " << line;
  EXPECT_NE(line.find("1.2.3.4??forged"), std::string::npos) << line;
  EXPECT_NE(line.find("DayTime - - - \r\n"), std::string::npos) << "empty field not written as '-': " << line;
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
            "Time UDP - - ");
  EXPECT_EQ(lines[6].substr(0, 19), "2026-12-07 10:11:13");
  EXPECT_EQ(log.error_count(), 0u);
}

TEST(RequestLog, EachLineHasItsOwnSecondAndZoneAsTheFormatterWritesIt) {
  TempDir dir;
  RequestLog log(Identity(dir.path()));
  ZoneFacts summer;
  summer.bias_minutes = -60;
  summer.daylight = true;
  summer.daylight_bias_minutes = -60;
  const UtcTime t = At(2026, 12, 7, 10h + 11min + 12s);
  LogEntry tcp = TimeEntry();
  tcp.mdl_type = "TCP";
  log.Append(TimeEntry(), t + 100ms, ZoneFacts{});
  log.Append(tcp, t + 900ms, ZoneFacts{});       // the same second
  log.Append(TimeEntry(), t + 950ms, summer);    // the zone changed within it
  log.Append(TimeEntry(), t - 1s, ZoneFacts{});  // the clock stepped back
  log.Append(TimeEntry(), t + 1s, ZoneFacts{});
  log.Flush();
  const auto lines = Lines(ReadFile(dir.path() / "Logs" / "MDLS071226.LOG"));
  ASSERT_EQ(lines.size(), 10u);
  const LogIdentity id = Identity(dir.path());
  auto formatted = [&](const LogEntry& e, UtcTime at, const ZoneFacts& z) {
    std::string line = FormatLogLine(e, LogLocalTime(at, z), id.host_name, id.host_ip);
    return line.substr(0, line.size() - 2);
  };
  EXPECT_EQ(lines[5], formatted(TimeEntry(), t, ZoneFacts{}));
  EXPECT_EQ(lines[6], formatted(tcp, t, ZoneFacts{}));
  EXPECT_EQ(lines[7].substr(0, 19), "2026-12-07 12:11:12") << "bias and daylight bias both apply";
  EXPECT_EQ(lines[8].substr(0, 19), "2026-12-07 10:11:11");
  EXPECT_EQ(lines[9].substr(0, 19), "2026-12-07 10:11:13");
}

TEST(RequestLog, LinesInARunDifferingInAnyLaterFieldEachKeepTheirOwn) {
  // Consecutive lines share most of their text; every field that differs
  // must still show, in the formatter's exact bytes.
  TempDir dir;
  RequestLog log(Identity(dir.path()));
  const UtcTime t = At(2026, 12, 7, 10h);
  const LogEntry ntp{"48 Bytes NTP", "192.0.2.5", 123, 48, "NTPv4", "UDP"};
  std::vector<LogEntry> entries(9, ntp);
  entries[1].req_port = 1123;
  entries[2].sent_b = 0;
  entries[2].byte_tot = 52;
  entries[3].status = kLogNotServed;
  entries[4].mdl_type = "TCP";
  entries[5].mdl_code = "NTP v4";  // a blank becomes '+'
  entries[6].request_ip = "192.0.2.66";
  entries[7] = TimeEntry();
  for (const LogEntry& e : entries) log.Append(e, t, ZoneFacts{});
  log.Flush();
  const auto lines = Lines(ReadFile(dir.path() / "Logs" / "MDLS071226.LOG"));
  ASSERT_EQ(lines.size(), 5u + entries.size());
  const LogIdentity id = Identity(dir.path());
  for (size_t i = 0; i < entries.size(); ++i) {
    const std::string line =
        FormatLogLine(entries[i], LogLocalTime(t, ZoneFacts{}), id.host_name, id.host_ip);
    EXPECT_EQ(lines[5 + i], line.substr(0, line.size() - 2)) << i;
  }
  EXPECT_NE(lines[10].find(" 48 12 0 123 NTP+v4 UDP - - "), std::string::npos) << lines[10];
  EXPECT_EQ(lines[13], lines[5]) << "the first entry again, after all the others";
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

struct Report {
  LogError kind;
  int error_number;
};

std::vector<Report>* Capture(RequestLog& log, std::vector<Report>& reports) {
  log.set_error_callback([&reports](LogError kind, int error_number, const fs::path&) {
    reports.push_back({kind, error_number});
  });
  return &reports;
}

TEST(RequestLog, PlantedLinksAreRefusedAndReportedNotFollowed) {
  struct Case {
    const char* what;
    LogError kind;
  };
  for (const Case c : {Case{"day file linked to another file", LogError::kOpen},
                       Case{"dangling day file link", LogError::kOpen},
                       Case{"Logs linked to another folder", LogError::kFolder},
                       Case{"day file with a second hard link", LogError::kOpen}}) {
    TempDir dir;
    const fs::path elsewhere = dir.path() / "elsewhere";
    fs::create_directories(elsewhere);
    const fs::path target = elsewhere / "target";
    const std::string what = c.what;
    if (what.starts_with("Logs")) {
      fs::create_directory_symlink(elsewhere, dir.path() / "Logs");
    } else {
      fs::create_directories(dir.path() / "Logs");
      const fs::path day = dir.path() / "Logs" / "MDLS071226.LOG";
      if (what.starts_with("dangling")) {
        fs::create_symlink(target, day);
      } else {
        WriteFile(target, "precious\n");
        if (what.find("hard") != std::string::npos) {
          fs::create_hard_link(target, day);
        } else {
          fs::create_symlink(target, day);
        }
      }
    }
    RequestLog log(Identity(dir.path()));
    std::vector<Report> reports;
    Capture(log, reports);
    log.Write(TimeEntry(), At(2026, 12, 7, 1h), ZoneFacts{});
    ASSERT_EQ(reports.size(), 1u) << what;
    EXPECT_EQ(reports[0].kind, c.kind) << what;
    EXPECT_NE(DescribeLogError(reports[0].kind, reports[0].error_number, "x").find("cannot"),
              std::string::npos);
    if (what.starts_with("dangling") || what.starts_with("Logs")) {
      EXPECT_FALSE(fs::exists(target)) << what << ": the link's target was created";
      EXPECT_FALSE(fs::exists(elsewhere / "MDLS071226.LOG")) << what;
    } else {
      EXPECT_EQ(ReadFile(target), "precious\n") << what << ": written through the link";
    }
  }
}

// A disk that takes only part of a write, then nothing, while `full` is set.
bool g_disk_full = false;
ssize_t FullDiskWrite(int fd, const void* data, size_t size) {
  static bool took_part = false;
  if (!g_disk_full) return ::write(fd, data, size);
  if (!took_part && size > 10) {
    took_part = true;
    return ::write(fd, data, size / 2);
  }
  took_part = false;
  errno = ENOSPC;
  return -1;
}

class FullDisk {
 public:
  FullDisk() { files::SetWriteFunctionForTest(&FullDiskWrite); }
  ~FullDisk() {
    g_disk_full = false;
    files::SetWriteFunctionForTest(nullptr);
  }
};

TEST(RequestLog, FullDiskLeavesOnlyWholeLinesAndIsReportedAgainWhenItRecurs) {
  FullDisk disk;
  TempDir dir;
  RequestLog log(Identity(dir.path()));
  std::vector<Report> reports;
  Capture(log, reports);
  const fs::path file = dir.path() / "Logs" / "MDLS071226.LOG";
  const auto write_at = [&](std::chrono::nanoseconds t) {
    log.Write(TimeEntry(), At(2026, 12, 7, t), ZoneFacts{});
  };

  write_at(1h);
  g_disk_full = true;
  write_at(1h + 1s);
  write_at(1h + 2s);
  ASSERT_EQ(reports.size(), 1u) << "a lasting failure is reported once";
  EXPECT_EQ(reports[0].kind, LogError::kWrite);
  EXPECT_EQ(reports[0].error_number, ENOSPC);
  EXPECT_EQ(Lines(ReadFile(file)).size(), 6u) << "a cut line was left in the file";

  g_disk_full = false;
  write_at(1h + 3s);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[1].kind, LogError::kRecovered);
  const auto lines = Lines(ReadFile(file));
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[6].substr(0, 19), "2026-12-07 01:00:03");

  // Again within the minute: counted, not reported; later: reported again.
  g_disk_full = true;
  write_at(1h + 10s);
  g_disk_full = false;
  write_at(1h + 11s);
  EXPECT_EQ(reports.size(), 2u) << "a flapping disk must not flood the reports";
  g_disk_full = true;
  write_at(1h + 5min);
  ASSERT_EQ(reports.size(), 3u) << "a failure that recurs later must be reported again";
  EXPECT_EQ(reports[2].kind, LogError::kWrite);
  EXPECT_EQ(log.error_count(), 4u);
}

TEST(RequestLog, FileEndingInACutLineGetsALineEndFirst) {
  TempDir dir;
  fs::create_directories(dir.path() / "Logs");
  const fs::path file = dir.path() / "Logs" / "MDLS071226.LOG";
  WriteFile(file, "#Software Service: cut off mid-li");
  RequestLog log(Identity(dir.path()));
  log.Write(TimeEntry(), At(2026, 12, 7, 1h), ZoneFacts{});
  const auto lines = Lines(ReadFile(file));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].substr(0, 19), "2026-12-07 01:00:00");
}

LogEntry Rejected(std::string_view from) { return {"1 Bytes NTP ERROR: 0", from, 123, 0, "NTPv4", "UDP", 1}; }

TEST(RequestLog, RejectedRequestLinesAreLimitedPerAddressAndCountedInARemark) {
  TempDir dir;
  RequestLog log(Identity(dir.path()));
  log.set_error_line_budget(6, 5);
  const UtcTime start = At(2026, 12, 7, 1h);
  for (int i = 0; i < 1000; ++i)
    log.Append(Rejected("198.51.100.7"), start + std::chrono::milliseconds(i), {});
  // Real traffic from the same address and errors of another one still go in.
  for (int i = 0; i < 3; ++i) log.Append(TimeEntry(), start + 1s, {});
  log.Append(Rejected("198.51.100.8"), start + 1s, {});
  log.Flush();
  const fs::path file = dir.path() / "Logs" / "MDLS071226.LOG";
  auto lines = Lines(ReadFile(file));
  ASSERT_EQ(lines.size(), 5u + 5 + 3 + 1);
  EXPECT_EQ(log.suppressed_lines(), 995u);

  // About 10 s at 6 a minute later, one more line of the flooding address is allowed.
  log.Write(Rejected("198.51.100.7"), start + 11s, {});
  log.Write(Rejected("198.51.100.7"), start + 11s, {});
  EXPECT_EQ(Lines(ReadFile(file)).size(), 15u);

  // The remark comes with the first line after a minute of suppression.
  log.Write(TimeEntry(), start + 61s, {});
  lines = Lines(ReadFile(file));
  ASSERT_EQ(lines.size(), 17u);
  EXPECT_EQ(lines[15],
            "#Remark: 996 lines of rejected requests left out (per-address limit) since 2026-12-07 01:00:00");
  EXPECT_EQ(lines[16].substr(0, 19), "2026-12-07 01:01:01");
}

TEST(RequestLog, SuppressedCountIsWrittenWhenTheLogCloses) {
  TempDir dir;
  {
    RequestLog log(Identity(dir.path()));
    log.set_error_line_budget(0, 1);
    log.Write(Rejected("192.0.2.77"), At(2026, 12, 7, 1h), {});
    log.Write(Rejected("192.0.2.77"), At(2026, 12, 7, 1h), {});
    log.Write(Rejected("192.0.2.77"), At(2026, 12, 7, 1h), {});
  }
  const auto lines = Lines(ReadFile(dir.path() / "Logs" / "MDLS071226.LOG"));
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_TRUE(lines[6].starts_with("#Remark: 2 lines of rejected requests")) << lines[6];
}

TEST(RequestLog, DayFileStopsAtItsSizeLimitWithARemarkUntilTheNextDay) {
  TempDir dir;
  const fs::path file = dir.path() / "Logs" / "MDLS071226.LOG";
  constexpr uint64_t kLimit = 2000;
  std::vector<Report> reports;
  {
    RequestLog log(Identity(dir.path()));
    log.set_max_day_bytes(kLimit);
    Capture(log, reports);
    for (int i = 0; i < 30; ++i) log.Write(TimeEntry(), At(2026, 12, 7, 1h + std::chrono::seconds(i)), {});
    // One batch larger than the room left is cut at a line end too.
    log.Write(TimeEntry(), At(2026, 12, 8, 1h), {});
    for (int i = 0; i < 30; ++i) log.Append(TimeEntry(), At(2026, 12, 8, 2h), {});
    log.Flush();
  }
  const std::string text = ReadFile(file);
  EXPECT_LE(text.size(), kLimit);
  EXPECT_GT(text.size(), kLimit - 200);
  const auto lines = Lines(text);
  EXPECT_EQ(lines.back(), "#Remark: size limit of 2000 bytes reached; no more lines until the next day");
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].kind, LogError::kDayCap);
  const std::string next = ReadFile(dir.path() / "Logs" / "MDLS081226.LOG");
  EXPECT_LE(next.size(), kLimit);
  EXPECT_TRUE(Lines(next).back().starts_with("#Remark: size limit")) << "the cap must hold within one batch";

  // A restart on the same day keeps to the limit.
  RequestLog again(Identity(dir.path()));
  again.set_max_day_bytes(kLimit);
  again.Write(TimeEntry(), At(2026, 12, 7, 3h), {});
  EXPECT_EQ(ReadFile(file), text);
}

}  // namespace
}  // namespace mdl
