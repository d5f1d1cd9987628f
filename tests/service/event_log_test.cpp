// Event lines on the console: one line per record, carriage returns and empty
// lines dropped, the optional local time stamp, whole lines from two threads.
#include "server/service/event_log.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <string>
#include <thread>

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

}  // namespace
}  // namespace mdl::service
