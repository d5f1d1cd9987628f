// A clock that lives inside the process: set() moves an offset, never the
// machine's clock. Runs over the system clock or, frozen, over a fixed start
// that only advance() moves (for tests).
#pragma once

#include <optional>

#include "common/clock/clock.h"

namespace mdl {

class VirtualClock : public Clock {
 public:
  // Runs with the system clock (plus the offset that set() introduces).
  VirtualClock() = default;
  // Frozen at `start`: now() stays there until advance() or set().
  explicit VirtualClock(UtcTime start);
  static VirtualClock Frozen(UtcTime start) { return VirtualClock(start); }

  UtcTime now() const override;
  // Monotonic ms: the system's when running; when frozen, starts at 0 and
  // moves only with forward advance() steps.
  int64_t tick_ms() const override;
  // The zone given to set_zone(), else ZoneFactsAt(now()).
  ZoneFacts zone() const override;
  // Makes now() return `t` from here on by moving the offset. Always succeeds.
  std::error_code set(UtcTime t) override;
  // Running: the system reading plus the offset. Frozen: now(), as a frozen
  // clock has no relation to the system's.
  UtcTime from_system(UtcTime system_time) const override;

  // Lets time pass: frozen, both now() and tick_ms() move by `d` (a negative
  // `d` steps now() back, as a clock jump, and leaves tick_ms() alone);
  // running, only the offset moves.
  void advance(Nanoseconds d);
  void set_zone(const ZoneFacts& zone) { zone_ = zone; }
  void clear_zone() { zone_.reset(); }

  bool frozen() const { return frozen_; }
  // What set() and running-mode advance() added to the base clock.
  Nanoseconds offset() const { return offset_; }
  int set_count() const { return set_count_; }

 private:
  UtcTime Base() const;

  bool frozen_ = false;
  UtcTime frozen_base_{};
  Nanoseconds frozen_ticks_{0};
  Nanoseconds offset_{0};
  int set_count_ = 0;
  std::optional<ZoneFacts> zone_;
};

}  // namespace mdl
