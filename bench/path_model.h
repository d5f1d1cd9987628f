// One-way delays of an emulated network path, for the accuracy benchmark's
// relay: a base delay per direction, exponential queueing, rare spikes and, in
// one direction, queueing bursts correlated over seconds. Seeded: the same
// seed and the same arrival times give the same delays.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace mdl::bench {

// Directions through the relay.
enum class PathDir { kOut = 0, kBack = 1 };  // client to server, server to client

struct PathProfile {
  double base_ms[2] = {0, 0};  // fixed delay, by PathDir
  double queue_mean_ms = 0;    // mean of the exponential queueing, both directions
  double spike_fraction = 0;   // share of packets delayed by spike_ms more
  double spike_ms = 0;
  // Queueing bursts in one direction only: gaps and bursts of exponential
  // length (means in seconds); within a burst the extra delay rises to a peak
  // drawn from [burst_max_ms / 4, burst_max_ms] and falls back (a half sine).
  std::optional<PathDir> burst_dir;
  double burst_max_ms = 0;
  double burst_mean_s = 0;
  double gap_mean_s = 0;
};

// The benchmark's profiles: lan, internet, congested, asymmetric.
std::optional<PathProfile> NamedProfile(std::string_view name);

// A small generator of fixed arithmetic (splitmix64), so that a seed gives the
// same sequence with any standard library.
class PathRandom {
 public:
  explicit PathRandom(uint64_t seed) : state_(seed) {}
  uint64_t Next();
  double Uniform();  // [0, 1)
  double Exponential(double mean);

 private:
  uint64_t state_;
};

class DelayModel {
 public:
  DelayModel(const PathProfile& profile, uint64_t seed);
  // Delay in milliseconds of a packet entering the path in `dir` at `t_s`
  // seconds after the start. Times are expected in order per direction.
  double DelayMs(PathDir dir, double t_s);
  // The burst's extra delay at `t_s` (0 outside bursts or in the other direction).
  double BurstMs(PathDir dir, double t_s);

 private:
  PathProfile profile_;
  PathRandom random_[2];
  PathRandom burst_random_;
  double burst_start_ = 0;
  double burst_end_ = 0;
  double burst_peak_ = 0;
};

}  // namespace mdl::bench
