// The weighted line through an upstream's exchanges.
#include "server/upstream/offset_fit.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace mdl {
namespace {

// The spread of the residuals beyond their weights' account widens the bound
// up to this factor (a noisier upstream than the floor assumes).
constexpr double kMaxSpread = 4;

struct Line {
  double a = 0;             // value at now (ns, from the newest exchange's)
  std::optional<double> b;  // slope (ns per s)
  double b_variance = 0;    // of the slope, with unit scale
  Nanoseconds span{0};
  // With the slope known before weighed in: the slope and value now.
  double level_b = 0;
  double level = 0;
  // The standard error of level_b (ns per s; 0 without a slope).
  double level_b_sd = 0;
};

// Weighted least squares over the points marked in `use`: a line when they
// span enough, their weighted mean otherwise.
Line FitLine(const std::vector<double>& x, const std::vector<double>& y, const std::vector<double>& w,
             const std::vector<Nanoseconds>& taken, const std::vector<bool>& use, const FitTuning& tuning) {
  double sw = 0, swx = 0, swy = 0;
  std::size_t n = 0;
  Nanoseconds first = Nanoseconds::max(), last = Nanoseconds::min();
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (!use[i]) continue;
    ++n;
    sw += w[i];
    swx += w[i] * x[i];
    swy += w[i] * y[i];
    first = std::min(first, taken[i]);
    last = std::max(last, taken[i]);
  }
  Line line;
  line.span = last - first;
  const double mx = swx / sw, my = swy / sw;
  line.a = my;
  double sxx = 0, sxy = 0;
  if (n >= tuning.min_points && line.span >= tuning.min_span) {
    for (std::size_t i = 0; i < x.size(); ++i) {
      if (!use[i]) continue;
      sxx += w[i] * (x[i] - mx) * (x[i] - mx);
      sxy += w[i] * (x[i] - mx) * (y[i] - my);
    }
  }
  if (sxx > 0) {
    line.b = sxy / sxx;
    line.a = my - *line.b * mx;
    line.b_variance = 1 / sxx;
  } else {
    sxx = sxy = 0;
  }
  // The slope known before counts as one more measurement of it.
  line.level_b = line.b.value_or(0);
  if (tuning.prior) {
    // The line's own slope weighs by its variance as the residuals' spread
    // shows it (a line through two bursts knows little).
    double own_weight = 0;
    if (line.b) {
      double chi2 = 0;
      for (std::size_t i = 0; i < x.size(); ++i) {
        if (!use[i]) continue;
        const double r = y[i] - (line.a + *line.b * x[i]);
        chi2 += w[i] * r * r;
      }
      const double spread2 =
          n > 2 ? std::clamp(chi2 / static_cast<double>(n - 2), 1.0, kMaxSpread * kMaxSpread) : 1;
      own_weight = sxx / spread2;
    }
    // The prior counts less when the line's slope is plainly (three of its
    // standard deviations) away from it, by as much as it is beyond its error.
    const double sd = std::max(tuning.prior->ppm_error, 1e-4) * 1e3;
    const double gap = line.b ? *line.b - tuning.prior->ppm * 1e3 : 0;
    const double own_variance = own_weight > 0 ? 1 / own_weight : 0;
    // A short line's error is itself unsure: it never outweighs the prior so.
    const bool trusted = own_weight > 0 && line.span >= tuning.trust_span;
    const double widen = trusted && gap * gap > 9 * own_variance ? gap * gap - own_variance : 0;
    const double prior_weight = 1 / (sd * sd + widen);
    line.level_b = (own_weight * line.b.value_or(0) + prior_weight * tuning.prior->ppm * 1e3) /
                   (own_weight + prior_weight);
    line.level_b_sd = line.b ? std::sqrt(1 / (own_weight + prior_weight)) : 0;
  } else if (line.b) {
    line.level_b_sd = std::sqrt(line.b_variance);
  }
  line.level = my - line.level_b * mx;
  return line;
}

// The furthest the line's value now may lie from the newest exchange (ns).
constexpr double kMaxLevel = 1e18;

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::optional<OffsetFit> Fit(std::vector<FitPoint> pts, Nanoseconds now, const FitTuning& tuning,
                             bool look_for_move) {
  if (pts.empty()) return std::nullopt;
  std::sort(pts.begin(), pts.end(), [](const FitPoint& p, const FitPoint& q) { return p.taken < q.taken; });
  const std::size_t n = pts.size();
  const Nanoseconds ref = pts.back().adjusted;
  std::vector<double> x(n), y(n), w(n), sigma(n);
  std::vector<Nanoseconds> taken(n);
  for (std::size_t i = 0; i < n; ++i) {
    x[i] = static_cast<double>((pts[i].taken - now).count()) / 1e9;
    y[i] = static_cast<double>((pts[i].adjusted - ref).count());
    taken[i] = pts[i].taken;
  }
  const double floor = static_cast<double>(tuning.noise_floor.count());
  std::vector<bool> use(n, true);
  std::size_t in_use = n;
  Line line;
  double envelope_ppm = tuning.unknown_slope_ppm;
  // The exchange furthest off for its weight goes, one at a time (so that
  // one far off cannot tilt the line enough to hide itself), while it is
  // beyond the bound and more than half remain.
  for (;;) {
    std::vector<Nanoseconds> delays;
    Nanoseconds first = Nanoseconds::max();
    for (std::size_t i = 0; i < n; ++i) {
      if (!use[i]) continue;
      delays.push_back(std::max(pts[i].delay, Nanoseconds(0)));
      first = std::min(first, pts[i].taken);
    }
    // Without a slope of its own the line cannot tell drift from error: the
    // older exchanges are that much less certain.
    const bool sloped = delays.size() >= tuning.min_points && pts.back().taken - first >= tuning.min_span;
    const double drift_ppm = sloped ? tuning.wander_ppm : tuning.unknown_slope_ppm;
    envelope_ppm = drift_ppm;
    std::sort(delays.begin(), delays.end());
    const Nanoseconds least = delays.front();
    // The least delay seen is queued too: about as much as the gap up to
    // the lowest few delays.
    const Nanoseconds own =
        delays[std::min(delays.size() - 1, static_cast<std::size_t>(tuning.least_share * delays.size()))] -
        least;
    for (std::size_t i = 0; i < n; ++i) {
      const double excess =
          static_cast<double>((std::max(pts[i].delay - least, Nanoseconds(0)) + own).count());
      const double age = std::max(-x[i], 0.0) * 1e9;
      const double wander = drift_ppm * 1e-6 * age;
      sigma[i] = std::sqrt(floor * floor + excess * excess / 12 + wander * wander);
      w[i] = 1 / (sigma[i] * sigma[i]);
    }
    line = FitLine(x, y, w, taken, use, tuning);
    std::vector<double> used_u;
    std::optional<std::size_t> worst;
    double worst_u = 0;
    for (std::size_t i = 0; i < n; ++i) {
      if (!use[i]) continue;
      const double u = std::fabs(y[i] - (line.a + line.b.value_or(0) * x[i])) / sigma[i];
      used_u.push_back(u);
      if (!worst || u > worst_u) {
        worst = i;
        worst_u = u;
      }
    }
    const double scale = std::clamp(1.4826 * Median(used_u), 1.0, kMaxSpread);
    if (worst_u <= tuning.outlier_sigmas * scale || 2 * (in_use - 1) <= n) break;
    use[*worst] = false;
    --in_use;
  }
  // The newest exchanges all off the line of those before them, on one
  // side: the upstream moved.
  const std::size_t m = tuning.move_points;
  if (look_for_move && m > 0 && n >= m + 2) {
    const std::optional<OffsetFit> before = Fit(
        std::vector<FitPoint>(pts.begin(), pts.end() - static_cast<std::ptrdiff_t>(m)), now, tuning, false);
    int side = 0;
    // Only a line with a slope of its own, over long enough that its
    // extrapolation is sure, tells a move from a drift.
    bool moved = before.has_value() && before->ppm.has_value() && before->span >= tuning.trust_span;
    for (std::size_t i = n - m; i < n && moved; ++i) {
      const double expected =
          static_cast<double>((before->level - ref).count()) + before->level_ppm * 1e3 * x[i];
      const double r = y[i] - expected;
      const int s = r > 0 ? 1 : -1;
      moved = std::fabs(r) / sigma[i] > tuning.outlier_sigmas * before->spread && (side == 0 || s == side);
      side = s;
    }
    if (moved) {
      std::optional<OffsetFit> fit = Fit(
          std::vector<FitPoint>(pts.end() - static_cast<std::ptrdiff_t>(m), pts.end()), now, tuning, false);
      if (fit) fit->cut = pts[n - m].taken;
      return fit;
    }
  }
  OffsetFit fit;
  double level = line.level;
  if (tuning.envelope) {
    // Queueing only ever adds delay: each exchange bounds the offset from
    // both sides, by its reply's way below (offset less the delay's half)
    // and its query's above, each bound loosened by its age's wander and by
    // the slope's own error over its age (a slope a little off tilts the
    // oldest bounds by more than the whole error otherwise). The
    // middle of the tightest bounds errs by half the difference of the two
    // ways' least queueing, not by a weighted mean of whole queueings.
    // The bounds now drawn with slope `b` (ns per s), loosened by `loosen` per s of age.
    const auto bounds = [&](double b, double loosen) {
      double lo = -kMaxLevel, hi = kMaxLevel;
      for (std::size_t i = 0; i < n; ++i) {
        if (!use[i]) continue;
        const double half = static_cast<double>(std::max(pts[i].delay, Nanoseconds(0)).count()) / 2;
        const double slack = loosen * std::max(-x[i], 0.0);
        const double at_now = y[i] - b * x[i];
        lo = std::max(lo, at_now - half - slack);
        hi = std::min(hi, at_now + half + slack);
      }
      return std::pair{lo, hi};
    };
    bool found = false;
    if (tuning.envelope_search_sigmas > 0 && line.level_b_sd > 0 &&
        line.level_b_sd > tuning.envelope_search_above_ppm * 1e3) {
      // The room between the bounds is concave in the slope: a golden-section
      // search finds the slope that leaves the most.
      const double loosen = envelope_ppm * 1e3;
      const auto room = [&](double b) {
        const auto [lo, hi] = bounds(b, loosen);
        return hi - lo;
      };
      double l = line.level_b - tuning.envelope_search_sigmas * line.level_b_sd;
      double r = line.level_b + tuning.envelope_search_sigmas * line.level_b_sd;
      constexpr double kGolden = 0.6180339887498949;
      double m1 = r - kGolden * (r - l), m2 = l + kGolden * (r - l);
      double f1 = room(m1), f2 = room(m2);
      for (int k = 0; k < 48; ++k) {
        if (f1 < f2) {
          l = m1;
          m1 = m2;
          f1 = f2;
          m2 = l + kGolden * (r - l);
          f2 = room(m2);
        } else {
          r = m2;
          m2 = m1;
          f2 = f1;
          m1 = r - kGolden * (r - l);
          f1 = room(m1);
        }
      }
      const auto [lo, hi] = bounds((l + r) / 2, loosen);
      if (lo <= hi) {
        level = (lo + hi) / 2;
        found = true;
      }
    }
    if (!found) {
      const auto [lo, hi] =
          bounds(line.level_b, envelope_ppm * 1e3 + tuning.envelope_sigmas * line.level_b_sd);
      // Crossed bounds: the exchanges disagree beyond what their delays and
      // the clock's wander explain (the upstream moved); the line follows.
      if (lo <= hi) level = (lo + hi) / 2;
    }
  }
  // Answers decades apart (a hostile upstream) must not overflow.
  fit.level = ref + Nanoseconds(static_cast<int64_t>(std::llround(std::clamp(level, -kMaxLevel, kMaxLevel))));
  fit.level_ppm = line.level_b / 1e3;
  for (std::size_t i = 0; i < n; ++i) fit.used += use[i];
  fit.left_out = n - fit.used;
  fit.span = line.span;
  // The residuals' spread as the weights see it (the line's two figures
  // taken out): dominated by the exchanges that count.
  double chi2 = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (!use[i]) continue;
    const double r = y[i] - (line.a + line.b.value_or(0) * x[i]);
    chi2 += w[i] * r * r;
  }
  fit.spread =
      fit.used > 2 ? std::clamp(std::sqrt(chi2 / static_cast<double>(fit.used - 2)), 1.0, kMaxSpread) : 1.0;
  if (line.b) {
    fit.ppm = *line.b / 1e3;
    fit.ppm_error = std::sqrt(line.b_variance) * fit.spread / 1e3;
  }
  return fit;
}

}  // namespace

std::optional<OffsetFit> FitOffsets(std::span<const FitPoint> points, Nanoseconds now,
                                    const FitTuning& tuning) {
  return Fit(std::vector<FitPoint>(points.begin(), points.end()), now, tuning, true);
}

std::optional<double> SlopeFigure(const OffsetFit& fit, double in_force, Nanoseconds interval,
                                  const RateGate& gate) {
  if (!fit.ppm || fit.span < gate.min_span || fit.used < gate.min_points || !std::isfinite(*fit.ppm))
    return std::nullopt;
  const double seconds = std::max(std::chrono::duration<double>(interval).count(), 1.0);
  const double budget_ppm = std::chrono::duration<double, std::micro>(gate.drift_budget).count() / seconds;
  const double bound = std::clamp(budget_ppm, gate.min_error, gate.max_error);
  if (fit.ppm_error <= bound || std::fabs(*fit.ppm - in_force) > gate.plain_sigmas * fit.ppm_error)
    return fit.ppm;
  return in_force;
}

void FitHistory::Add(const std::string& key, const FitPoint& p) {
  auto it = history_.find(key);
  if (it == history_.end()) {
    if (history_.size() >= kUpstreams) {
      // The upstream heard from longest ago makes room.
      auto stalest = history_.begin();
      for (auto h = history_.begin(); h != history_.end(); ++h) {
        const Nanoseconds last = h->second.empty() ? Nanoseconds::min() : h->second.back().taken;
        const Nanoseconds worst = stalest->second.empty() ? Nanoseconds::min() : stalest->second.back().taken;
        if (last < worst) stalest = h;
      }
      history_.erase(stalest);
    }
    it = history_.emplace(key, std::deque<FitPoint>{}).first;
  }
  std::deque<FitPoint>& kept = it->second;
  kept.push_back(p);
  if (kept.size() <= kKept) return;
  // Beyond the newest half, the exchange of most delay goes (the oldest of
  // equals): the low-delay ones stay, so that the line spans longer.
  auto worst = kept.begin();
  for (auto k = kept.begin(); k != kept.end() - kKept / 2; ++k)
    if (k->delay > worst->delay) worst = k;
  kept.erase(worst);
}

std::optional<OffsetFit> FitHistory::Fit(const std::string& key, Nanoseconds now, Nanoseconds max_age,
                                         const FitTuning& tuning) {
  auto it = history_.find(key);
  if (it == history_.end() || it->second.empty()) return std::nullopt;
  std::deque<FitPoint>& kept = it->second;
  // The newest always counts.
  const Nanoseconds newest = kept.back().taken;
  std::erase_if(kept, [&](const FitPoint& p) { return now - p.taken > max_age && p.taken != newest; });
  std::optional<OffsetFit> fit = FitOffsets(std::vector<FitPoint>(kept.begin(), kept.end()), now, tuning);
  if (fit && fit->cut) std::erase_if(kept, [&](const FitPoint& p) { return p.taken < *fit->cut; });
  return fit;
}

std::optional<FitPoint> FitHistory::Nearest(const std::string& key, Nanoseconds from,
                                            Nanoseconds level) const {
  auto it = history_.find(key);
  if (it == history_.end()) return std::nullopt;
  std::optional<FitPoint> best;
  for (const FitPoint& p : it->second) {
    if (p.taken < from) continue;
    if (!best || std::chrono::abs(p.adjusted - level) < std::chrono::abs(best->adjusted - level)) best = p;
  }
  return best;
}

std::size_t FitHistory::size(const std::string& key) const {
  auto it = history_.find(key);
  return it == history_.end() ? 0 : it->second.size();
}

void FitHistory::DropFrom(const std::string& key, Nanoseconds from) {
  auto it = history_.find(key);
  if (it == history_.end()) return;
  std::erase_if(it->second, [&](const FitPoint& p) { return p.taken >= from; });
}

}  // namespace mdl
