// Event lines to the system log and the console.
#include "server/hosting/event_log.h"

#include <atomic>
#include <ctime>

#include "common/clock/system_clock.h"
#include "server/hosting/system_log.h"

namespace mdl::service {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

std::atomic<SystemLogWriter> g_system_log_writer{nullptr};

std::string LocalStamp() {
  const std::tm local = LocalTimeOf(static_cast<std::time_t>(FloorUnixSeconds(SystemNow())));
  char buf[32];
  const size_t n = ::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S ", &local);
  return std::string(buf, n);
}

void AppendEscaped(std::string& out, std::string_view bytes) {
  for (char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    out += "\\x";
    out += kHex[u >> 4];
    out += kHex[u & 0xF];
  }
}

// The code point of one valid UTF-8 sequence.
char32_t CodePointOf(std::string_view sequence) {
  const auto at = [&](size_t i) { return static_cast<unsigned char>(sequence[i]); };
  if (sequence.size() == 1) return at(0);
  char32_t point = at(0) & (0xFF >> (sequence.size() + 1));
  for (size_t i = 1; i < sequence.size(); ++i) point = (point << 6) | (at(i) & 0x3F);
  return point;
}

// Format characters that reorder or hide the text around them, and the Unicode
// line and paragraph separators: a viewer would show a line other than the one written.
bool IsFormatControl(char32_t c) {
  return c == 0x061C || (c >= 0x200B && c <= 0x200F) || (c >= 0x2028 && c <= 0x202E) ||
         (c >= 0x2060 && c <= 0x2064) || (c >= 0x2066 && c <= 0x206F) || c == 0xFEFF ||
         (c >= 0xFFF9 && c <= 0xFFFB);
}

}  // namespace

size_t Utf8SequenceLength(std::string_view text) {
  if (text.empty()) return 0;
  const auto at = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = at(0);
  if (lead < 0x80) return 1;
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  if (at(1) < low || at(1) > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (at(i) < 0x80 || at(i) > 0xBF) return 0;
  }
  return length;
}

bool IsControlCharacter(std::string_view sequence) {
  if (sequence.empty()) return false;
  const char32_t c = CodePointOf(sequence);
  return c < 0x20 || (c >= 0x7F && c < 0xA0);
}

std::string StampedEventLine(std::string_view message) {
  std::string stamp = LocalStamp();  // ends in a blank
  stamp.pop_back();
  return stamp + " --- " + std::string(message);
}

void SetSystemLogWriterForTest(SystemLogWriter writer) { g_system_log_writer = writer; }

std::string SystemLogEntryLine(std::string_view message) {
  return SystemLogKeepsTime() ? std::string(message) : StampedEventLine(message);
}

std::string CleanEventLine(std::string_view line) {
  std::string out;
  std::string piece;
  while (!line.empty()) {
    piece.clear();
    const size_t length = Utf8SequenceLength(line);
    const size_t used = length == 0 ? 1 : length;
    const std::string_view sequence = line.substr(0, used);
    if (length == 0 || IsControlCharacter(sequence)) {
      AppendEscaped(piece, sequence);
    } else if (const char32_t c = CodePointOf(sequence); IsFormatControl(c)) {
      piece = "\\u";
      for (int shift = 12; shift >= 0; shift -= 4) piece += kHex[(c >> shift) & 0xF];
    } else {
      piece.assign(sequence);
    }
    if (out.size() + piece.size() > kMaxEventLineBytes) {
      out += kCutMark;
      return out;
    }
    out += piece;
    line.remove_prefix(used);
  }
  return out;
}

EventLog::EventLog(std::string ident, EventLogOptions options) : ident_(std::move(ident)), options_(options) {
  if (options_.to_syslog) OpenSystemLog(ident_);
}

EventLog::~EventLog() {
  if (options_.to_syslog) CloseSystemLog();
}

void EventLog::Write(EventLevel level, std::string_view text) {
  WriteLines(level, text,
             {.system_log = options_.to_syslog, .console = true, .stamp_console = options_.stamp_console});
}

void EventLog::Entry(EventLevel level, std::string_view message) {
  const std::string stamped = StampedEventLine(message);
  const std::string system_line = SystemLogEntryLine(message);
  if (system_line == stamped) {
    WriteLines(level, stamped, {.system_log = options_.to_syslog, .console = true, .stamp_console = false});
    return;
  }
  WriteLines(level, system_line,
             {.system_log = options_.to_syslog, .console = false, .stamp_console = false});
  WriteLines(level, stamped, {.system_log = false, .console = true, .stamp_console = false});
}

void EventLog::WriteLines(EventLevel level, std::string_view text, Sinks sinks) {
  size_t lines = 0;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string raw(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    std::erase(raw, '\r');
    if (raw.empty()) continue;
    std::string line;
    if (++lines > kMaxEventLines) {
      size_t rest = 1;
      for (size_t at = 0; (at = text.find('\n', at)) != std::string_view::npos; ++at) ++rest;
      line = "\u2026(" + std::to_string(rest) + " more lines cut)";
      text = {};
    } else {
      line = CleanEventLine(raw);
    }
    if (sinks.system_log) {
      if (const SystemLogWriter writer = g_system_log_writer.load()) {
        writer(level, line);
      } else {
        WriteSystemLog(level, line);
      }
    }
    if (sinks.console && options_.console) {
      const std::string out = (sinks.stamp_console ? LocalStamp() : std::string()) + line + "\n";
      std::lock_guard lock(console_mutex_);
      std::fwrite(out.data(), 1, out.size(), options_.console);
      std::fflush(options_.console);
    }
  }
}

}  // namespace mdl::service
