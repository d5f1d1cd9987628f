// The programs' event lines: each line to syslog and, in the foreground, to a
// console stream (stderr), optionally after a local "YYYY-MM-DD HH:MM:SS" stamp.
// Safe to use from the engine's thread and the main thread at once.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

namespace mdl::service {

enum class EventLevel { kError, kWarning, kNotice, kInfo };

// Longest line written (before the cut mark) and most lines per Write.
inline constexpr size_t kMaxEventLineBytes = 1000;
inline constexpr size_t kMaxEventLines = 50;
inline constexpr std::string_view kCutMark = "\u2026(cut)";

// One line as it is written: control characters (C0, DEL, C1) and bytes that
// are not valid UTF-8 become \xNN, and the format characters that reorder or
// hide text (bidirectional controls, zero-width characters, U+2028/U+2029,
// U+FEFF, ...) \uXXXX; cut at kMaxEventLineBytes with kCutMark.
std::string CleanEventLine(std::string_view line);

// Length of the valid UTF-8 sequence that starts `text` (no overlong form, no
// surrogate, at most U+10FFFF); 0 when none does.
size_t Utf8SequenceLength(std::string_view text);

// Whether one valid UTF-8 sequence is a control character: C0, DEL or C1.
bool IsControlCharacter(std::string_view sequence);

// "<local YYYY-MM-DD HH:MM:SS> --- <message>": an entry of the service host's
// event log (install, start and stop lines).
std::string StampedEventLine(std::string_view message);

// An entry as the system log gets it: without the date and time where that
// log records its own (syslog and the journal), stamped where it does not show
// one in the entry's text (the Windows event log).
std::string SystemLogEntryLine(std::string_view message);

// Whether stderr leads into the journal (a program started by systemd), which
// syslog reaches already: the console copy would double every line there.
bool StderrIsJournal();

struct EventLogOptions {
  std::FILE* console = nullptr;  // e.g. stderr in the foreground; nullptr: syslog only
  bool stamp_console = false;    // local date and time before each console line
  bool to_syslog = true;
};

// Where system log lines go instead of the system log (tests); nullptr: the system log.
using SystemLogWriter = void (*)(EventLevel level, const std::string& line);
void SetSystemLogWriterForTest(SystemLogWriter writer);

class EventLog {
 public:
  // Opens syslog as `ident` (with the process id, daemon facility).
  EventLog(std::string ident, EventLogOptions options);
  ~EventLog();
  EventLog(const EventLog&) = delete;
  EventLog& operator=(const EventLog&) = delete;

  // Writes `text`, one record per line: CR are dropped, empty lines skipped,
  // each line cleaned; lines past kMaxEventLines are counted in a last line.
  void Write(EventLevel level, std::string_view text);
  void Info(std::string_view text) { Write(EventLevel::kInfo, text); }
  void Notice(std::string_view text) { Write(EventLevel::kNotice, text); }
  void Warning(std::string_view text) { Write(EventLevel::kWarning, text); }
  void Error(std::string_view text) { Write(EventLevel::kError, text); }
  // One entry of the event log proper: StampedEventLine(message) on the
  // console (without a second stamp), SystemLogEntryLine(message) in the
  // system log, so that the journal shows one date and time, its own.
  void Entry(EventLevel level, std::string_view message);

 private:
  struct Sinks {
    bool system_log;
    bool console;
    bool stamp_console;
  };
  void WriteLines(EventLevel level, std::string_view text, Sinks sinks);

  std::string ident_;  // syslog keeps the pointer: it must outlive closelog()
  EventLogOptions options_;
  std::mutex console_mutex_;
};

}  // namespace mdl::service
