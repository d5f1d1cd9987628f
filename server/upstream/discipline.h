// Frequency discipline between synchronisations: from the steps each
// synchronisation makes and the times between them, the rate correction
// that keeps the clock on time until the next one.
//
// One upstream can lie, and a lie read as drift would run the clock away
// for as long as nothing corrects it. So each interval only gives a figure
// (the rate that would have kept it on time); a figure beyond the bound is
// no oscillator's and is not used, the correction moves only when at least
// three recent figures agree, and then by at most kMaxChangePpm per
// synchronisation. A correction is confirmed once the agreeing figures ask
// for no more than that step; an unconfirmed one is never kept through an
// outage.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <optional>

#include "common/time/utc_time.h"

namespace mdl {

class FrequencyDiscipline {
 public:
  // adjtimex's own limit; no bound may go beyond it.
  static constexpr double kKernelMaxPpm = 500;
  // Ordinary PC oscillators are within ±50 ppm.
  static constexpr double kDefaultMaxPpm = 100;
  // Figures kept; the correction follows their median.
  static constexpr size_t kKept = 5;
  // Figures that must agree before the correction moves.
  static constexpr size_t kAgreeing = 3;
  // A figure agrees when it is within three median deviations of the median,
  // but never needs to be closer than kAgreeFloorPpm (path jitter over an
  // interval) and is never let further away than kAgreeCeilingPpm.
  static constexpr double kAgreeFloorPpm = 5;
  static constexpr double kAgreeCeilingPpm = 20;
  // The most the correction moves at one synchronisation.
  static constexpr double kMaxChangePpm = 10;
  // Without a synchronisation for this many intervals the upstream counts
  // as lost, and the last confirmed correction is held.
  static constexpr int kHoldIntervals = 3;
  // Shorter intervals carry too little drift to measure.
  static constexpr std::chrono::seconds kMinInterval{60};

  // The rate in force when the discipline takes over (the kernel's, or the
  // one stored at the last stop): both the correction and the confirmed one.
  void Start(double ppm);
  // The largest correction either way (clamped to kKernelMaxPpm); the
  // corrections in force and confirmed are brought within it.
  void SetMaxPpm(double max_ppm);

  // A synchronisation at monotonic `at` stepped the clock by `step` (upstream
  // time minus ours). Returns the correction to run with from now on, in
  // ppm (positive: faster).
  double OnSync(Nanoseconds at, Nanoseconds step);
  // A synchronisation at monotonic `at` whose figure was measured otherwise
  // (the slope of a fit over many exchanges, nullopt: none yet): it goes
  // through the same bound and agreement as OnSync's. Returns the correction.
  double OnFigure(Nanoseconds at, std::optional<double> figure);
  // At monotonic `now`, with synchronisations due every `interval`: when the
  // upstream has been lost for kHoldIntervals, the correction falls back to
  // the confirmed one. Returns the correction to run with when it changed.
  std::optional<double> OnSilence(Nanoseconds now, Nanoseconds interval);
  // The clock was set from outside since the last synchronisation: the
  // interval under way tells nothing about the rate.
  void SkipInterval() { last_sync_.reset(); }
  // Another upstream: its path differs, so the figures start afresh (the
  // correction in force stays until they give another).
  void Forget();
  // The clock did not take the correction OnSync returned: `in_force` stays,
  // so that the next figure is measured against the rate really run.
  void Unapplied(double in_force) { correction_ppm_ = in_force; }

  double correction_ppm() const { return correction_ppm_; }
  double confirmed_ppm() const { return confirmed_ppm_; }
  double max_ppm() const { return max_ppm_; }
  bool confirmed() const { return correction_ppm_ == confirmed_ppm_; }
  // The figure of the last interval (the rate, in ppm, that would have kept
  // it on time), when it gave one, and whether it was beyond the bound.
  std::optional<double> last_figure() const { return last_figure_; }
  bool last_figure_refused() const { return last_figure_refused_; }
  // When the last synchronisation was (monotonic), if any.
  std::optional<Nanoseconds> last_heard() const { return last_heard_; }

 private:
  // The median of the kept figures that agree with it, when enough do.
  std::optional<double> Estimate() const;
  // Keeps `figure` (unless beyond the bound) and moves the correction.
  void TakeFigure(double figure);

  std::optional<Nanoseconds> last_sync_;   // start of the interval under way
  std::optional<Nanoseconds> last_heard_;  // the last synchronisation
  std::deque<double> figures_;
  std::optional<double> last_figure_;
  bool last_figure_refused_ = false;
  double max_ppm_ = kDefaultMaxPpm;
  double correction_ppm_ = 0;
  double confirmed_ppm_ = 0;
};

}  // namespace mdl
