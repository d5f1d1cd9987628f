// Token buckets of the amplification budget in a keyed, set-associative table.
#include "server/serving/reply_budget.h"

#include <algorithm>
#include <limits>

namespace mdl {

ReplyBudget::ReplyBudget(uint64_t rate, uint64_t burst) : ReplyBudget(rate, burst, RandomSipKey()) {}

ReplyBudget::ReplyBudget(uint64_t rate, uint64_t burst, const SipKey& hash_key)
    : hash_key_(hash_key), table_(kSlots) {
  Configure(rate, burst);
}

void ReplyBudget::Configure(uint64_t rate, uint64_t burst) {
  rate_ = static_cast<int64_t>(std::min(rate, kMaxUnits));
  burst_ = static_cast<int64_t>(std::min(burst, kMaxUnits));
  full_milli_ = burst_ * 1000;
  // Bounding the elapsed time by this keeps rate * elapsed from overflowing.
  refill_all_ms_ = rate_ == 0 ? std::numeric_limits<int64_t>::max() : full_milli_ / rate_ + 1;
  std::fill(table_.begin(), table_.end(), Entry{});
  in_use_ = 0;
  overflow_ = Entry{0, 0, full_milli_};
}

std::array<size_t, 2> ReplyBudget::SetsOf(uint64_t key) const {
  const uint64_t h = SipHash24(hash_key_, key);
  return {static_cast<size_t>(h & (kSets - 1)), static_cast<size_t>((h >> 32) & (kSets - 1))};
}

int64_t ReplyBudget::LevelAt(const Entry& e, int64_t now_ms) const {
  const int64_t elapsed = std::clamp<int64_t>(now_ms - e.used_ms, 0, refill_all_ms_);
  return std::min(full_milli_, e.milli_tokens + elapsed * rate_);
}

ReplyBudget::Entry* ReplyBudget::Find(uint64_t key, int64_t now_ms) {
  const std::array<size_t, 2> sets = SetsOf(key);
  const std::array<Entry*, 2> set = {&table_[sets[0] * kWays], &table_[sets[1] * kWays]};
  // The key's own entry first: the common case, with nothing else to weigh.
  for (Entry* s : set) {
    for (size_t w = 0; w < kWays; ++w)
      if (s[w].key == key && s[w].milli_tokens >= 0) return &s[w];
  }
  std::array<Entry*, 2> first_free{};
  std::array<size_t, 2> free_count{};
  Entry* spare = nullptr;  // the least recently used full bucket
  for (size_t i = 0; i < (sets[0] == sets[1] ? 1u : 2u); ++i) {
    for (size_t w = 0; w < kWays; ++w) {
      Entry& e = set[i][w];
      if (e.milli_tokens < 0) {
        if (!first_free[i]) first_free[i] = &e;
        ++free_count[i];
      } else if (LevelAt(e, now_ms) >= full_milli_ && (!spare || e.used_ms < spare->used_ms)) {
        spare = &e;
      }
    }
  }
  // The emptier of the two sets, so that both fill evenly.
  Entry* slot = free_count[1] > free_count[0] ? first_free[1] : first_free[0];
  if (slot) {
    ++in_use_;
  } else {
    slot = spare;
    if (!slot) return nullptr;
  }
  *slot = Entry{key, now_ms, full_milli_};
  return slot;
}

bool ReplyBudget::Allow(uint64_t key, int64_t now_ms, uint64_t bytes) {
  Entry* e = Find(key, now_ms);
  if (!e) {
    ++overflowed_;
    e = &overflow_;
  }
  const int64_t level = LevelAt(*e, now_ms);
  e->used_ms = std::max(e->used_ms, now_ms);
  // More than a full bucket is never allowed; the bound keeps the product in range.
  const int64_t cost = static_cast<int64_t>(std::min<uint64_t>(bytes, uint64_t(burst_) + 1)) * 1000;
  if (level >= cost) {
    e->milli_tokens = level - cost;
    return true;
  }
  e->milli_tokens = level;
  ++refused_;
  return false;
}

}  // namespace mdl
