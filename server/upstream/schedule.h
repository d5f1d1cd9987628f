// The synchronisation schedule: the interval from the operator's count and
// unit (`CalcIntC`), the one-second tick that starts queries, and the input
// guard of the count field.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace mdl {

struct IntervalResult {
  bool ok = false;
  int32_t seconds = 0;           // `SyncInterval` when ok
  bool unit_is_seconds = false;  // "Sec" unit: the caller restarts the timer
  std::string error;             // why the interval was rejected
};

// `CalcIntC`: count = the text's leading number (0 when none), rounded half
// to even; the unit by its first three characters, case-sensitive: "Sec" x1,
// "Min" x60, "Hou" x3600, anything else x86400. A product outside the signed
// 32-bit range is rejected with a message; the caller then keeps its
// interval, which `current_interval` names in the message when given.
IntervalResult CalcIntC(std::string_view count_text, std::string_view unit_text,
                        std::optional<int32_t> current_interval = std::nullopt);

// The interval of the default settings (59 minutes); a stored interval that
// cannot be used leaves it in place.
inline constexpr int32_t kDefaultSyncIntervalSeconds = 59 * 60;

// `SyncCounter` and `SyncInterval` and the `SyncNow` tick.
class SyncSchedule {
 public:
  int32_t SyncCounter() const { return counter_; }
  int32_t SyncInterval() const { return interval_; }

  // One second has passed. True when a query is due; the counter then starts
  // again from 0. An interval of 0 or less makes every tick a query.
  bool Tick();

  // Takes effect from the next tick, against the current counter.
  void SetInterval(int32_t seconds) { interval_ = seconds; }
  void SetCounter(int32_t count) { counter_ = count; }
  // The query is due `ticks` ticks from now (for any interval; the counter
  // is clamped to its range).
  void DueIn(int32_t ticks);
  // For the retry paths: the next tick starts a query.
  void StartOnNextTick() { counter_ = interval_; }

 private:
  int32_t counter_ = 0;
  int32_t interval_ = kDefaultSyncIntervalSeconds;
};

// The guard of the `SyncN` field: drops the last character until the text
// is numeric or empty ("5x" -> "5"). Linear in the text's length.
std::string GuardSyncN(std::string text);

}  // namespace mdl
