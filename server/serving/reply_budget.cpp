// Token buckets of the amplification budget.
#include "server/serving/reply_budget.h"

#include <algorithm>

namespace mdl {
namespace {

uint64_t Mix(uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ULL;
  x ^= x >> 33;
  return x;
}

}  // namespace

ReplyBudget::ReplyBudget(uint32_t rate, uint32_t burst) : rate_(rate), burst_(burst), slots_(kSlots) {}

void ReplyBudget::Configure(uint32_t rate, uint32_t burst) {
  rate_ = rate;
  burst_ = burst;
  std::fill(slots_.begin(), slots_.end(), Slot{});
}

bool ReplyBudget::Allow(uint64_t key, int64_t now_ms, uint32_t bytes) {
  Slot& s = slots_[Mix(key) % kSlots];
  if (s.tokens < 0) {
    s = {key, now_ms, burst_};
  } else {
    int64_t elapsed = std::max<int64_t>(0, now_ms - s.updated_ms);
    int64_t refill = rate_ == 0 ? 0 : elapsed * rate_ / 1000;
    if (refill > 0 || elapsed >= 1000) s.updated_ms = now_ms;
    s.tokens = std::min<int64_t>(burst_, s.tokens + refill);
    // Another address in the same slot shares its bucket: a flood cannot
    // refill a victim's bucket by alternating forged sources.
    s.key = key;
  }
  if (s.tokens >= bytes) {
    s.tokens -= bytes;
    return true;
  }
  ++refused_;
  return false;
}

}  // namespace mdl
