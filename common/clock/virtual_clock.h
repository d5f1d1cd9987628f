// A clock that lives inside the process: set() moves an offset, never the
// machine's clock. Runs over the system clock or, frozen, over a fixed start
// that only advance() moves (for tests).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "common/clock/clock.h"

namespace mdl {

class VirtualClock : public Clock {
 public:
  ~VirtualClock() override;
  VirtualClock(const VirtualClock&) = delete;
  VirtualClock& operator=(const VirtualClock&) = delete;
  // Runs with the system clock (plus the offset that set() introduces).
  VirtualClock() = default;
  // Frozen at `start`: now() stays there until advance() or set().
  explicit VirtualClock(UtcTime start);
  static VirtualClock Frozen(UtcTime start) { return VirtualClock(start); }

  UtcTime now() const override;
  // Monotonic ms: the system's when running; when frozen, starts at 0 and
  // moves only with forward advance() steps.
  int64_t tick_ms() const override;
  Nanoseconds monotonic() const override;
  // Running: a timer on `io`. Frozen: a manual timer that fires inside advance().
  std::unique_ptr<Timer> MakeTimer(boost::asio::io_context& io) override;
  // The zone given to set_zone(), else ZoneFactsAt(now()).
  ZoneFacts zone() const override;
  // Makes now() return `t` from here on by moving the offset. Always succeeds.
  std::error_code set(UtcTime t) override;
  // Running: the system reading plus the offset. Frozen: now(), as a frozen
  // clock has no relation to the system's.
  UtcTime from_system(UtcTime system_time) const override;

  // Lets time pass: frozen, both now() and tick_ms() move by `d` (a negative
  // `d` steps now() back, as a clock jump, and leaves tick_ms() alone), and
  // the manual timers that fall due fire in order, each with the clock at
  // its due time (timers they start fire too when due within `d`); running,
  // only the offset moves.
  void advance(Nanoseconds d);
  // Manual timers now pending.
  size_t pending_timers() const;
  // A rate of its own: now() runs `ppm` faster than its base (see Clock).
  std::error_code set_frequency(double ppm) override;
  std::optional<double> current_frequency() const override { return correction_ppm_; }
  double frequency() const { return correction_ppm_; }
  // Tests: the base runs this far off true time, as a PC's oscillator does
  // (positive: fast). Frozen clocks only mean something with it.
  void set_oscillator_error(double ppm);
  void set_zone(const ZoneFacts& zone) { zone_ = zone; }
  void clear_zone() { zone_.reset(); }

  bool frozen() const { return frozen_; }
  // What set() and running-mode advance() added to the base clock.
  Nanoseconds offset() const { return offset_; }
  int set_count() const { return set_count_; }

 private:
  class ManualTimer;
  friend class ManualTimer;
  UtcTime Base() const;
  // What the rate (oscillator error plus correction) has added since start.
  Nanoseconds Drift() const;
  void Reanchor();
  ManualTimer* NextDue(Nanoseconds limit) const;

  bool frozen_ = false;
  UtcTime frozen_base_{};
  Nanoseconds frozen_ticks_{0};
  Nanoseconds offset_{0};
  int set_count_ = 0;
  uint64_t timer_sequence_ = 0;
  std::vector<ManualTimer*> timers_;
  std::optional<ZoneFacts> zone_;
  double correction_ppm_ = 0;
  double oscillator_ppm_ = 0;
  Nanoseconds drift_before_{0};  // drift up to the anchor
  Nanoseconds drift_anchor_{0};  // monotonic() when the rate last changed
};

}  // namespace mdl
