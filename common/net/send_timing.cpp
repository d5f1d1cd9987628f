// Batched-send timing model.
#include "common/net/send_timing.h"

#include <algorithm>

namespace mdl::net {
namespace {

// Exponential average, weight 1/8; the first sample is taken as it is.
void Average(int64_t& value, uint32_t& samples, int64_t sample) {
  value = samples == 0 ? sample : value + (sample - value) / 8;
  if (samples < UINT32_MAX) ++samples;
}

}  // namespace

int64_t SendOffsetNs(const SendTiming& t, size_t stamped, size_t k) {
  return static_cast<int64_t>(stamped) * t.prep_ns + t.lead_ns + static_cast<int64_t>(k) * t.step_ns;
}

uint32_t NextSampleGap(uint32_t gap, int64_t modelled_ns, int64_t observed_ns) {
  const int64_t stray = observed_ns - modelled_ns;
  if (stray > kSampleStrayNs || stray < -kSampleStrayNs) return kSampleGapLearning;
  return std::clamp<uint32_t>(gap * 2, kSampleGapLearning, kSampleGapStable);
}

void ObservePrep(SendTiming& t, size_t stamped, int64_t prep_ns) {
  if (stamped == 0 || prep_ns < 0 || prep_ns > kMaxSendSampleNs) return;
  Average(t.prep_ns, t.prep_samples, prep_ns / static_cast<int64_t>(stamped));
}

void ObserveSend(SendTiming& t, size_t first, int64_t first_ns, size_t last, int64_t last_ns) {
  if (first_ns < 0 || first_ns > kMaxSendSampleNs) return;
  // The lead is the first datagram's; a later one carries the steps before it.
  if (first == 0) Average(t.lead_ns, t.lead_samples, first_ns);
  if (last <= first || last_ns < first_ns || last_ns > kMaxSendSampleNs) return;
  Average(t.step_ns, t.step_samples, (last_ns - first_ns) / static_cast<int64_t>(last - first));
}

}  // namespace mdl::net
