// VirtualClock.
#include "common/clock/virtual_clock.h"

#include "common/clock/system_clock.h"
#include "common/clock/zone_facts.h"

#include <algorithm>
#include <cmath>

namespace mdl {

class VirtualClock::ManualTimer : public Timer {
 public:
  explicit ManualTimer(VirtualClock* clock) : clock_(clock) { clock_->timers_.push_back(this); }
  ~ManualTimer() override {
    if (!clock_) return;
    auto& all = clock_->timers_;
    std::erase(all, this);
  }

  void Start(Nanoseconds after, std::function<void()> fire) override {
    if (!clock_) return;
    due_ = clock_->frozen_ticks_ + std::max(after, Nanoseconds::zero());
    sequence_ = ++clock_->timer_sequence_;
    fire_ = std::move(fire);
    pending_ = true;
  }
  void Cancel() override {
    pending_ = false;
    fire_ = nullptr;
  }
  bool pending() const override { return pending_; }

  void Fire() {
    pending_ = false;
    auto fire = std::move(fire_);
    fire_ = nullptr;
    if (fire) fire();
  }

  VirtualClock* clock_;
  Nanoseconds due_{0};
  uint64_t sequence_ = 0;
  bool pending_ = false;
  std::function<void()> fire_;
};

VirtualClock::VirtualClock(UtcTime start) : frozen_(true), frozen_base_(start) {}

VirtualClock::~VirtualClock() {
  for (ManualTimer* t : timers_) t->clock_ = nullptr;
}

std::unique_ptr<Timer> VirtualClock::MakeTimer(boost::asio::io_context& io) {
  if (!frozen_) return MakeAsioTimer(io);
  return std::make_unique<ManualTimer>(this);
}

size_t VirtualClock::pending_timers() const {
  size_t n = 0;
  for (const ManualTimer* t : timers_) n += t->pending_;
  return n;
}

VirtualClock::ManualTimer* VirtualClock::NextDue(Nanoseconds limit) const {
  ManualTimer* next = nullptr;
  for (ManualTimer* t : timers_) {
    if (!t->pending_ || t->due_ > limit) continue;
    if (!next || t->due_ < next->due_ || (t->due_ == next->due_ && t->sequence_ < next->sequence_)) next = t;
  }
  return next;
}

UtcTime VirtualClock::Base() const { return frozen_ ? frozen_base_ : SystemNow(); }

Nanoseconds VirtualClock::Drift() const {
  const double rate = (oscillator_ppm_ + correction_ppm_) * 1e-6;
  if (rate == 0) return drift_before_;
  const double since = static_cast<double>((monotonic() - drift_anchor_).count());
  return drift_before_ + Nanoseconds(static_cast<int64_t>(std::llround(since * rate)));
}

void VirtualClock::Reanchor() {
  drift_before_ = Drift();
  drift_anchor_ = monotonic();
}

std::error_code VirtualClock::set_frequency(double ppm) {
  Reanchor();
  correction_ppm_ = ppm;
  return {};
}

void VirtualClock::set_oscillator_error(double ppm) {
  Reanchor();
  oscillator_ppm_ = ppm;
}

UtcTime VirtualClock::now() const { return Base() + offset_ + Drift(); }

UtcTime VirtualClock::from_system(UtcTime system_time) const {
  return frozen_ ? now() : system_time + offset_ + Drift();
}

Nanoseconds VirtualClock::monotonic() const { return frozen_ ? frozen_ticks_ : MonotonicNow(); }

int64_t VirtualClock::tick_ms() const {
  if (!frozen_) return MonotonicMs();
  return std::chrono::duration_cast<std::chrono::milliseconds>(frozen_ticks_).count();
}

ZoneFacts VirtualClock::zone() const { return zone_ ? *zone_ : ZoneFactsAt(now()); }

std::error_code VirtualClock::set(UtcTime t) {
  offset_ = t - Base() - Drift();
  ++set_count_;
  return {};
}

void VirtualClock::advance(Nanoseconds d) {
  if (!frozen_) {
    offset_ += d;
    return;
  }
  if (d <= Nanoseconds::zero()) {
    frozen_base_ += d;
    while (ManualTimer* t = NextDue(frozen_ticks_)) t->Fire();
    return;
  }
  const Nanoseconds target = frozen_ticks_ + d;
  while (ManualTimer* t = NextDue(target)) {
    if (t->due_ > frozen_ticks_) {
      frozen_base_ += t->due_ - frozen_ticks_;
      frozen_ticks_ = t->due_;
    }
    t->Fire();
  }
  frozen_base_ += target - frozen_ticks_;
  frozen_ticks_ = target;
}

}  // namespace mdl
