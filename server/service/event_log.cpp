// Event lines to the system log and the console.
#include "server/service/event_log.h"

#include <ctime>

#include "server/service/system_log.h"

namespace mdl::service {

namespace {

std::string LocalStamp() {
  const std::tm local = LocalTimeOf(std::time(nullptr));
  char buf[32];
  const size_t n = ::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S ", &local);
  return std::string(buf, n);
}

// Length of the valid UTF-8 sequence at text[0], 0 when it is not one.
size_t Utf8Length(std::string_view text) {
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

void AppendEscaped(std::string& out, std::string_view bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    out += "\\x";
    out += kHex[u >> 4];
    out += kHex[u & 0xF];
  }
}

}  // namespace

std::string StampedEventLine(std::string_view message) {
  std::string stamp = LocalStamp();  // ends in a blank
  stamp.pop_back();
  return stamp + " --- " + std::string(message);
}

std::string CleanEventLine(std::string_view line) {
  std::string out;
  std::string piece;
  while (!line.empty()) {
    piece.clear();
    const size_t length = Utf8Length(line);
    const auto lead = static_cast<unsigned char>(line[0]);
    const bool control = lead < 0x20 || lead == 0x7F ||
                         (length == 2 && lead == 0xC2 && static_cast<unsigned char>(line[1]) < 0xA0);
    const size_t used = length == 0 ? 1 : length;
    if (length == 0 || control) {
      AppendEscaped(piece, line.substr(0, used));
    } else {
      piece.assign(line.substr(0, used));
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

void EventLog::Write(EventLevel level, std::string_view text) { WriteLines(level, text, options_.stamp_console); }

void EventLog::Entry(EventLevel level, std::string_view message) {
  WriteLines(level, StampedEventLine(message), false);
}

void EventLog::WriteLines(EventLevel level, std::string_view text, bool stamp_console) {
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
    if (options_.to_syslog) WriteSystemLog(level, line);
    if (options_.console) {
      const std::string out = (stamp_console ? LocalStamp() : std::string()) + line + "\n";
      std::lock_guard lock(console_mutex_);
      std::fwrite(out.data(), 1, out.size(), options_.console);
      std::fflush(options_.console);
    }
  }
}

}  // namespace mdl::service
