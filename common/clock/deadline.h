// Bounded waits outside an engine (a store lock, a child process, a rate
// limit) on the machine's monotonic clock, so that product code reads no
// clock of its own; engines wait on their Clock's timers instead.
#pragma once

#include <algorithm>

#include "common/clock/system_clock.h"

namespace mdl {

class Deadline {
 public:
  explicit Deadline(Nanoseconds after) : end_(MonotonicNow() + after) {}
  bool Passed() const { return MonotonicNow() >= end_; }
  // What is left of the wait; zero once it passed.
  Nanoseconds Left() const { return std::max(end_ - MonotonicNow(), Nanoseconds::zero()); }

 private:
  Nanoseconds end_;
};

}  // namespace mdl
