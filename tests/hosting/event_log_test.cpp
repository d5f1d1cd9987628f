// Event lines on the console: one line per record, carriage returns and empty
// lines dropped, the optional local time stamp, whole lines from two threads.
#include "server/hosting/event_log.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "server/hosting/system_log.h"

namespace mdl::service {
namespace {

// "YYYY-MM-DD HH:MM:SS <body>".
bool IsStamped(const std::string& line, const std::string& body) {
  const std::string shape = "dddd-dd-dd dd:dd:dd ";
  if (line.size() != shape.size() + body.size() || line.substr(shape.size()) != body) return false;
  for (size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(line[i])) : line[i] != shape[i])
      return false;
  }
  return true;
}

// A console stream whose text can be read back.
class Console {
 public:
  Console() : file_(std::tmpfile()) {}
  ~Console() {
    if (file_) std::fclose(file_);
  }
  std::FILE* get() const { return file_; }
  std::string Text() const {
    std::fflush(file_);
    std::rewind(file_);
    std::string text;
    for (int c; (c = std::fgetc(file_)) != EOF;) text += static_cast<char>(c);
    return text;
  }

 private:
  std::FILE* file_;
};

TEST(EventLog, SplitsReportsIntoLinesWithoutCarriageReturns) {
  Console console;
  ASSERT_NE(console.get(), nullptr);
  {
    EventLog log("mdl-test", {.console = console.get(), .stamp_console = false, .to_syslog = false});
    log.Notice(" --- MDL Client Start [0] ");
    log.Info("Server: 127.0.0.1\r\nOffset: 0.003 s\r\n\r\n");
    log.Warning("");
  }
  EXPECT_EQ(console.Text(), " --- MDL Client Start [0] \nServer: 127.0.0.1\nOffset: 0.003 s\n");
}

TEST(EventLog, StampsConsoleLinesWithTheLocalTime) {
  Console console;
  EventLog log("mdl-test", {.console = console.get(), .stamp_console = true, .to_syslog = true});
  log.Info("MDL Server stopped");
  const std::string text = console.Text();
  ASSERT_TRUE(text.ends_with("\n")) << text;
  EXPECT_TRUE(IsStamped(text.substr(0, text.size() - 1), "MDL Server stopped")) << text;
}

TEST(EventLog, EventLogEntriesCarryOneDateTimeBeforeTheirMessage) {
  Console console;
  EventLog log("mdl-test", {.console = console.get(), .stamp_console = true, .to_syslog = false});
  log.Entry(EventLevel::kNotice, "[MDL Server installed successfully!] ");
  log.Info("a diagnostic");
  static const std::regex kLines(
      "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} --- \\[MDL Server installed successfully!\\] \n"
      "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} a diagnostic\n");
  EXPECT_TRUE(std::regex_match(console.Text(), kLines)) << console.Text();
}

// What reached the system log in a test, level and line.
std::vector<std::pair<EventLevel, std::string>> g_system_lines;

void RecordSystemLine(EventLevel level, const std::string& line) { g_system_lines.emplace_back(level, line); }

// The system log of the platform records each line's time: an entry reaches
// it once, without a second date and time, at its own priority, while the
// console keeps the stamped entry and plain lines keep their level.
TEST(EventLog, SystemLogEntriesCarryNoSecondDateTime) {
  g_system_lines.clear();
  SetSystemLogWriterForTest(&RecordSystemLine);
  Console console;
  {
    EventLog log("mdl-test", {.console = console.get(), .stamp_console = false, .to_syslog = true});
    log.Entry(EventLevel::kError, "MDL Start [1] port 37 in use\nsecond line");
    log.Entry(EventLevel::kNotice, "MDL Start [0] ");
    log.Warning("Clock could not be set");
  }
  SetSystemLogWriterForTest(nullptr);
  ASSERT_EQ(g_system_lines.size(), 4u);
  const std::string first = SystemLogEntryLine("MDL Start [1] port 37 in use");
  EXPECT_EQ(g_system_lines[0], std::make_pair(EventLevel::kError, first));
  EXPECT_EQ(g_system_lines[1], std::make_pair(EventLevel::kError, std::string("second line")));
  EXPECT_EQ(g_system_lines[2].first, EventLevel::kNotice);
  EXPECT_EQ(g_system_lines[3], std::make_pair(EventLevel::kWarning, std::string("Clock could not be set")));
  if (SystemLogKeepsTime()) {  // syslog and the journal
    EXPECT_EQ(first, "MDL Start [1] port 37 in use");
    EXPECT_EQ(g_system_lines[2].second, "MDL Start [0] ");
  } else {  // the Windows event log keeps the entry's own stamp
    EXPECT_TRUE(IsStamped(g_system_lines[2].second, "--- MDL Start [0] ")) << g_system_lines[2].second;
  }
  // The console keeps the one stamp of each entry.
  static const std::regex kConsole(
      "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} --- MDL Start \\[1\\] port 37 in use\n"
      "second line\n"
      "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} --- MDL Start \\[0\\] \n"
      "Clock could not be set\n");
  EXPECT_TRUE(std::regex_match(console.Text(), kConsole)) << console.Text();
}

TEST(EventLog, LinesFromTwoThreadsStayWhole) {
  Console console;
  constexpr int kEach = 200;
  const std::string a(300, 'a'), b(300, 'b');
  {
    EventLog log("mdl-test", {.console = console.get(), .stamp_console = true, .to_syslog = false});
    std::thread other([&] {
      for (int i = 0; i < kEach; ++i) log.Info(b);
    });
    for (int i = 0; i < kEach; ++i) log.Error(a);
    other.join();
  }
  std::string text = console.Text();
  int lines = 0;
  for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1, ++lines) {
    const std::string line = text.substr(start, end - start);
    ASSERT_TRUE(IsStamped(line, a) || IsStamped(line, b)) << "line " << lines << " was torn";
  }
  EXPECT_EQ(lines, 2 * kEach);
}

TEST(EventLog, HostileBytesAreEscapedAndLongLinesCut) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {std::string("a\0b", 3), "a\\x00b"},
      {"bell\x07 tab\t esc\x1b[31m del\x7f", "bell\\x07 tab\\x09 esc\\x1B[31m del\\x7F"},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
       "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},  // valid UTF-8 kept
      {"bad \xff \xc3 \xc0\xaf \xed\xa0\x80 \xf4\x90\x80\x80",
       "bad \\xFF \\xC3 \\xC0\\xAF \\xED\\xA0\\x80 \\xF4\\x90\\x80\\x80"},
      {"c1 \xc2\x9b", "c1 \\xC2\\x9B"},
  };
  for (const Case& c : cases) EXPECT_EQ(CleanEventLine(c.in), c.out);

  const std::string cut = CleanEventLine(std::string(1'000'000, 'h'));
  EXPECT_EQ(cut, std::string(kMaxEventLineBytes, 'h') + std::string(kCutMark));
  // The cut never splits a character or an escape.
  const std::string mixed = CleanEventLine(std::string(999, 'x') + "\xc3\xa9" + std::string(10, 'y'));
  EXPECT_EQ(mixed, std::string(999, 'x') + std::string(kCutMark));
  const std::string escaped = CleanEventLine(std::string(998, 'x') + "\x01" + "y");
  EXPECT_EQ(escaped, std::string(998, 'x') + std::string(kCutMark));
  EXPECT_EQ(CleanEventLine(std::string(kMaxEventLineBytes, 'z')), std::string(kMaxEventLineBytes, 'z'));
}

TEST(EventLog, FormatCharactersThatReorderOrHideTextAreEscaped) {
  // Each as UTF-8, and its escape.
  const std::pair<std::string, std::string> hidden[] = {
      {"\u061C", "\\u061C"}, {"\u200B", "\\u200B"}, {"\u200E", "\\u200E"}, {"\u200F", "\\u200F"},
      {"\u2028", "\\u2028"}, {"\u2029", "\\u2029"}, {"\u202A", "\\u202A"}, {"\u202E", "\\u202E"},
      {"\u2060", "\\u2060"}, {"\u2064", "\\u2064"}, {"\u2066", "\\u2066"}, {"\u2069", "\\u2069"},
      {"\uFEFF", "\\uFEFF"}, {"\uFFF9", "\\uFFF9"},
  };
  for (const auto& [in, out] : hidden) EXPECT_EQ(CleanEventLine("a" + in + "b"), "a" + out + "b") << out;
  // A version text that would show as "...exe.gnp" reversed in a viewer.
  EXPECT_EQ(CleanEventLine("update 5.1.10 from host\u202Egnp.exe\u202C"),
            "update 5.1.10 from host\\u202Egnp.exe\\u202C");
  // Neighbours and ordinary text of any script stay as they are.
  const std::string plain =
      "\u200A\u2010\u2027\u202F\u205F\u2065\u2070\uFEFE\uFFFC \u0627\u0644\u0639\u0631\u0628\u064A\u0629 "
      "\u05E2\u05D1\u05E8\u05D9\u05EA \u65E5\u672C \u00E9\u00A0\u2026 \U0001F600";
  EXPECT_EQ(CleanEventLine(plain), plain);
  // The escapes count towards the cut, which never splits one.
  std::string many;
  for (int i = 0; i < 400; ++i) many += "\u202E";  // 3 bytes in, 6 out
  const std::string cut = CleanEventLine(many);
  EXPECT_EQ(cut.size(), 166 * 6 + kCutMark.size());
  EXPECT_TRUE(cut.ends_with("\\u202E" + std::string(kCutMark))) << cut.substr(cut.size() - 20);

  Console console;
  ASSERT_NE(console.get(), nullptr);
  {
    EventLog log("mdl-test", {.console = console.get(), .stamp_console = false, .to_syslog = true});
    log.Warning("version file: MDL-:-5.1.10\u202E\u2066-:-2026");
  }
  EXPECT_EQ(console.Text(), "version file: MDL-:-5.1.10\\u202E\\u2066-:-2026\n");
}

TEST(EventLog, Utf8SequencesAndControlCharacters) {
  EXPECT_EQ(Utf8SequenceLength("a"), 1u);
  EXPECT_EQ(Utf8SequenceLength("\u00E9x"), 2u);
  EXPECT_EQ(Utf8SequenceLength("\u20AC"), 3u);
  EXPECT_EQ(Utf8SequenceLength("\U0010FFFF"), 4u);
  for (const char* bad :
       {"", "\x80", "\xc3", "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xff"})
    EXPECT_EQ(Utf8SequenceLength(bad), 0u) << ::testing::PrintToString(bad);
  for (const char* control : {"\x01", "\x1f", "\x7f", "\xc2\x80", "\xc2\x9f"})
    EXPECT_TRUE(IsControlCharacter(control));
  for (const char* text : {" ", "~", "\xc2\xa0", "\u202E", "\U0001F600"})
    EXPECT_FALSE(IsControlCharacter(text));
}

TEST(EventLog, ConsoleGetsCleanBoundedLines) {
  Console console;
  ASSERT_NE(console.get(), nullptr);
  {
    EventLog log("mdl-test", {.console = console.get(), .stamp_console = false, .to_syslog = false});
    log.Warning(std::string("host \0\xff", 7) + std::string(5000, 'a'));
    std::string many;
    for (int i = 0; i < 200; ++i) many += "line\n";
    log.Info(many);
  }
  const std::string text = console.Text();
  std::vector<std::string> lines;
  for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  ASSERT_EQ(lines.size(), 1 + kMaxEventLines + 1);
  EXPECT_TRUE(lines[0].starts_with("host \\x00\\xFF")) << lines[0].substr(0, 40);
  EXPECT_LE(lines[0].size(), kMaxEventLineBytes + kCutMark.size());
  EXPECT_EQ(text.find('\0'), std::string::npos);
  EXPECT_EQ(lines.back(), "\u2026(150 more lines cut)");
}

}  // namespace
}  // namespace mdl::service
