// Texts that status reports share: UTC instants in ISO 8601, durations, and
// a small JSON writer (no dependency, strings escaped).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/time/utc_time.h"

namespace mdl {

// "2026-12-10T12:34:56Z" (seconds rounded towards the past).
std::string IsoUtcText(UtcTime t);
// "3d 04:05:06", "04:05:06" or "12.3 s" below a minute; negative durations get a "-".
std::string DurationText(Nanoseconds d);

// Writes one JSON value. Keys go with every value inside an object and are
// left empty inside an array. Non-finite numbers are written as null.
class JsonWriter {
 public:
  JsonWriter& OpenObject(std::string_view key = {});
  JsonWriter& CloseObject();
  JsonWriter& OpenArray(std::string_view key = {});
  JsonWriter& CloseArray();
  JsonWriter& Null(std::string_view key);
  JsonWriter& Bool(std::string_view key, bool value);
  JsonWriter& Int(std::string_view key, int64_t value);
  JsonWriter& Uint(std::string_view key, uint64_t value);
  JsonWriter& Double(std::string_view key, double value);
  JsonWriter& String(std::string_view key, std::string_view value);
  // "key": "ISO" and "key_unix": seconds, or both null.
  JsonWriter& Time(std::string_view key, const std::optional<UtcTime>& t);

  const std::string& text() const { return out_; }

 private:
  void Begin(std::string_view key);
  std::string out_;
  std::vector<bool> first_;  // per open container: nothing written in it yet
};

// `text` as a JSON string literal, quotes included.
std::string JsonQuoted(std::string_view text);

}  // namespace mdl
