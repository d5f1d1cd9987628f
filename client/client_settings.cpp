// The client's stored settings, interval and schedule.
#include "client/client_settings.h"

#include <charconv>
#include <limits>
#include <vector>

namespace mdl {
namespace {

std::string_view Trim(std::string_view s) {
  const auto first = s.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(" \t");
  return s.substr(first, last - first + 1);
}

}  // namespace

std::optional<ClientSettings> ParseClientValue(std::string_view value) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  while (true) {
    const auto colon = value.find(':', start);
    fields.push_back(value.substr(start, colon == std::string_view::npos ? colon : colon - start));
    if (colon == std::string_view::npos) break;
    start = colon + 1;
  }
  if (value.empty()) return std::nullopt;
  const std::size_t n = fields.size();
  ClientSettings settings;
  if (n < 4) {
    // Too few fields to hold a port: field 1 is the host, the fields there
    // are taken in their places, the rest keep their defaults.
    settings.host = std::string(fields[0]);
    if (n > 1) settings.number = std::string(fields[1]);
    if (n > 2) settings.unit = std::string(fields[2]);
    settings.run_minimized = false;
    return settings;
  }
  // The host is everything before the last three fields (it may hold ":port").
  const std::size_t host_end = (fields[n - 3].data() - value.data()) - 1;
  settings.host = std::string(value.substr(0, host_end));
  settings.number = std::string(fields[n - 3]);
  settings.unit = std::string(fields[n - 2]);
  settings.run_minimized = fields[n - 1] == "YES";
  return settings;
}

std::string FormatClientValue(const ClientSettings& settings) {
  return settings.host + ":" + settings.number + ":" + settings.unit + ":" +
         (settings.run_minimized ? "YES" : "NO");
}

std::string ClientRunValueData(std::string_view program_folder) {
  std::string out(program_folder);
  if (out.empty() || out.back() != '/') out += '/';
  return out + std::string(kClientProgramName);
}

SecChangeResult SecChange(std::string_view number, std::string_view unit) {
  const std::string_view text = Trim(number);
  int64_t n = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
    return {std::nullopt, "Interval not changed: \"" + std::string(number) + "\" is not a whole number"};
  }
  if (n < 1) {
    return {std::nullopt, "Interval not changed: " + std::string(text) + " is below 1"};
  }
  const std::string_view prefix = unit.substr(0, 3);
  int64_t factor = 1;
  if (prefix == "Min")
    factor = 60;
  else if (prefix == "Hou")
    factor = 3600;
  else if (prefix == "Day")
    factor = 86400;
  constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
  if (n > kMax / factor) {
    return {std::nullopt, "Interval not changed: " + std::string(text) + " " + std::string(unit) +
                              " exceeds 2147483647 seconds"};
  }
  return {static_cast<int32_t>(n * factor), {}};
}

bool ClientSchedule::Tick() {
  if (countdown_ < std::numeric_limits<int32_t>::max()) ++countdown_;
  if (countdown_ >= interval_) {
    countdown_ = 0;
    return true;
  }
  return false;
}

}  // namespace mdl
