// The frequency discipline alone, on a frozen clock whose oscillator is off
// by a set rate, synchronised from an upstream that may lie: what the
// correction does over many intervals, without sockets.
#include "server/upstream/discipline.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>

#include "common/clock/virtual_clock.h"

namespace mdl {
namespace {

using std::chrono::hours;
using std::chrono::milliseconds;
using std::chrono::minutes;
using std::chrono::seconds;

double Ms(Nanoseconds d) { return std::chrono::duration<double, std::milli>(d).count(); }

// A perfect path: each synchronisation steps the clock to the upstream's
// answer, the truth plus the upstream's lie.
class Rig {
 public:
  explicit Rig(double oscillator_ppm) : clock_(UtcFromNs(1'796'634'000'000'000'000)) {
    true_start_ = clock_.now();
    clock_.set_oscillator_error(oscillator_ppm);
  }
  Nanoseconds Error() const { return clock_.now() - (true_start_ + clock_.monotonic()); }
  // Lets `interval` pass, then synchronises; returns the correction now in force.
  double Sync(Nanoseconds interval, Nanoseconds lie = Nanoseconds(0)) {
    clock_.advance(interval);
    const Nanoseconds step = lie - Error();
    clock_.set(clock_.now() + step);
    const double ppm = d_.OnSync(clock_.monotonic(), step);
    clock_.set_frequency(ppm);
    return ppm;
  }
  void Silence(Nanoseconds d) { clock_.advance(d); }
  VirtualClock& clock() { return clock_; }
  FrequencyDiscipline& discipline() { return d_; }

 private:
  VirtualClock clock_;
  UtcTime true_start_{};
  FrequencyDiscipline d_;
};

TEST(FrequencyDisciplineTest, GoodUpstreamIsFollowedOnceThreeFiguresAgreeAtMostTenPpmASynchronisation) {
  struct Case {
    double oscillator_ppm;
    Nanoseconds interval;
    int settled_at;  // the synchronisation from which the truth is in force
  };
  // The first synchronisation gives no figure; the fourth has three.
  const Case cases[] = {{50, minutes(1), 8}, {50, minutes(59), 8}, {-23, minutes(5), 6}, {4, hours(24), 4}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.oscillator_ppm) + " ppm every " +
                 std::to_string(std::chrono::duration_cast<minutes>(c.interval).count()) + " min");
    Rig rig(c.oscillator_ppm);
    double before = 0;
    for (int sync = 1; sync <= 12; ++sync) {
      const double ppm = rig.Sync(c.interval);
      if (sync < 4) {
        EXPECT_EQ(ppm, 0) << "moved before three figures at synchronisation " << sync;
      }
      EXPECT_LE(std::fabs(ppm - before), FrequencyDiscipline::kMaxChangePpm + 1e-9)
          << "synchronisation " << sync;
      // Until then the start (no correction) is the confirmed one.
      if (sync >= 4) {
        EXPECT_EQ(rig.discipline().confirmed(), sync >= c.settled_at) << "synchronisation " << sync;
      }
      if (sync >= c.settled_at) {
        EXPECT_NEAR(ppm, -c.oscillator_ppm, 1e-3) << "synchronisation " << sync;
      }
      before = ppm;
    }
    EXPECT_LT(std::fabs(Ms(rig.Error())), 1e-3) << "still drifting once settled";
  }
}

// An oscillator 50 ppm fast (the truth: -50 ppm), one-minute intervals.
// Each attack comes right after the first synchronisation (one figure would
// be all there is) and on a settled clock; it lasts 12 synchronisations, then
// the upstream answers truly for 12 more and falls silent for a day. The
// correction may only move between where it started and the truth, never
// more than 10 ppm beyond either.
TEST(FrequencyDisciplineTest, FlakyUpstreamNeverTakesTheCorrectionMoreThanTenPpmFromTheTruth) {
  struct Attack {
    const char* name;
    std::function<Nanoseconds(int)> lie;  // by synchronisation of the attack, from 0
  };
  const Attack attacks[] = {
      {"one answer 3 s off", [](int k) { return k == 0 ? seconds(3) : seconds(0); }},
      {"alternating +-2 s", [](int k) { return k % 2 ? seconds(-2) : seconds(2); }},
      {"upstream drifting 3000 ppm",
       [](int k) { return std::chrono::duration_cast<Nanoseconds>(minutes(k + 1) * 3000e-6); }},
      {"answers 3 ms off, twice, apart",
       [](int k) { return k == 0 || k == 6 ? milliseconds(3) : seconds(0); }},
      {"every third answer 2 ms slow", [](int k) { return k % 3 == 0 ? milliseconds(-2) : seconds(0); }},
  };
  struct Setup {
    const char* name;
    int good_before;  // good synchronisations before the attack
  };
  for (const Setup setup : {Setup{"fresh", 1}, Setup{"settled", 8}}) {
    for (const Attack& a : attacks) {
      SCOPED_TRACE(std::string(setup.name) + ", " + a.name);
      Rig rig(50);
      for (int i = 0; i < setup.good_before; ++i) rig.Sync(minutes(1));
      const double start = rig.discipline().correction_ppm();
      // One line per attack: the first synchronisation that leaves the band.
      auto ran_away = [&](double ppm, const std::string& when) {
        if (ppm >= std::min(start, -50.0) - 10 && ppm <= std::max(start, -50.0) + 10) return false;
        ADD_FAILURE() << setup.name << ", " << a.name << ": correction " << ppm << " ppm at " << when;
        return true;
      };
      bool away = false;
      for (int k = 0; k < 12 && !away; ++k)
        away = ran_away(rig.Sync(minutes(1), a.lie(k)), "attack synchronisation " + std::to_string(k + 1));
      for (int k = 0; k < 12 && !away; ++k) {
        const double served_ms = Ms(rig.Error());
        away = ran_away(rig.Sync(minutes(1)), "good synchronisation " + std::to_string(k + 1) + " after it");
        // The first good one still serves the last lie's step (seconds); on
        // the settled clock, from the second only the rate error counts.
        if (k > 0 && (start == -50 || k >= 10)) {
          EXPECT_LT(std::fabs(served_ms), 0.6) << "good synchronisation " << k + 1 << " after the attack";
        }
      }
      if (away) continue;
      EXPECT_NEAR(rig.discipline().correction_ppm(), -50, 1e-3) << "a good upstream is followed again";
      const Nanoseconds before = rig.Error();
      rig.Silence(hours(24));
      EXPECT_LT(std::fabs(Ms(rig.Error() - before)), 864.0)
          << "ran away by more than 10 ppm over a silent day";
    }
  }
}

TEST(FrequencyDisciplineTest, FigureBeyondTheBoundIsRefusedAndTold) {
  Rig rig(50);
  for (int i = 0; i < 8; ++i) rig.Sync(minutes(1));
  EXPECT_FALSE(rig.discipline().last_figure_refused());
  ASSERT_TRUE(rig.discipline().last_figure().has_value());
  EXPECT_NEAR(*rig.discipline().last_figure(), -50, 1e-6);
  rig.Sync(minutes(1), seconds(3));
  EXPECT_TRUE(rig.discipline().last_figure_refused());
  EXPECT_NEAR(*rig.discipline().last_figure(), 49950, 1e-3) << "-50 ppm plus 3 s over a minute";
  // Too short an interval gives no figure at all.
  rig.Sync(seconds(30));
  EXPECT_FALSE(rig.discipline().last_figure().has_value());
  EXPECT_FALSE(rig.discipline().last_figure_refused());
}

TEST(FrequencyDisciplineTest, MaxPpmBoundsFiguresAndCorrection) {
  // An oscillator beyond the bound gives only refused figures: the rate is left alone.
  Rig wild(150);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(wild.Sync(minutes(10)), 0);
  // Within it, the correction never passes it.
  Rig near(95);
  near.discipline().SetMaxPpm(90);
  for (int i = 0; i < 12; ++i) EXPECT_GE(near.Sync(minutes(10)), -90);
  EXPECT_EQ(near.discipline().correction_ppm(), 0) << "figures of -95 ppm are beyond a 90 ppm bound";
  // A bound may not exceed the kernel's; a lower one pulls the correction in.
  FrequencyDiscipline d;
  d.SetMaxPpm(10000);
  EXPECT_EQ(d.max_ppm(), FrequencyDiscipline::kKernelMaxPpm);
  d.Start(-400);
  d.SetMaxPpm(40);
  EXPECT_EQ(d.correction_ppm(), -40);
  EXPECT_EQ(d.confirmed_ppm(), -40);
}

TEST(FrequencyDisciplineTest, StartRateIsConfirmedAndFiguresAreMeasuredAgainstIt) {
  // Started from a stored -50 on a 50 ppm oscillator: nothing to learn.
  Rig rig(50);
  rig.discipline().Start(-50);
  rig.clock().set_frequency(-50);
  for (int i = 0; i < 6; ++i) EXPECT_NEAR(rig.Sync(minutes(59)), -50, 1e-3);
  EXPECT_TRUE(rig.discipline().confirmed());
  EXPECT_LT(std::fabs(Ms(rig.Error())), 1e-3);
  FrequencyDiscipline d;
  d.Start(250);
  EXPECT_EQ(d.correction_ppm(), FrequencyDiscipline::kDefaultMaxPpm) << "a start beyond the bound is clamped";
}

TEST(FrequencyDisciplineTest, LostUpstreamFallsBackToTheConfirmedCorrectionOnce) {
  Rig rig(50);
  for (int i = 0; i < 8; ++i) rig.Sync(minutes(1));
  // The oscillator moves 30 ppm: the correction heads there 10 ppm at a time.
  rig.clock().set_oscillator_error(80);
  for (int i = 0; i < 3; ++i) rig.Sync(minutes(1));
  FrequencyDiscipline& d = rig.discipline();
  ASSERT_EQ(d.correction_ppm(), -60);
  ASSERT_FALSE(d.confirmed());
  EXPECT_EQ(d.confirmed_ppm(), -50);
  const Nanoseconds last = rig.clock().monotonic();
  // Synchronisations due every second still wait out three minutes.
  const Nanoseconds interval = seconds(1);
  EXPECT_FALSE(d.OnSilence(last + minutes(3), interval)) << "three intervals are not yet lost";
  const std::optional<double> held = d.OnSilence(last + minutes(3) + seconds(1), interval);
  ASSERT_TRUE(held.has_value());
  EXPECT_EQ(*held, -50);
  EXPECT_TRUE(d.confirmed());
  EXPECT_FALSE(d.OnSilence(last + hours(5), interval)) << "held once, then left alone";
  // The interval that ran at two rates gives no figure.
  rig.clock().set_frequency(-50);
  rig.Sync(minutes(4));
  EXPECT_FALSE(d.last_figure().has_value());
}

TEST(FrequencyDisciplineTest, UnappliedCorrectionLeavesTheRateInForceForTheNextFigure) {
  // A clock that cannot be slewed keeps running at its own rate.
  Rig rig(50);
  FrequencyDiscipline& d = rig.discipline();
  for (int i = 0; i < 6; ++i) {
    rig.clock().advance(minutes(10));
    const Nanoseconds step = -rig.Error();
    rig.clock().set(rig.clock().now() + step);
    d.OnSync(rig.clock().monotonic(), step);
    d.Unapplied(0);
    ASSERT_TRUE(!d.last_figure() || std::fabs(*d.last_figure() + 50) < 1e-6)
        << "a figure measured against a rate never run: " << *d.last_figure();
  }
}

TEST(FrequencyDisciplineTest, ClockSetFromOutsideOrAnotherUpstreamGivesNoFigure) {
  Rig rig(50);
  for (int i = 0; i < 8; ++i) rig.Sync(minutes(10));
  rig.discipline().SkipInterval();
  rig.Sync(minutes(10), seconds(1));
  EXPECT_FALSE(rig.discipline().last_figure().has_value());
  rig.discipline().Forget();
  for (int i = 0; i < 3; ++i) rig.Sync(minutes(10));
  EXPECT_EQ(rig.discipline().correction_ppm(), -50) << "the correction in force stays while figures gather";
}

}  // namespace
}  // namespace mdl

namespace mdl {
namespace {

// Figures measured elsewhere (a fit's slope) pass the same bound and
// agreement: three needed, 10 ppm a step, a wild one refused, none kept
// from a synchronisation without one.
TEST(DisciplineFigureTest, FiguresGivenGoThroughTheBoundAndTheAgreement) {
  FrequencyDiscipline d;
  d.Start(0);
  const auto at = [](int minute) { return Nanoseconds(std::chrono::minutes(minute)); };
  EXPECT_EQ(d.OnFigure(at(1), 25.0), 0);
  EXPECT_EQ(d.OnFigure(at(2), std::nullopt), 0);
  EXPECT_FALSE(d.last_figure());
  EXPECT_EQ(d.OnFigure(at(3), 25.2), 0) << "two figures are not enough";
  EXPECT_EQ(d.OnFigure(at(4), 3000.0), 0);
  EXPECT_TRUE(d.last_figure_refused());
  EXPECT_EQ(d.OnFigure(at(5), 24.8), 10) << "three agree: 10 ppm towards their median";
  EXPECT_FALSE(d.confirmed());
  EXPECT_EQ(d.OnFigure(at(6), 25.0), 20);
  EXPECT_EQ(d.OnFigure(at(7), 25.0), 25);
  EXPECT_TRUE(d.confirmed());
  // A figure of the interval's own kind after one given: the interval counts from the last.
  EXPECT_NEAR(d.OnSync(at(8), std::chrono::microseconds(60)), 25, 1e-9)
      << "60 µs in a minute: +1 ppm, median 25";
  ASSERT_TRUE(d.last_figure());
  EXPECT_NEAR(*d.last_figure(), 26, 1e-9);
}

}  // namespace
}  // namespace mdl
