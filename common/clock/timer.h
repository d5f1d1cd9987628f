// One-shot timers on a clock's monotonic scale. On the system clock (and a
// running virtual clock) they wait on the engine's io_context; on a frozen
// virtual clock they fire inside advance(), so tests step through minutes of
// schedule without waiting.
#pragma once

#include <functional>
#include <memory>

#include "common/time/utc_time.h"

namespace boost::asio {
class io_context;
}

namespace mdl {

class Timer {
 public:
  virtual ~Timer() = default;
  // Calls `fire` once, `after` from now; a pending call is replaced.
  virtual void Start(Nanoseconds after, std::function<void()> fire) = 0;
  virtual void Cancel() = 0;
  virtual bool pending() const = 0;
};

// A timer on an io_context's steady clock; its call runs as a handler of `io`.
std::unique_ptr<Timer> MakeAsioTimer(boost::asio::io_context& io);

}  // namespace mdl
