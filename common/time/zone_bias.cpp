// Zone bias and local time.
#include "common/time/zone_bias.h"

namespace mdl {

int32_t GrabBias(const ZoneFacts& zone) {
  // Computed in 64 bits so that absurd minute counts cannot overflow; real
  // biases are within a day.
  const int64_t minutes =
      zone.daylight ? int64_t{zone.bias_minutes} + zone.daylight_bias_minutes : int64_t{zone.bias_minutes};
  return static_cast<int32_t>(minutes * 60);
}

LocalTime LocalFromUtc(UtcTime t, int32_t bias_seconds) {
  return LocalTime((t - std::chrono::seconds(bias_seconds)).time_since_epoch());
}

LocalTime LocalFromUtc(UtcTime t, const ZoneFacts& zone) { return LocalFromUtc(t, GrabBias(zone)); }

const std::string& ZoneName(const ZoneFacts& zone) {
  return zone.daylight ? zone.daylight_name : zone.standard_name;
}

}  // namespace mdl
