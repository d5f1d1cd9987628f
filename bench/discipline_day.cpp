// The error served over a simulated day: a clock whose oscillator runs a set
// number of ppm fast, synchronised every interval from an upstream that
// answers the true time over a path whose one-way delays vary at random, with
// and without the frequency discipline. The discipline starts from no
// correction and is given a day to settle; the figures are those of the
// second day. Runs on a frozen clock in well under a second.
//
// Usage: mdl_discipline_day [ppm] [interval-minutes] [max-path-ms]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "common/clock/virtual_clock.h"
#include "server/upstream/discipline.h"

namespace {

using namespace std::chrono;
using mdl::Nanoseconds;

struct Figures {
  double median_ms, p95_ms, max_ms;
  double settled_h;  // hours until the correction was first within 2 ppm of the truth
};

Figures Day(bool discipline, int samples, double ppm, minutes interval, double max_path_ms) {
  mdl::VirtualClock clock(mdl::UtcFromNs(1'796'634'000'000'000'000));
  const mdl::UtcTime true_start = clock.now();
  clock.set_oscillator_error(ppm);
  mdl::FrequencyDiscipline d;
  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> path(0.5, max_path_ms / 2);
  std::vector<double> served;  // |error| sampled every minute
  double settled_h = -1;
  for (auto t = minutes(0); t < hours(48); t += interval) {
    for (auto m = minutes(0); m < interval; ++m) {
      clock.advance(minutes(1));
      const mdl::UtcTime truth = true_start + clock.monotonic();
      if (t >= hours(24))
        served.push_back(std::fabs(duration<double, std::milli>(clock.now() - truth).count()));
    }
    // Exchanges out and back over paths of different delay, 2 s apart; the
    // one with the shortest round trip sets the clock to the upstream's time
    // plus half its round trip.
    Nanoseconds best_rtt = Nanoseconds::max(), best_offset{0};
    for (int k = 0; k < samples; ++k) {
      if (k > 0) clock.advance(seconds(2));
      const auto out = duration_cast<Nanoseconds>(duration<double, std::milli>(path(random)));
      const auto back = duration_cast<Nanoseconds>(duration<double, std::milli>(path(random)));
      const mdl::UtcTime upstream_time = true_start + clock.monotonic() + out;
      clock.advance(out + back);
      const Nanoseconds offset = upstream_time + (out + back) / 2 - clock.now();
      if (out + back < best_rtt) {
        best_rtt = out + back;
        best_offset = offset;
      }
    }
    const Nanoseconds step = best_offset;
    clock.set(clock.now() + step);
    if (discipline) clock.set_frequency(d.OnSync(clock.monotonic(), step));
    if (discipline && settled_h < 0 && std::fabs(d.correction_ppm() + ppm) <= 2)
      settled_h = duration<double, std::ratio<3600>>(t + interval).count();
  }
  std::sort(served.begin(), served.end());
  return {served[served.size() / 2], served[served.size() * 95 / 100], served.back(), settled_h};
}

}  // namespace

int main(int argc, char** argv) {
  const double ppm = argc > 1 ? std::atof(argv[1]) : 50;
  const minutes interval(argc > 2 ? std::atoi(argv[2]) : 59);
  const double max_path_ms = argc > 3 ? std::atof(argv[3]) : 50;
  std::printf(
      "oscillator %+.1f ppm, interval %ld min, path 1 to %.0f ms round trip; error served on the "
      "second day, sampled every minute\n",
      ppm, static_cast<long>(interval.count()), max_path_ms);
  std::printf("%-22s %10s %10s %10s %10s\n", "mode", "median ms", "p95 ms", "max ms", "settled h");
  const struct {
    const char* name;
    bool discipline;
    int samples;
  } modes[] = {{"Discipline NO", false, 1},
               {"Discipline YES", true, 1},
               {"NO, SyncSamples 4", false, 4},
               {"YES, SyncSamples 4", true, 4}};
  for (const auto& m : modes) {
    const Figures f = Day(m.discipline, m.samples, ppm, interval, max_path_ms);
    char settled[32] = "-";
    if (f.settled_h >= 0) std::snprintf(settled, sizeof settled, "%.1f", f.settled_h);
    std::printf("%-22s %10.3f %10.3f %10.3f %10s\n", m.name, f.median_ms, f.p95_ms, f.max_ms, settled);
  }
  return 0;
}
