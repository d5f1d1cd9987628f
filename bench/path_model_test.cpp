// Tests of the emulated path's delay generator.
#include "bench/path_model.h"

#include <gtest/gtest.h>

#include <vector>

namespace mdl::bench {
namespace {

std::vector<double> Delays(const PathProfile& p, uint64_t seed, PathDir dir, int n, double step_s = 0.5) {
  DelayModel m(p, seed);
  std::vector<double> out;
  for (int i = 0; i < n; ++i) out.push_back(m.DelayMs(dir, i * step_s));
  return out;
}

TEST(PathDelays, SameSeedRepeatsAndOtherSeedDiffers) {
  const PathProfile p = *NamedProfile("internet");
  EXPECT_EQ(Delays(p, 7, PathDir::kOut, 200), Delays(p, 7, PathDir::kOut, 200));
  EXPECT_NE(Delays(p, 7, PathDir::kOut, 200), Delays(p, 8, PathDir::kOut, 200));
  // The two directions draw from their own streams.
  EXPECT_NE(Delays(p, 7, PathDir::kOut, 200), Delays(p, 7, PathDir::kBack, 200));
}

TEST(PathDelays, MeanAndSpikeFractionOfTheInternetProfile) {
  const PathProfile p = *NamedProfile("internet");
  const int n = 20000;
  double queue_sum = 0;
  int spikes = 0;
  for (double d : Delays(p, 3, PathDir::kBack, n)) {
    ASSERT_GE(d, 10.0);
    double q = d - 10.0;
    if (q >= 40.0 && q - 40.0 < 25.0) {
      // A spike, unless the queueing alone reached 40 ms (odds e^-13).
      ++spikes;
      q -= 40.0;
    }
    queue_sum += q;
  }
  EXPECT_NEAR(queue_sum / n, 3.0, 0.15);
  EXPECT_NEAR(static_cast<double>(spikes) / n, 0.05, 0.006);
}

TEST(PathDelays, AsymmetricBasesAndLanScale) {
  const PathProfile a = *NamedProfile("asymmetric");
  for (double d : Delays(a, 1, PathDir::kOut, 500)) ASSERT_GE(d, 12.0);
  for (double d : Delays(a, 1, PathDir::kBack, 500)) ASSERT_LT(d, 12.0) << "the way back is the short one";
  double sum = 0;
  for (double d : Delays(*NamedProfile("lan"), 1, PathDir::kOut, 5000)) sum += d;
  EXPECT_NEAR(sum / 5000, 0.25, 0.01);
  EXPECT_FALSE(NamedProfile("wan"));
}

TEST(PathDelays, CongestionBurstsInOneDirectionCorrelatedOverSeconds) {
  const PathProfile p = *NamedProfile("congested");
  DelayModel m(p, 11);
  double peak = 0, in_burst_s = 0, largest_change = 0, last = 0;
  const double step = 0.1;
  for (int i = 0; i < 6000; ++i) {  // 10 minutes
    EXPECT_EQ(m.BurstMs(PathDir::kOut, i * step), 0.0);
    const double b = m.BurstMs(PathDir::kBack, i * step);
    ASSERT_GE(b, 0.0);
    ASSERT_LE(b, 20.0);
    if (b > peak) peak = b;
    if (b > 0) in_burst_s += step;
    if (i > 0 && std::abs(b - last) > largest_change) largest_change = std::abs(b - last);
    last = b;
  }
  EXPECT_GT(peak, 10.0);
  // Bursts of 6 s and gaps of 10 s on average: about 40% of the time.
  EXPECT_GT(in_burst_s, 120.0);
  EXPECT_LT(in_burst_s, 400.0);
  // Correlated: a tenth of a second moves the queueing by a few ms at most.
  EXPECT_LT(largest_change, 5.0);
}

}  // namespace
}  // namespace mdl::bench
