// Fuzz target: any text as the "NtpRateLimit" value, any 48 bytes as the
// request a KoD RATE answers, and any run of sources and times through the
// limiter. What is read stays in bounds and formats back to itself; the kiss
// keeps its fixed fields; the limiter never answers a source beyond its
// credit; nothing may crash.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

#include "server/protocols/ntp_core.h"
#include "server/serving/rate_limit.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const mdl::RateLimitValue v = mdl::ParseRateLimit(text);
  if (!v.ok && v.limit) std::abort();
  if (v.limit) {
    const mdl::RateLimitParams& p = *v.limit;
    if (p.interval < -4 || p.interval > 12 || p.burst < 1 || p.burst > 255 || p.leak < 1 || p.leak > 4)
      std::abort();
    if (!(mdl::ParseRateLimit(mdl::FormatRateLimit(p)).limit == v.limit)) std::abort();
  }

  if (size >= mdl::kNtpPacketSize) {
    const std::span<const uint8_t, mdl::kNtpPacketSize> request(data, mdl::kNtpPacketSize);
    const int8_t min_poll = static_cast<int8_t>(data[size - 1] % 17 - 4);
    std::array<uint8_t, mdl::kNtpPacketSize> kiss;
    mdl::BuildNtpKissRate(request, min_poll, kiss);
    if ((kiss[0] & 0xC7u) != 0xC4u || kiss[1] != 0 || kiss[3] != 0xEF) std::abort();
    if (static_cast<int8_t>(kiss[2]) < min_poll) std::abort();
    if (std::memcmp(kiss.data() + 12, "RATE", 4) != 0) std::abort();
    for (size_t at : {size_t{24}, size_t{32}, size_t{40}})
      if (std::memcmp(kiss.data() + at, data + 40, 8) != 0) std::abort();
    if (mdl::ClassifyNtpRequest(kiss) == mdl::NtpRequestKind::kClient) std::abort();
  }

  // Pairs of bytes: a source (of four) and a step of time in milliseconds.
  static mdl::RateLimiter limiter(mdl::RateLimitParams{0, 2, 1}, mdl::SipKey{1, 2}, 3);
  limiter.Configure(mdl::RateLimitParams{0, 3, 1});
  std::array<int, 4> answered{};
  int64_t now = 0;
  for (size_t i = 0; i + 1 < size; i += 2) {
    now += data[i + 1] * 16;
    const size_t source = data[i] & 3u;
    answered[source] += limiter.Check(source + 1, now) == mdl::RateVerdict::kAnswer;
  }
  // The burst of 3 and one a second, at most.
  for (int n : answered)
    if (n > 3 + now / 1000 + 1) std::abort();
  return 0;
}
