// The Windows clock's rate: the periodic time adjustment, i.e. the amount
// added to the time of day at each clock interrupt against the interrupt's
// nominal increment. The system's calls come through RateCalls so that the
// figures passed can be recorded without touching a real clock.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <system_error>

namespace mdl::win_clock {

// The adjustment in force: `adjustment` units are added to the time of day
// for every `increment` units that pass; `disabled`: the system runs the
// clock at its nominal rate with means of its own.
struct RateReading {
  uint64_t adjustment = 0;
  uint64_t increment = 0;
  bool disabled = true;
};

// The system's side. An empty precise call means the system lacks the
// Get/SetSystemTimeAdjustmentPrecise pair: the 32-bit pair is used then.
struct RateCalls {
  std::function<std::error_code(RateReading&)> get_precise;
  std::function<std::error_code(uint64_t adjustment, bool disabled)> set_precise;
  std::function<std::error_code(RateReading&)> get;
  std::function<std::error_code(uint32_t adjustment, bool disabled)> set;
  // The Windows Time service runs: the rate is its to set.
  std::function<bool()> time_service_runs;
  // Enables the right to change the system time for the process.
  std::function<std::error_code()> enable_privilege;
};

// Failures of our own (messages say what to do about them).
enum class RateError {
  kTimeServiceRuns = 1,
  kPrivilegeNotHeld,
  kOutOfRange,
};
const std::error_category& RateCategory();
std::error_code MakeError(RateError e);

// The largest correction either way, as adjtimex bounds it on Linux.
inline constexpr double kMaxRatePpm = 500;

// The adjustment figure that runs the clock `ppm` faster (negative: slower)
// than an interrupt of `increment` units: increment * (1 + ppm / 1e6),
// rounded. nullopt for a rate beyond kMaxRatePpm, not a number, or a zero
// increment.
std::optional<uint64_t> AdjustmentFor(uint64_t increment, double ppm);

// The correction a reading stands for, in ppm; nullopt when the adjustment
// is disabled or the increment is unknown.
std::optional<double> PpmOf(const RateReading& reading);

// Sets the rate: 0 hands the clock back to the system (adjustment
// disabled). Leaves the Windows Time service's adjustment alone and says so.
std::error_code SetRate(const RateCalls& calls, double ppm);

// The correction in force, whoever set it.
std::optional<double> ReadRate(const RateCalls& calls);

// The system's own calls; the precise pair looked up at run time, since
// older systems (and Wine) may lack it.
const RateCalls& SystemRateCalls();

// The right to change the system time enabled once for the process; the
// first attempt's outcome is kept.
std::error_code EnableTimePrivilege();

}  // namespace mdl::win_clock
