// Frequency discipline between synchronisations: from the steps each
// synchronisation makes and the times between them, the rate correction
// that keeps the clock on time until the next one.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <optional>

#include "common/time/utc_time.h"

namespace mdl {

class FrequencyDiscipline {
 public:
  static constexpr double kMaxPpm = 500;
  // Estimates kept; the correction is the median of the latest kUsed.
  static constexpr size_t kKept = 5;
  static constexpr size_t kUsed = 3;
  // Shorter intervals carry too little drift to measure.
  static constexpr std::chrono::seconds kMinInterval{60};

  // A synchronisation at monotonic `at` stepped the clock by `step` (upstream
  // time minus ours). Returns the correction to run with from now on, in
  // ppm (positive: faster).
  double OnSync(Nanoseconds at, Nanoseconds step);
  // The clock was set from outside since the last synchronisation: the
  // interval under way tells nothing about the rate.
  void SkipInterval() { last_sync_.reset(); }
  // Another upstream: its path differs, so the estimates start afresh (the
  // correction in force stays until they give another).
  void Forget();

  double correction_ppm() const { return correction_ppm_; }
  // The rate error measured over the last interval (ppm the clock was slow),
  // when there was one.
  std::optional<double> last_estimate() const {
    return estimates_.empty() ? std::nullopt : std::optional(estimates_.back());
  }

 private:
  std::optional<Nanoseconds> last_sync_;
  std::deque<double> estimates_;  // the correction that would have kept each interval on time
  double correction_ppm_ = 0;
};

}  // namespace mdl
