// A weighted least-squares line through an upstream's recent exchanges: the
// offset now and the clock's rate error, from the same samples.
//
// Each exchange is kept with its offset plus every correction our clock had
// taken by then (steps, slews and the rate correction's integral). That sum
// runs on a straight line whose slope is the oscillator's own error, whatever
// was corrected in between; the line's value now, less the corrections taken
// by now, is the offset now.
//
// An exchange's error is at most half its queueing (the delay above the least
// seen), and with queueing alike both ways it is spread evenly within that:
// its weight is one over its variance, a noise floor plus a twelfth of the
// excess delay squared plus a wander term growing with its age. Exchanges far
// off the line for their weight are left out and the line fitted again; when
// the newest ones all lie off it on the same side, the upstream moved, and the
// history older than them is dropped.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/time/utc_time.h"

namespace mdl {

struct FitPoint {
  Nanoseconds taken{0};     // when the reply arrived (monotonic)
  Nanoseconds delay{0};     // round trip less the upstream's hold
  Nanoseconds adjusted{0};  // offset plus the corrections taken by `taken`
};

struct OffsetFit {
  Nanoseconds level{0};            // the line's value at `now` (less the corrections by now: the offset)
  std::optional<double> ppm;       // the slope: the rate correction that cancels the drift
  double ppm_error = 0;            // its standard error (with ppm)
  std::size_t used = 0;            // exchanges on the line
  std::size_t left_out = 0;        // exchanges off it
  Nanoseconds span{0};             // from the oldest used to the newest
  double level_ppm = 0;            // the slope the level was drawn with (the prior weighed in)
  double spread = 1;               // of the residuals, in their standard deviations (1 to 4)
  std::optional<Nanoseconds> cut;  // a move of the upstream: exchanges taken before this were dropped
};

struct FitTuning {
  // The slope as known from before (the rate correction in force), weighed
  // with the line's own for the level; `ppm` stays the line's own.
  struct Prior {
    double ppm = 0;
    double ppm_error = 0;
  };
  std::optional<Prior> prior;
  Nanoseconds noise_floor = std::chrono::microseconds(10);
  // The least delay's own queueing is taken as the gap from it to the delay
  // below which this share of the exchanges lie.
  double least_share = 0.125;
  // Frequency wander: an exchange's error grows by this many ppm of its age.
  double wander_ppm = 0.01;
  // Without a slope of its own (too few exchanges, too short a span), an
  // exchange's error grows by this many ppm of its age instead.
  double unknown_slope_ppm = 50;
  // A slope is fitted over at least this span and this many exchanges.
  Nanoseconds min_span = std::chrono::seconds(60);
  std::size_t min_points = 4;
  // Off the line: beyond this many standard deviations (scaled by the fit's own spread).
  double outlier_sigmas = 4;
  // The newest exchanges that, all off the line on one side, make a move.
  std::size_t move_points = 3;
  // A line spanning less than this neither tells a move (its extrapolation
  // is unsure) nor outweighs the prior however plain its slope looks.
  Nanoseconds trust_span = std::chrono::seconds(240);
  // The value now from the bounds each exchange's two ways set, not the
  // weighted mean.
  bool envelope = true;
  // The bounds are loosened by this many standard errors of the slope
  // (the prior weighed in) over their age.
  double envelope_sigmas = 1;
  // While the slope's error is above `envelope_search_above_ppm`, the bounds
  // choose the slope they are drawn with instead, within this many of its
  // errors: the one that leaves them the most room (loosened by the wander
  // alone). A noisy line's slope tilts old bounds more than their own edges
  // allow; a slope known well (the rate confirmed) is better than theirs.
  double envelope_search_sigmas = 1;
  double envelope_search_above_ppm = 0.3;
};

// The line through `points` (any order; taken at or before `now`). nullopt for
// no points. Pure.
std::optional<OffsetFit> FitOffsets(std::span<const FitPoint> points, Nanoseconds now,
                                    const FitTuning& tuning = {});

// When a line's slope becomes the rate figure.
struct RateGate {
  // The line spans at least this long, through at least this many
  // exchanges (fewer tell too little of their own spread).
  Nanoseconds min_span = std::chrono::seconds(240);
  std::size_t min_points = 8;
  // The slope's error may run the clock off by this much over one interval...
  Nanoseconds drift_budget = std::chrono::microseconds(10);
  // ... within these bounds of the error (ppm).
  double min_error = 0.01;
  double max_error = 1;
  // A slope this many of its errors from the correction in force counts
  // whatever its error: a clock far off is corrected sooner.
  double plain_sigmas = 5;
};

// The rate figure `fit` gives with `in_force` ppm running and synchronisations
// `interval` apart, once it spans long enough: its slope when it is either
// certain enough that its error costs at most the drift budget over an
// interval, or plainly away from the correction in force; otherwise, the slope
// lying within its errors of it, the correction in force itself (it holds,
// and older figures give way). nullopt for a line too short. Pure.
std::optional<double> SlopeFigure(const OffsetFit& fit, double in_force, Nanoseconds interval,
                                  const RateGate& gate = {});

// The exchanges of each upstream (keyed by address) for the fit.
class FitHistory {
 public:
  static constexpr std::size_t kKept = 64;       // exchanges per upstream
  static constexpr std::size_t kUpstreams = 32;  // upstreams remembered

  void Add(const std::string& key, const FitPoint& p);
  // The fit over `key`'s exchanges at most `max_age` old at `now`; a move it
  // finds drops the older history.
  std::optional<OffsetFit> Fit(const std::string& key, Nanoseconds now, Nanoseconds max_age,
                               const FitTuning& tuning = {});
  // Of `key`'s exchanges taken at or after `from`, the one whose value
  // (offset plus the corrections by then) lies nearest `level`.
  std::optional<FitPoint> Nearest(const std::string& key, Nanoseconds from, Nanoseconds level) const;
  std::size_t size(const std::string& key) const;
  // The clock was set from outside: nothing kept can be brought to now.
  void Forget() { history_.clear(); }
  // Exchanges taken at or after `from` must not count again (their step was refused).
  void DropFrom(const std::string& key, Nanoseconds from);

 private:
  std::map<std::string, std::deque<FitPoint>> history_;
};

}  // namespace mdl
