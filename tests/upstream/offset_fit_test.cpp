// The weighted line through an upstream's exchanges: an exact line recovered,
// queueing noise weighed down, a spike left out, a move of the upstream
// followed only once several exchanges confirm it, and the history's bounds.
#include "server/upstream/offset_fit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace mdl {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr Nanoseconds kNow = std::chrono::hours(10);

// Exchanges every `every` up to kNow on a line of `ppm` through `level` at
// kNow, all over a path of `delay`.
std::vector<FitPoint> Line(int count, Nanoseconds every, double ppm, Nanoseconds level, Nanoseconds delay) {
  std::vector<FitPoint> v;
  for (int i = count - 1; i >= 0; --i) {
    const Nanoseconds taken = kNow - i * every;
    const double drift = ppm * 1e-6 * static_cast<double>((taken - kNow).count());
    v.push_back({taken, delay, level + Nanoseconds(static_cast<int64_t>(std::llround(drift)))});
  }
  return v;
}

double Us(Nanoseconds d) { return std::chrono::duration<double, std::micro>(d).count(); }

TEST(OffsetFitTest, AnExactLineIsRecoveredAndAShortSpanGivesNoSlope) {
  // 16 exchanges a minute apart at +3 ppm: the level now and the slope.
  const std::vector<FitPoint> pts = Line(16, seconds(60), 3, milliseconds(5), milliseconds(20));
  const std::optional<OffsetFit> fit = FitOffsets(pts, kNow);
  ASSERT_TRUE(fit);
  EXPECT_NEAR(Us(fit->level), 5000, 0.01);
  ASSERT_TRUE(fit->ppm);
  EXPECT_NEAR(*fit->ppm, 3, 1e-6);
  EXPECT_EQ(fit->used, 16u);
  EXPECT_EQ(fit->left_out, 0u);
  EXPECT_EQ(fit->span, seconds(900));
  EXPECT_FALSE(fit->cut);
  // Asked 100 s later the line is extrapolated: 300 µs further.
  EXPECT_NEAR(Us(FitOffsets(pts, kNow + seconds(100))->level), 5300, 0.01);

  // A burst of four 2 s apart spans too little for a slope: the weighted
  // mean, in which the exchange of least delay counts most.
  std::vector<FitPoint> burst = Line(4, seconds(2), 0, Nanoseconds(0), milliseconds(20));
  burst[0].adjusted = microseconds(900);
  burst[0].delay = milliseconds(22);  // 1 ms queued each way, ±1 ms
  burst[3].adjusted = microseconds(30);
  FitTuning weighted;
  weighted.envelope = false;
  const std::optional<OffsetFit> mean = FitOffsets(burst, kNow, weighted);
  ASSERT_TRUE(mean);
  EXPECT_FALSE(mean->ppm);
  EXPECT_GT(Us(mean->level), 0);
  EXPECT_LT(Us(mean->level), 30) << "the queued exchange hardly counts; an unweighted mean says 232";
  // The bounds of both ways: the queued one bounds nothing, and of equal
  // delays the newest (the older ones' bounds loosened by their age) binds.
  const std::optional<OffsetFit> bounds = FitOffsets(burst, kNow);
  ASSERT_TRUE(bounds);
  EXPECT_NEAR(Us(bounds->level), 30, 0.01);

  EXPECT_FALSE(FitOffsets({}, kNow));

  // Answers decades apart, a minute apart: a value, no overflow.
  std::vector<FitPoint> wild = Line(8, seconds(60), 0, Nanoseconds(0), milliseconds(1));
  for (size_t i = 0; i < wild.size(); i += 2)
    wild[i].adjusted = Nanoseconds(4'000'000'000'000'000'000 * (i % 4 ? 1 : -1));
  for (size_t i = 1; i < wild.size(); i += 2) wild[i].delay = Nanoseconds(-5);
  const std::optional<OffsetFit> odd = FitOffsets(wild, kNow + std::chrono::hours(20));
  ASSERT_TRUE(odd);
  EXPECT_LE(std::chrono::abs(odd->level), Nanoseconds(5'000'000'000'000'000'000));
  if (odd->ppm) {
    EXPECT_TRUE(std::isfinite(*odd->ppm));
  }
}

// Exponential queueing of mean 3 ms each way, as on the Internet (one
// exchange's error is half the difference of its two queueings), and one
// exchange in 20 queued 40 ms more one way. An hour of exchanges 16 s apart
// at -20 ppm, through the history.
struct Outcome {
  double fit_us;    // |offset now|
  double ppm;       // |slope error|
  double least_us;  // |offset| of the least-delay exchange of the last 8
};
Outcome QueuedHour(uint64_t seed) {
  std::mt19937_64 rng(seed);
  const auto exp3ms = [&] {
    const double u = static_cast<double>(rng() >> 11) * 0x1.0p-53;
    return -3e6 * std::log(1 - u);
  };
  FitHistory h;
  std::vector<FitPoint> recent;
  const int count = 3600 / 16;
  for (int i = count - 1; i >= 0; --i) {
    const Nanoseconds taken = kNow - i * seconds(16);
    double q1 = exp3ms();
    const double q2 = exp3ms();
    if (rng() % 20 == 0) q1 += 40e6;
    const double drift = -20e-6 * static_cast<double>((taken - kNow).count());
    const FitPoint p{taken, milliseconds(20) + Nanoseconds(static_cast<int64_t>(q1 + q2)),
                     Nanoseconds(static_cast<int64_t>(drift + (q1 - q2) / 2))};
    h.Add("a", p);
    recent.push_back(p);
    if (recent.size() > 8) recent.erase(recent.begin());
  }
  const std::optional<OffsetFit> fit = h.Fit("a", kNow, std::chrono::hours(24));
  EXPECT_TRUE(fit && fit->ppm);
  if (!fit || !fit->ppm) return {1e9, 1e9, 0};
  EXPECT_GT(fit->span, std::chrono::minutes(30)) << "low-delay exchanges are kept longer, seed " << seed;
  const FitPoint least = *std::min_element(
      recent.begin(), recent.end(), [](const FitPoint& a, const FitPoint& b) { return a.delay < b.delay; });
  const double least_drift = -20e-6 * static_cast<double>((least.taken - kNow).count());
  return {std::fabs(Us(fit->level)), std::fabs(*fit->ppm + 20),
          std::fabs(Us(least.adjusted) - least_drift / 1e3)};
}

TEST(OffsetFitTest, QueueingNoiseIsWeighedDownOverALongHistory) {
  std::vector<double> fit_us, ppm, least_us;
  for (uint64_t seed = 1; seed <= 40; ++seed) {
    const Outcome o = QueuedHour(seed);
    fit_us.push_back(o.fit_us);
    ppm.push_back(o.ppm);
    least_us.push_back(o.least_us);
  }
  const auto at = [](std::vector<double> v, double share) {
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(share * static_cast<double>(v.size() - 1))];
  };
  // The offset now, well under what the least-delay exchange of the last
  // two minutes gives (median about 400 µs, p95 1.2 ms).
  EXPECT_LT(at(fit_us, 0.5), 110);
  EXPECT_LT(at(fit_us, 0.95), 300);
  EXPECT_LT(at(fit_us, 0.5) * 2.5, at(least_us, 0.5));
  EXPECT_LT(at(ppm, 0.95), 0.2) << "the slope over the hour";
}

// Twenty minutes of bursts of 4 exchanges 2 s apart every 64 s at -20 ppm
// (the rate in force known), each way `base` plus exponential queueing of
// mean `queue` and a share `spike` of packets 40 ms later. The error of the
// offset now after each burst from the third on (µs), and their mean.
struct Served {
  std::vector<double> us;
  double mean_us = 0;
};
// `tuning` as given, less the prior: the slope's prior there is the true
// -20 ppm with `prior_error`.
Served TwentyMinutes(uint64_t seed, double base, double queue, double spike, bool envelope,
                     FitTuning tuning = {}, double prior_error = 0.3) {
  std::mt19937_64 rng(seed);
  const auto uniform = [&] { return static_cast<double>(rng() >> 11) * 0x1.0p-53; };
  const auto way = [&] { return base - queue * std::log(1 - uniform()) + (uniform() < spike ? 40e6 : 0); };
  FitHistory h;
  tuning.envelope = envelope;
  tuning.prior = FitTuning::Prior{-20, prior_error};
  Served s;
  for (int burst = 0; burst < 19; ++burst) {
    Nanoseconds now{0};
    for (int k = 0; k < 4; ++k) {
      const double q1 = way(), q2 = way();
      now = kNow + seconds(64 * burst + 2 * k) + Nanoseconds(static_cast<int64_t>(q1 + q2));
      const double drift = -20e-6 * static_cast<double>((now - kNow).count());
      h.Add("a", {now, Nanoseconds(static_cast<int64_t>(q1 + q2)),
                  Nanoseconds(static_cast<int64_t>(drift + (q1 - q2) / 2))});
    }
    const std::optional<OffsetFit> fit = h.Fit("a", now, std::chrono::hours(24), tuning);
    if (!fit || burst < 2) continue;
    const double drift = -20e-6 * static_cast<double>((now - kNow).count());
    s.us.push_back(Us(fit->level) - drift / 1e3);
    s.mean_us += s.us.back();
  }
  s.mean_us /= static_cast<double>(std::max<size_t>(s.us.size(), 1));
  return s;
}

TEST(OffsetFitTest, TheBoundsOfBothWaysHoldTheOffsetCloserOverManySeeds) {
  const auto at = [](std::vector<double> v, double share) {
    for (double& x : v) x = std::fabs(x);
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(share * static_cast<double>(v.size() - 1))];
  };
  struct Path {
    const char* name;
    double base, queue, spike;
    double median_us, p95_us, mean_us;  // bounds over all seeds
  };
  // The Internet-like path: 10 ms + 3 ms queueing each way, 5% spikes; the
  // LAN: 0.2 ms + 0.05 ms.
  for (const Path& path :
       {Path{"internet", 10e6, 3e6, 0.05, 60, 260, 150}, Path{"lan", 0.2e6, 0.05e6, 0, 2.4, 9.5, 5}}) {
    SCOPED_TRACE(path.name);
    std::vector<double> bounds, weighted, bounds_means, weighted_means;
    for (uint64_t seed = 1; seed <= 40; ++seed) {
      const Served b = TwentyMinutes(seed, path.base, path.queue, path.spike, true);
      const Served w = TwentyMinutes(seed, path.base, path.queue, path.spike, false);
      bounds.insert(bounds.end(), b.us.begin(), b.us.end());
      weighted.insert(weighted.end(), w.us.begin(), w.us.end());
      bounds_means.push_back(b.mean_us);
      weighted_means.push_back(w.mean_us);
    }
    const std::string report =
        "bounds median " + std::to_string(at(bounds, 0.5)) + " p95 " + std::to_string(at(bounds, 0.95)) +
        " worst mean " + std::to_string(at(bounds_means, 1)) + "; weighted mean " +
        std::to_string(at(weighted, 0.5)) + " / " + std::to_string(at(weighted, 0.95)) + " / " +
        std::to_string(at(weighted_means, 1)) + " µs";
    std::printf("%s: %s\n", path.name, report.c_str());
    EXPECT_LT(at(bounds, 0.5), path.median_us) << report;
    EXPECT_LT(at(bounds, 0.95), path.p95_us) << report;
    // No seed stays on one side for the whole run.
    EXPECT_LT(at(bounds_means, 1), path.mean_us) << report;
    // The weighted mean of whole queueings errs further.
    EXPECT_LT(at(bounds, 0.5) * 1.5, at(weighted, 0.5)) << report;
  }
}

// While the rate is unconfirmed (its prior 3 ppm wide) the line's slope
// through noisy offsets tilts the older bounds; the bounds' own choice of
// slope errs less. With the rate known (0.3 ppm) it errs no more.
TEST(OffsetFitTest, AnUnsureSlopeIsChosenByTheBounds) {
  const auto at = [](std::vector<double> v, double share) {
    for (double& x : v) x = std::fabs(x);
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(share * static_cast<double>(v.size() - 1))];
  };
  FitTuning along_line;
  along_line.envelope_search_sigmas = 0;
  for (double prior_error : {3.0, 0.3}) {
    SCOPED_TRACE(prior_error);
    std::vector<double> chosen, drawn;
    for (uint64_t seed = 1; seed <= 40; ++seed) {
      const Served c = TwentyMinutes(seed, 10e6, 3e6, 0.05, true, FitTuning{}, prior_error);
      const Served d = TwentyMinutes(seed, 10e6, 3e6, 0.05, true, along_line, prior_error);
      chosen.insert(chosen.end(), c.us.begin(), c.us.end());
      drawn.insert(drawn.end(), d.us.begin(), d.us.end());
    }
    const std::string report =
        "bounds' slope " + std::to_string(at(chosen, 0.5)) + " / " + std::to_string(at(chosen, 0.95)) +
        ", line's slope " + std::to_string(at(drawn, 0.5)) + " / " + std::to_string(at(drawn, 0.95)) + " µs";
    if (prior_error > 1) {
      EXPECT_LT(at(chosen, 0.5), 0.9 * at(drawn, 0.5)) << report;
      EXPECT_LT(at(chosen, 0.95), at(drawn, 0.95)) << report;
    } else {
      EXPECT_LE(at(chosen, 0.5), 1.02 * at(drawn, 0.5)) << report;
      EXPECT_LE(at(chosen, 0.95), 1.02 * at(drawn, 0.95)) << report;
    }
  }
}

TEST(OffsetFitTest, ASpikeIsLeftOutAndAMoveNeedsThreeExchanges) {
  std::vector<FitPoint> pts = Line(20, seconds(30), 1, Nanoseconds(0), milliseconds(20));
  // One answer 5 ms off over a path as good as the others: a spike.
  for (size_t at : {size_t{10}, size_t{19}}) {
    SCOPED_TRACE(at == 19 ? "the newest" : "in the middle");
    std::vector<FitPoint> spiked = pts;
    spiked[at].adjusted += milliseconds(5);
    const std::optional<OffsetFit> fit = FitOffsets(spiked, kNow);
    ASSERT_TRUE(fit);
    EXPECT_NEAR(Us(fit->level), 0, 0.5);
    EXPECT_NEAR(*fit->ppm, 1, 1e-3);
    EXPECT_EQ(fit->left_out, 1u);
    EXPECT_FALSE(fit->cut);
  }
  // The upstream moves 20 ms ahead: two exchanges are not enough ...
  std::vector<FitPoint> moved = pts;
  moved[18].adjusted += milliseconds(20);
  moved[19].adjusted += milliseconds(20);
  std::optional<OffsetFit> fit = FitOffsets(moved, kNow);
  ASSERT_TRUE(fit);
  EXPECT_NEAR(Us(fit->level), 0, 0.5);
  EXPECT_FALSE(fit->cut);
  // ... a third on the same side is: the history before them is dropped.
  moved[17].adjusted += milliseconds(20);
  fit = FitOffsets(moved, kNow);
  ASSERT_TRUE(fit);
  // Three over a minute give no slope of their own: the older ones count
  // less (they may have drifted), so the level is the newest's.
  EXPECT_NEAR(Us(fit->level), 20000, 0.5);
  ASSERT_TRUE(fit->cut);
  EXPECT_EQ(*fit->cut, moved[17].taken);
  EXPECT_EQ(fit->used, 3u);
  // Three off the line on both sides are no move.
  moved[18].adjusted -= milliseconds(40);
  fit = FitOffsets(moved, kNow);
  ASSERT_TRUE(fit);
  EXPECT_FALSE(fit->cut);
  EXPECT_NEAR(Us(fit->level), 0, 0.5);
}

TEST(OffsetFitTest, HistoryKeepsItsBoundsAgeAndMoves) {
  FitHistory h;
  const std::vector<FitPoint> pts = Line(100, seconds(10), 0, Nanoseconds(0), milliseconds(1));
  for (const FitPoint& p : pts) h.Add("a", p);
  EXPECT_EQ(h.size("a"), FitHistory::kKept);
  EXPECT_EQ(h.size("b"), 0u);
  EXPECT_FALSE(h.Fit("b", kNow, std::chrono::hours(1)));
  // Only those at most 100 s old count, and the older ones are gone.
  std::optional<OffsetFit> fit = h.Fit("a", kNow, seconds(100));
  ASSERT_TRUE(fit);
  EXPECT_EQ(fit->used, 11u);
  EXPECT_EQ(h.size("a"), 11u);
  // Long after, the newest alone still counts.
  fit = h.Fit("a", kNow + std::chrono::hours(5), seconds(100));
  ASSERT_TRUE(fit);
  EXPECT_EQ(fit->used, 1u);
  // Two exchanges before three off their level: no slope of their own to
  // tell a drift from a move.
  for (int i = 1; i <= 3; ++i) h.Add("a", {kNow + seconds(10 * i), milliseconds(1), milliseconds(7)});
  h.Add("a", {kNow - seconds(5), milliseconds(1), Nanoseconds(0)});
  fit = h.Fit("a", kNow + seconds(30), seconds(100));
  ASSERT_TRUE(fit);
  EXPECT_FALSE(fit->cut);
  EXPECT_EQ(h.size("a"), 5u);
  // With a line of 4 minutes before them, it is a move, and it drops what
  // came before.
  for (int i = 1; i <= 13; ++i) h.Add("a", {kNow - seconds(20 * i), milliseconds(1), Nanoseconds(0)});
  fit = h.Fit("a", kNow + seconds(30), seconds(300));
  ASSERT_TRUE(fit);
  EXPECT_TRUE(fit->cut);
  EXPECT_EQ(h.size("a"), 3u);
  EXPECT_NEAR(Us(fit->level), 7000, 0.5);
  h.DropFrom("a", kNow + seconds(20));
  EXPECT_EQ(h.size("a"), 1u);
  // A bounded number of upstreams: the one heard from longest ago goes.
  for (size_t k = 0; k < FitHistory::kUpstreams; ++k)
    h.Add("u" + std::to_string(k),
          {kNow + seconds(100 + static_cast<int>(k)), milliseconds(1), Nanoseconds(0)});
  EXPECT_EQ(h.size("a"), 0u);
  EXPECT_EQ(h.size("u0"), 1u);
  // Beyond the newest half, the most delayed go first.
  FitHistory d;
  d.Add("a", {kNow, milliseconds(1), Nanoseconds(0)});
  for (int i = 1; i <= 100; ++i) d.Add("a", {kNow + seconds(i), milliseconds(2), Nanoseconds(0)});
  ASSERT_EQ(d.size("a"), FitHistory::kKept);
  ASSERT_TRUE(d.Fit("a", kNow + seconds(100), std::chrono::hours(1)));
  EXPECT_EQ(d.Fit("a", kNow + seconds(100), std::chrono::hours(1))->span, seconds(100)) << "the first stays";
  h.Forget();
  EXPECT_EQ(h.size("u0"), 0u);
}

TEST(OffsetFitTest, NearestIsOfTheExchangesSinceAndByValue) {
  FitHistory h;
  EXPECT_FALSE(h.Nearest("a", kNow, Nanoseconds(0)));
  h.Add("a", {kNow - seconds(10), milliseconds(1), microseconds(100)});
  h.Add("a", {kNow, milliseconds(3), microseconds(-40)});
  h.Add("a", {kNow + seconds(2), milliseconds(2), microseconds(90)});
  h.Add("b", {kNow + seconds(2), milliseconds(2), microseconds(1)});
  // The one of 100 µs is nearest but older than `from`; of the others, 90 µs.
  ASSERT_TRUE(h.Nearest("a", kNow, microseconds(101)));
  EXPECT_EQ(h.Nearest("a", kNow, microseconds(101))->adjusted, microseconds(90));
  EXPECT_EQ(h.Nearest("a", kNow, microseconds(20))->adjusted, microseconds(-40));
  EXPECT_EQ(h.Nearest("a", kNow - seconds(10), microseconds(101))->adjusted, microseconds(100));
  EXPECT_FALSE(h.Nearest("a", kNow + seconds(3), Nanoseconds(0))) << "none taken since";
}

// A fit of `ppm` +- `error` over `span` through `used` exchanges.
OffsetFit Slope(double ppm, double error, Nanoseconds span = std::chrono::minutes(20),
                std::size_t used = 40) {
  OffsetFit f;
  f.ppm = ppm;
  f.ppm_error = error;
  f.span = span;
  f.used = used;
  return f;
}

TEST(OffsetFitTest, ASlopeIsTheRateOnlyWhenCertainForTheIntervalOrPlainlyAway) {
  // -0.78 +- 0.67 ppm with 0 in force, 64 s apart: within its errors, so the
  // correction in force holds (taken as the rate it would run away 50 µs an
  // interval).
  ASSERT_TRUE(SlopeFigure(Slope(-0.78, 0.67), 0, seconds(64)));
  EXPECT_EQ(*SlopeFigure(Slope(-0.78, 0.67), 0, seconds(64)), 0);
  EXPECT_EQ(*SlopeFigure(Slope(20.3, 0.4), 20, seconds(64)), 20);
  // Certain enough that its error costs at most 10 µs over the interval:
  // 0.15 ppm over 64 s is, over 128 s it is not.
  EXPECT_DOUBLE_EQ(*SlopeFigure(Slope(-0.3, 0.15), 0, seconds(64)), -0.3);
  EXPECT_EQ(*SlopeFigure(Slope(-0.3, 0.15), 0, seconds(128)), 0);
  // Never needs an error below 0.01 ppm (a day's interval), never accepts one above 1 ppm.
  EXPECT_DOUBLE_EQ(*SlopeFigure(Slope(0.05, 0.009), 0, std::chrono::hours(24)), 0.05);
  EXPECT_EQ(*SlopeFigure(Slope(0.05, 0.02), 0, std::chrono::hours(24)), 0);
  EXPECT_EQ(*SlopeFigure(Slope(2, 1.1), 0, seconds(1)), 0);
  // Plainly away (more than 5 errors) counts whatever its error: a clock
  // far off is corrected soon; 4.5 errors is not plain.
  EXPECT_DOUBLE_EQ(*SlopeFigure(Slope(17.8, 1.4), 0, seconds(64)), 17.8);
  EXPECT_EQ(*SlopeFigure(Slope(4.5, 1), 0, seconds(64)), 0);
  EXPECT_DOUBLE_EQ(*SlopeFigure(Slope(-6, 1), 0, seconds(64)), -6);
  // Too short a line, too few exchanges, no slope or none finite: no figure.
  EXPECT_FALSE(SlopeFigure(Slope(7.77, 0.01, seconds(239)), 0, seconds(64)));
  EXPECT_FALSE(SlopeFigure(Slope(7.77, 0.01, seconds(257), 5), 0, seconds(64)));
  EXPECT_TRUE(SlopeFigure(Slope(7.77, 0.01, seconds(257), 8), 0, seconds(64)));
  OffsetFit flat = Slope(0, 0);
  flat.ppm.reset();
  EXPECT_FALSE(SlopeFigure(flat, 0, seconds(64)));
  EXPECT_FALSE(SlopeFigure(Slope(std::nan(""), 0.01), 0, seconds(64)));
  // A zero interval counts as a second, not as a division by zero.
  EXPECT_EQ(*SlopeFigure(Slope(0.5, 0.9), 0, Nanoseconds(0)), 0.5);
}

}  // namespace
}  // namespace mdl
