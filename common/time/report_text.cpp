// ISO 8601 and duration texts, and the JSON writer.
#include "common/time/report_text.h"

#include <cmath>
#include <cstdio>

#include "common/time/calendar.h"

namespace mdl {

std::string IsoUtcText(UtcTime t) {
  const CivilTime c = CivilFromUtc(t);
  return IsoDateText(c) + "T" + Time24Text(c) + "Z";
}

std::string DurationText(Nanoseconds d) {
  const bool negative = d.count() < 0;
  // Magnitude in nanoseconds; INT64_MIN has no positive twin, so go unsigned.
  const uint64_t ns = negative ? 0 - static_cast<uint64_t>(d.count()) : static_cast<uint64_t>(d.count());
  char buf[64];
  if (ns < 60'000'000'000ull) {
    std::snprintf(buf, sizeof buf, "%s%.1f s", negative ? "-" : "", static_cast<double>(ns) / 1e9);
    return buf;
  }
  const uint64_t s = ns / 1'000'000'000ull;
  const uint64_t days = s / 86400;
  const unsigned h = static_cast<unsigned>(s % 86400 / 3600);
  const unsigned m = static_cast<unsigned>(s % 3600 / 60);
  const unsigned sec = static_cast<unsigned>(s % 60);
  if (days > 0) {
    std::snprintf(buf, sizeof buf, "%s%llud %02u:%02u:%02u", negative ? "-" : "",
                  static_cast<unsigned long long>(days), h, m, sec);
  } else {
    std::snprintf(buf, sizeof buf, "%s%02u:%02u:%02u", negative ? "-" : "", h, m, sec);
  }
  return buf;
}

std::string JsonQuoted(std::string_view text) {
  std::string out = "\"";
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += ch;  // UTF-8 passes through
        }
    }
  }
  return out + "\"";
}

void JsonWriter::Begin(std::string_view key) {
  if (!first_.empty()) {
    if (!first_.back()) out_ += ',';
    first_.back() = false;
  }
  if (!key.empty()) out_ += JsonQuoted(key) + ':';
}

JsonWriter& JsonWriter::OpenObject(std::string_view key) {
  Begin(key);
  out_ += '{';
  first_.push_back(true);
  return *this;
}

JsonWriter& JsonWriter::CloseObject() {
  out_ += '}';
  if (!first_.empty()) first_.pop_back();
  return *this;
}

JsonWriter& JsonWriter::OpenArray(std::string_view key) {
  Begin(key);
  out_ += '[';
  first_.push_back(true);
  return *this;
}

JsonWriter& JsonWriter::CloseArray() {
  out_ += ']';
  if (!first_.empty()) first_.pop_back();
  return *this;
}

JsonWriter& JsonWriter::Null(std::string_view key) {
  Begin(key);
  out_ += "null";
  return *this;
}

JsonWriter& JsonWriter::Bool(std::string_view key, bool value) {
  Begin(key);
  out_ += value ? "true" : "false";
  return *this;
}

JsonWriter& JsonWriter::Int(std::string_view key, int64_t value) {
  Begin(key);
  out_ += std::to_string(value);
  return *this;
}

JsonWriter& JsonWriter::Uint(std::string_view key, uint64_t value) {
  Begin(key);
  out_ += std::to_string(value);
  return *this;
}

JsonWriter& JsonWriter::Double(std::string_view key, double value) {
  if (!std::isfinite(value)) return Null(key);
  Begin(key);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.9g", value);
  out_ += buf;
  return *this;
}

JsonWriter& JsonWriter::String(std::string_view key, std::string_view value) {
  Begin(key);
  out_ += JsonQuoted(value);
  return *this;
}

JsonWriter& JsonWriter::Time(std::string_view key, const std::optional<UtcTime>& t) {
  const std::string unix_key = std::string(key) + "_unix";
  if (!t) return Null(key).Null(unix_key);
  return String(key, IsoUtcText(*t)).Int(unix_key, FloorUnixSeconds(*t));
}

}  // namespace mdl
