// Test helper: a UTC instant from calendar fields.
#pragma once

#include <chrono>
#include <cstdint>

#include "common/time/utc_time.h"

namespace mdl::testing {

inline UtcTime UtcAt(int y, unsigned mo, unsigned d, unsigned h = 0, unsigned mi = 0, unsigned s = 0,
                     int64_t ns = 0) {
  using namespace std::chrono;
  return sys_days(year_month_day(year(y), month(mo), day(d))) + hours(h) + minutes(mi) + seconds(s) +
         Nanoseconds(ns);
}

}  // namespace mdl::testing
