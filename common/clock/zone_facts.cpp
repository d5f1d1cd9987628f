// System zone facts through localtime_r.
#include "common/clock/zone_facts.h"

#include <time.h>

#include <optional>

namespace mdl {
namespace {

struct Offset {
  long east_seconds = 0;
  std::string name;
};

struct Probe {
  bool valid = false;
  bool dst = false;
  Offset offset;
};

Probe LocalAt(int64_t unix_seconds) {
  const auto tt = static_cast<time_t>(unix_seconds);
  struct tm parts = {};
  if (localtime_r(&tt, &parts) == nullptr) return Probe{};
  return Probe{true, parts.tm_isdst > 0,
               Offset{parts.tm_gmtoff, parts.tm_zone != nullptr ? parts.tm_zone : ""}};
}

// The nearest offset within about a year of `unix_seconds` whose DST state is
// `dst`, looked for month by month on both sides.
std::optional<Offset> NearbyOffset(int64_t unix_seconds, bool dst) {
  constexpr int64_t kMonth = 30 * 86400;
  for (int64_t k = 1; k <= 13; ++k) {
    for (const int64_t at : {unix_seconds - k * kMonth, unix_seconds + k * kMonth}) {
      const Probe p = LocalAt(at);
      if (p.valid && p.dst == dst) return p.offset;
    }
  }
  return std::nullopt;
}

std::string NameOr(const std::string& name, const char* fallback) {
  if (!name.empty()) return name;
  return fallback != nullptr ? fallback : "";
}

}  // namespace

ZoneFacts ZoneFactsAt(UtcTime t) {
  tzset();
  const int64_t now = FloorUnixSeconds(t);
  ZoneFacts facts;
  const Probe here = LocalAt(now);
  if (!here.valid) return facts;  // out of the platform's range: plain UTC

  std::optional<Offset> standard;
  std::optional<Offset> daylight;
  if (here.dst) {
    daylight = here.offset;
    standard = NearbyOffset(now, false);
    // A zone on permanent DST: fall back to the zone's declared standard
    // offset.
    if (!standard) standard = Offset{-timezone, NameOr("", tzname[0])};
  } else {
    standard = here.offset;
    daylight = NearbyOffset(now, true);
  }

  facts.daylight = here.dst;
  facts.bias_minutes = static_cast<int32_t>(-standard->east_seconds / 60);
  facts.standard_bias_minutes = 0;
  facts.standard_name = NameOr(standard->name, tzname[0]);
  if (daylight) {
    facts.daylight_bias_minutes =
        static_cast<int32_t>(-(daylight->east_seconds - standard->east_seconds) / 60);
    facts.daylight_name = NameOr(daylight->name, tzname[1]);
  } else {
    facts.daylight_bias_minutes = 0;
    facts.daylight_name = facts.standard_name;
  }
  return facts;
}

}  // namespace mdl
