// One-way delays of an emulated network path.
#include "bench/path_model.h"

#include <cmath>
#include <numbers>

namespace mdl::bench {

std::optional<PathProfile> NamedProfile(std::string_view name) {
  PathProfile p;
  if (name == "lan") {
    p.base_ms[0] = p.base_ms[1] = 0.2;
    p.queue_mean_ms = 0.05;
  } else if (name == "internet") {
    p.base_ms[0] = p.base_ms[1] = 10;
    p.queue_mean_ms = 3;
    p.spike_fraction = 0.05;
    p.spike_ms = 40;
  } else if (name == "congested") {
    p.base_ms[0] = p.base_ms[1] = 10;
    p.queue_mean_ms = 1;
    p.burst_dir = PathDir::kBack;
    p.burst_max_ms = 20;
    p.burst_mean_s = 6;
    p.gap_mean_s = 10;
  } else if (name == "asymmetric") {
    p.base_ms[0] = 12;
    p.base_ms[1] = 8;
    p.queue_mean_ms = 0.2;
  } else {
    return std::nullopt;
  }
  return p;
}

uint64_t PathRandom::Next() {
  uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

double PathRandom::Uniform() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }

double PathRandom::Exponential(double mean) {
  if (mean <= 0) return 0;
  return -mean * std::log1p(-Uniform());
}

DelayModel::DelayModel(const PathProfile& profile, uint64_t seed)
    : profile_(profile),
      random_{PathRandom(seed * 3 + 1), PathRandom(seed * 3 + 2)},
      burst_random_(seed * 3 + 3) {
  if (profile_.burst_dir) {
    burst_start_ = burst_random_.Exponential(profile_.gap_mean_s);
    burst_end_ = burst_start_ + 1 + burst_random_.Exponential(profile_.burst_mean_s);
    burst_peak_ = profile_.burst_max_ms * (0.25 + 0.75 * burst_random_.Uniform());
  }
}

double DelayModel::BurstMs(PathDir dir, double t_s) {
  if (!profile_.burst_dir || dir != *profile_.burst_dir || profile_.burst_max_ms <= 0) return 0;
  // Bounded catch-up: each step moves at least 1 s, and runs are short.
  while (t_s >= burst_end_) {
    burst_start_ = burst_end_ + burst_random_.Exponential(profile_.gap_mean_s);
    burst_end_ = burst_start_ + 1 + burst_random_.Exponential(profile_.burst_mean_s);
    burst_peak_ = profile_.burst_max_ms * (0.25 + 0.75 * burst_random_.Uniform());
  }
  if (t_s < burst_start_) return 0;
  const double phase = (t_s - burst_start_) / (burst_end_ - burst_start_);
  return burst_peak_ * std::sin(std::numbers::pi * phase);
}

double DelayModel::DelayMs(PathDir dir, double t_s) {
  PathRandom& r = random_[static_cast<int>(dir)];
  double ms = profile_.base_ms[static_cast<int>(dir)] + r.Exponential(profile_.queue_mean_ms);
  // Always drawn, so that the sequence does not depend on the spike setting.
  if (r.Uniform() < profile_.spike_fraction) ms += profile_.spike_ms;
  return ms + BurstMs(dir, t_s);
}

}  // namespace mdl::bench
