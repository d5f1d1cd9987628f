// The NTP rate limit: a token bucket per source (keyed as the amplification
// budget, in its table, so memory stays bounded whatever arrives). A source
// may send `burst` requests at once and then one per 2^interval seconds on
// average; a request over the limit is answered with a Kiss-o'-Death RATE
// about once in 2^leak (so that a client learns to slow down while a forged
// flood gets little back), and dropped otherwise.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "server/serving/reply_budget.h"
#include "server/serving/sip_hash.h"

namespace mdl {

struct RateLimitParams {
  static constexpr int kMinInterval = -4;
  static constexpr int kMaxInterval = 12;
  static constexpr uint32_t kMaxBurst = 255;
  static constexpr uint32_t kMaxLeak = 4;

  int interval = 3;    // log2 of the mean seconds between answered requests
  uint32_t burst = 8;  // requests answered back to back
  uint32_t leak = 2;   // over the limit, one request in 2^leak gets a KoD

  bool operator==(const RateLimitParams&) const = default;
};

// The "NtpRateLimit" value: "NO" or empty (off), "YES" (the defaults above),
// or "interval:burst:leak" within the bounds above. `ok` is false for
// anything else (and the limit is off).
struct RateLimitValue {
  std::optional<RateLimitParams> limit;
  bool ok = true;
};
RateLimitValue ParseRateLimit(std::string_view text);
// "interval:burst:leak", as ParseRateLimit reads it.
std::string FormatRateLimit(const RateLimitParams& p);
// "interval 3 (8 s), burst 8, leak 2"; sub-second intervals as "0.0625 s".
std::string DescribeRateLimit(const RateLimitParams& p);

enum class RateVerdict {
  kAnswer,  // within the limit
  kKiss,    // over it: a KoD RATE
  kDrop,    // over it: nothing
};

class RateLimiter {
 public:
  // Hash key and leak generator seeded from the random source.
  explicit RateLimiter(const RateLimitParams& params);
  // Chosen ones (tests).
  RateLimiter(const RateLimitParams& params, const SipKey& hash_key, uint64_t seed);

  // New parameters; every bucket is forgotten.
  void Configure(const RateLimitParams& params);
  // What to do with a request from `key` (BudgetKey of its source) at `now_ms`.
  RateVerdict Check(uint64_t key, int64_t now_ms);

  const RateLimitParams& params() const { return params_; }
  const ReplyBudget& buckets() const { return buckets_; }

 private:
  // xorshift64*: a few instructions per draw, never zero state.
  uint64_t Next() {
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return state_ * 0x2545F4914F6CDD1DULL;
  }

  RateLimitParams params_;
  uint64_t cost_ = 0;  // units of one request
  uint64_t state_;
  ReplyBudget buckets_;
};

}  // namespace mdl
