// System zone facts through GetTimeZoneInformation (the zone's rules) and
// SystemTimeToTzSpecificLocalTime (whether daylight time holds at an instant).
#include "common/clock/zone_facts.h"

#include <windows.h>

namespace mdl {
namespace {

std::string Utf8(const WCHAR* text) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return "";
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

constexpr int64_t kFileTimeUnixEpoch = 116444736000000000;

bool ToSystemTime(int64_t unix_seconds, SYSTEMTIME* st) {
  const int64_t ticks = unix_seconds * 10000000 + kFileTimeUnixEpoch;
  if (ticks < 0) return false;
  FILETIME ft{};
  ft.dwLowDateTime = static_cast<DWORD>(ticks & 0xffffffff);
  ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return FileTimeToSystemTime(&ft, st) != 0;
}

int64_t ToUnixSeconds(const SYSTEMTIME& st) {
  FILETIME ft{};
  if (!SystemTimeToFileTime(&st, &ft)) return 0;
  const int64_t ticks = (int64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime;
  return (ticks - kFileTimeUnixEpoch) / 10000000;
}

}  // namespace

ZoneFacts ZoneFactsAt(UtcTime t) {
  TIME_ZONE_INFORMATION tzi{};
  ZoneFacts facts;
  if (GetTimeZoneInformation(&tzi) == TIME_ZONE_ID_INVALID) return facts;
  facts.bias_minutes = static_cast<int32_t>(tzi.Bias);
  facts.standard_bias_minutes = static_cast<int32_t>(tzi.StandardBias);
  facts.standard_name = Utf8(tzi.StandardName);
  // A zone without daylight rules has no daylight month.
  const bool has_daylight = tzi.DaylightDate.wMonth != 0 && tzi.DaylightBias != 0;
  facts.daylight_bias_minutes = has_daylight ? static_cast<int32_t>(tzi.DaylightBias) : 0;
  facts.daylight_name = has_daylight ? Utf8(tzi.DaylightName) : facts.standard_name;
  if (facts.standard_name.empty()) facts.standard_name = "UTC";
  if (facts.daylight_name.empty()) facts.daylight_name = facts.standard_name;

  const int64_t now = FloorUnixSeconds(t);
  SYSTEMTIME utc{};
  SYSTEMTIME local{};
  if (has_daylight && ToSystemTime(now, &utc) && SystemTimeToTzSpecificLocalTime(&tzi, &utc, &local)) {
    // UTC = local + bias: in daylight time the bias includes DaylightBias.
    const int64_t bias_seconds = now - ToUnixSeconds(local);
    facts.daylight = bias_seconds == int64_t{tzi.Bias + tzi.DaylightBias} * 60;
  }
  return facts;
}

}  // namespace mdl
