// The NTP rate limit's value, buckets and leak.
#include "server/serving/rate_limit.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <span>

#include "common/clock/secure_random.h"

namespace mdl {
namespace {

// Units of credit per second: a request costs 2^(interval + 10) of them,
// whole for every interval down to -10.
constexpr uint64_t kUnitsPerSecond = 1024;

// A whole decimal field: an optional '-' (when `signed_ok`) and digits only.
std::optional<int> Field(std::string_view text, bool signed_ok) {
  if (text.empty() || text.size() > 6) return std::nullopt;
  if (text[0] == '-' && !signed_ok) return std::nullopt;
  if (text[0] == '+') return std::nullopt;
  int value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

uint64_t SeedFromRandomSource() {
  std::array<uint8_t, 8> bytes{};
  uint64_t seed = 0;
  if (FillSecureRandom(bytes))
    for (uint8_t b : bytes) seed = seed << 8 | b;
  // The hash key is drawn too: mixing it in leaves no fixed seed should the source fail.
  const SipKey k = RandomSipKey();
  return seed ^ k.k0 ^ (k.k1 << 1);
}

}  // namespace

RateLimitValue ParseRateLimit(std::string_view text) {
  RateLimitValue out;
  if (text.empty() || text == "NO") return out;
  if (text == "YES") {
    out.limit = RateLimitParams{};
    return out;
  }
  out.ok = false;
  const size_t c1 = text.find(':');
  if (c1 == std::string_view::npos) return out;
  const size_t c2 = text.find(':', c1 + 1);
  if (c2 == std::string_view::npos) return out;
  const auto interval = Field(text.substr(0, c1), true);
  const auto burst = Field(text.substr(c1 + 1, c2 - c1 - 1), false);
  const auto leak = Field(text.substr(c2 + 1), false);
  if (!interval || !burst || !leak) return out;
  if (*interval < RateLimitParams::kMinInterval || *interval > RateLimitParams::kMaxInterval) return out;
  if (*burst < 1 || *burst > static_cast<int>(RateLimitParams::kMaxBurst)) return out;
  if (*leak < 1 || *leak > static_cast<int>(RateLimitParams::kMaxLeak)) return out;
  out.limit = RateLimitParams{*interval, static_cast<uint32_t>(*burst), static_cast<uint32_t>(*leak)};
  out.ok = true;
  return out;
}

std::string FormatRateLimit(const RateLimitParams& p) {
  return std::to_string(p.interval) + ":" + std::to_string(p.burst) + ":" + std::to_string(p.leak);
}

std::string DescribeRateLimit(const RateLimitParams& p) {
  char seconds[32];
  // Powers of two down to 2^-4 print exactly.
  std::snprintf(seconds, sizeof seconds, "%.10g",
                p.interval >= 0 ? double(1u << p.interval) : 1.0 / double(1u << -p.interval));
  return "interval " + std::to_string(p.interval) + " (" + seconds + " s), burst " + std::to_string(p.burst) +
         ", leak " + std::to_string(p.leak);
}

RateLimiter::RateLimiter(const RateLimitParams& params)
    : RateLimiter(params, RandomSipKey(), SeedFromRandomSource()) {}

RateLimiter::RateLimiter(const RateLimitParams& params, const SipKey& hash_key, uint64_t seed)
    : state_(seed ? seed : 0x9E3779B97F4A7C15ULL), buckets_(kUnitsPerSecond, 1, hash_key) {
  Configure(params);
}

void RateLimiter::Configure(const RateLimitParams& params) {
  params_ = params;
  params_.interval =
      std::clamp(params_.interval, RateLimitParams::kMinInterval, RateLimitParams::kMaxInterval);
  params_.burst = std::clamp<uint32_t>(params_.burst, 1, RateLimitParams::kMaxBurst);
  params_.leak = std::clamp<uint32_t>(params_.leak, 1, RateLimitParams::kMaxLeak);
  cost_ = uint64_t{1} << (params_.interval + 10);
  buckets_.Configure(kUnitsPerSecond, cost_ * params_.burst);
}

RateVerdict RateLimiter::Check(uint64_t key, int64_t now_ms) {
  if (buckets_.Allow(key, now_ms, cost_)) return RateVerdict::kAnswer;
  const uint64_t mask = (uint64_t{1} << params_.leak) - 1;
  // The high bits of xorshift64* are its best.
  return (Next() >> 59 & mask) == 0 ? RateVerdict::kKiss : RateVerdict::kDrop;
}

}  // namespace mdl
