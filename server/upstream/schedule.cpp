// The synchronisation schedule.
#include "server/upstream/schedule.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "server/upstream/numeric_text.h"

namespace mdl {
namespace {

constexpr std::size_t kMaxUnitShown = 40;

std::string CountText(double count) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.15g", count);
  return buf;
}

}  // namespace

IntervalResult CalcIntC(std::string_view count_text, std::string_view unit_text,
                        std::optional<int32_t> current_interval) {
  const double count = RoundHalfEven(LeadingNumber(count_text));
  const std::string_view unit = unit_text.substr(0, 3);
  IntervalResult result;
  double factor = 86400.0;
  if (unit == "Sec") {
    factor = 1.0;
    result.unit_is_seconds = true;
  } else if (unit == "Min") {
    factor = 60.0;
  } else if (unit == "Hou") {
    factor = 3600.0;
  }
  const double seconds = count * factor;
  constexpr double kMax = std::numeric_limits<int32_t>::max();
  constexpr double kMin = std::numeric_limits<int32_t>::min();
  if (seconds >= kMin && seconds <= kMax) {
    result.ok = true;
    result.seconds = static_cast<int32_t>(seconds);
    return result;
  }
  std::string shown_unit(unit_text.substr(0, kMaxUnitShown));
  result.error = "Synchronisation interval of " + CountText(count) + " " + shown_unit +
                 (seconds > 0 ? " is too long; the largest is 2147483647 seconds."
                              : " is out of range; the smallest is -2147483648 seconds.");
  if (current_interval) {
    result.error += " Interval left at " + std::to_string(*current_interval) + " seconds.";
  }
  return result;
}

bool SyncSchedule::Tick() {
  if (counter_ < std::numeric_limits<int32_t>::max()) ++counter_;
  if (counter_ < interval_) return false;
  counter_ = 0;
  return true;
}

void SyncSchedule::DueIn(int32_t ticks) {
  const int64_t counter = int64_t{interval_} - ticks;
  counter_ = static_cast<int32_t>(std::max<int64_t>(counter, std::numeric_limits<int32_t>::min()));
}

std::string GuardSyncN(std::string text) {
  text.resize(NumericPrefixLength(text));
  return text;
}

}  // namespace mdl
