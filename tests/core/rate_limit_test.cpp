// The NTP rate limit on its own: the value, the burst and the refill at one
// request per 2^interval seconds, the share of KoDs over the limit, keys per
// source and /64, and a spray of fresh sources against a full table.
#include "server/serving/rate_limit.h"

#include <gtest/gtest.h>

#include <boost/asio/ip/address.hpp>
#include <map>

#include "server/serving/serving.h"

namespace mdl {
namespace {

using boost::asio::ip::make_address;

const SipKey kKey{0x0123456789abcdefULL, 0xfedcba9876543210ULL};

RateLimiter Limiter(int interval, uint32_t burst, uint32_t leak, uint64_t seed = 7) {
  return RateLimiter(RateLimitParams{interval, burst, leak}, kKey, seed);
}

// Requests from `key` at `ms`, `count` of them; the verdicts by kind.
std::map<RateVerdict, int> Ask(RateLimiter& l, uint64_t key, int64_t ms, int count) {
  std::map<RateVerdict, int> n;
  for (int i = 0; i < count; ++i) ++n[l.Check(key, ms)];
  return n;
}

TEST(ParseRateLimit, ReadsOffDefaultsAndTriplesWithinTheirBounds) {
  struct Case {
    const char* text;
    std::optional<RateLimitParams> limit;
  };
  const Case good[] = {
      {"", std::nullopt},
      {"NO", std::nullopt},
      {"YES", RateLimitParams{3, 8, 2}},
      {"3:8:2", RateLimitParams{3, 8, 2}},
      {"-4:1:1", RateLimitParams{-4, 1, 1}},
      {"12:255:4", RateLimitParams{12, 255, 4}},
      {"0:16:3", RateLimitParams{0, 16, 3}},
  };
  for (const Case& c : good) {
    const RateLimitValue v = ParseRateLimit(c.text);
    EXPECT_TRUE(v.ok) << c.text;
    EXPECT_EQ(v.limit, c.limit) << c.text;
    if (v.limit) {
      EXPECT_EQ(ParseRateLimit(FormatRateLimit(*v.limit)).limit, v.limit) << c.text;
    }
  }
  for (const char* bad :
       {"yes", "ON", "13:8:2", "-5:8:2", "3:0:2", "3:256:2", "3:8:0", "3:8:5", "3:8", "3:8:2:1", " 3:8:2",
        "3:+8:2", "3:-8:2", "a:b:c", "3::2", ":8:2", "3:8:", "99999999999:8:2"}) {
    const RateLimitValue v = ParseRateLimit(bad);
    EXPECT_FALSE(v.ok) << bad;
    EXPECT_FALSE(v.limit) << bad << ": a bad value leaves the limit off";
  }
}

TEST(ParseRateLimit, DescribesTheIntervalInSeconds) {
  EXPECT_EQ(DescribeRateLimit(RateLimitParams{}), "interval 3 (8 s), burst 8, leak 2");
  EXPECT_EQ(DescribeRateLimit(RateLimitParams{-4, 1, 4}), "interval -4 (0.0625 s), burst 1, leak 4");
  EXPECT_EQ(DescribeRateLimit(RateLimitParams{12, 255, 1}), "interval 12 (4096 s), burst 255, leak 1");
}

TEST(RateLimiter, AnswersABurstThenOneRequestPerInterval) {
  RateLimiter l = Limiter(3, 8, 2);
  EXPECT_EQ(Ask(l, 1, 0, 40)[RateVerdict::kAnswer], 8) << "a burst of 8, then nothing at the same instant";
  // One request's worth comes back every 8 s, exactly.
  EXPECT_EQ(Ask(l, 1, 7999, 5)[RateVerdict::kAnswer], 0);
  EXPECT_EQ(Ask(l, 1, 8000, 5)[RateVerdict::kAnswer], 1);
  EXPECT_EQ(Ask(l, 1, 16000, 5)[RateVerdict::kAnswer], 1);
  // A client polling every 8 s is always answered.
  int answered = 0;
  for (int64_t t = 24000; t < 24000 + 100 * 8000; t += 8000)
    answered += l.Check(1, t) == RateVerdict::kAnswer;
  EXPECT_EQ(answered, 100);
}

TEST(RateLimiter, RefillsUpToTheBurstAndNoFurther) {
  RateLimiter l = Limiter(3, 8, 2);
  Ask(l, 1, 0, 8);
  // 20 s refill two and a half requests: two answered, the half kept.
  EXPECT_EQ(Ask(l, 1, 20000, 10)[RateVerdict::kAnswer], 2);
  EXPECT_EQ(Ask(l, 1, 24000, 10)[RateVerdict::kAnswer], 1) << "the half request of credit was kept";
  // However long the pause, the bucket holds no more than the burst.
  EXPECT_EQ(Ask(l, 1, 100'000'000, 100)[RateVerdict::kAnswer], 8);
}

TEST(RateLimiter, IntervalsBelowASecondAndAtTheLongestEnd) {
  RateLimiter fast = Limiter(-4, 2, 1);
  int answered = 0;
  for (int64_t ms = 0; ms < 10000; ++ms) answered += fast.Check(5, ms) == RateVerdict::kAnswer;
  EXPECT_EQ(answered, 2 + 159) << "the burst, then 1/16 s: 16 requests a second (the 160th is due at 10 s)";
  RateLimiter slow = Limiter(12, 255, 1);
  EXPECT_EQ(Ask(slow, 5, 0, 300)[RateVerdict::kAnswer], 255) << "burst * 2^12 s of credit fits the bucket";
  EXPECT_EQ(Ask(slow, 5, 4095'999, 3)[RateVerdict::kAnswer], 0);
  EXPECT_EQ(Ask(slow, 5, 4096'000, 3)[RateVerdict::kAnswer], 1);
}

TEST(RateLimiter, AboutOneInTwoToTheLeakOverTheLimitGetsAKiss) {
  for (uint32_t leak = 1; leak <= 4; ++leak) {
    RateLimiter l = Limiter(3, 1, leak, 12345 + leak);
    constexpr int kOver = 100000;
    l.Check(9, 0);
    const auto n = Ask(l, 9, 0, kOver);
    EXPECT_EQ(n.count(RateVerdict::kAnswer), 0u);
    const double share = double(n.at(RateVerdict::kKiss)) / kOver;
    const double expected = 1.0 / double(1u << leak);
    // 0.02 is more than ten standard deviations of the share.
    EXPECT_NEAR(share, expected, 0.02) << "leak " << leak;
    EXPECT_EQ(n.at(RateVerdict::kKiss) + n.at(RateVerdict::kDrop), kOver);
  }
}

TEST(RateLimiter, TheSeedDecidesWhichRequestsAreKissed) {
  RateLimiter a = Limiter(3, 1, 2, 99), same = Limiter(3, 1, 2, 99), other = Limiter(3, 1, 2, 100);
  int differ = 0;
  for (int i = 0; i < 1000; ++i) {
    const RateVerdict va = a.Check(1, 0);
    EXPECT_EQ(va, same.Check(1, 0));
    differ += va != other.Check(1, 0);
  }
  EXPECT_GT(differ, 100) << "another seed must give another sequence";
  // Drawn seeds: two limiters of the server are not in step.
  RateLimiter r1(RateLimitParams{3, 1, 1}), r2(RateLimitParams{3, 1, 1});
  differ = 0;
  for (int i = 0; i < 200; ++i) differ += r1.Check(1, 0) != r2.Check(1, 0);
  EXPECT_GT(differ, 20) << "the leak's seed is not drawn at random";
}

TEST(RateLimiter, SourcesAreKeyedByAddressAndIpv6ByTheirSlash64) {
  RateLimiter l = Limiter(3, 2, 1);
  auto answered = [&](const char* a, int n) {
    return Ask(l, BudgetKey(make_address(a)), 0, n)[RateVerdict::kAnswer];
  };
  EXPECT_EQ(answered("127.0.0.2", 1), 1);
  EXPECT_EQ(answered("::ffff:127.0.0.2", 5), 1) << "v4-mapped shares the IPv4 address's bucket";
  EXPECT_EQ(answered("127.0.0.3", 5), 2) << "another address has a bucket of its own";
  EXPECT_EQ(answered("2001:db8::1", 1), 1);
  EXPECT_EQ(answered("2001:db8::ffff:1", 5), 1) << "hosts of one /64 share a bucket";
  EXPECT_EQ(answered("2001:db8:0:1::1", 5), 2) << "the next /64 does not";
}

TEST(RateLimiter, ASprayOfFreshSourcesNeitherResetsADrainedBucketNorGrowsTheTable) {
  RateLimiter l = Limiter(3, 8, 1);
  const uint64_t flooder = 0xffffffff7f000002ULL;
  Ask(l, flooder, 0, 100);
  // A million fresh sources in the same second: every bucket they take is drained by one request.
  int answered = 0;
  for (uint64_t k = 1; k <= 1'000'000; ++k) answered += l.Check(k, 500) == RateVerdict::kAnswer;
  EXPECT_LE(l.buckets().entries(), ReplyBudget::kSlots);
  EXPECT_LE(answered, int(ReplyBudget::kSlots + 8)) << "newcomers beyond the table share one bucket";
  EXPECT_GT(l.buckets().overflowed(), 900'000u);
  EXPECT_EQ(Ask(l, flooder, 1000, 20)[RateVerdict::kAnswer], 0) << "the spray must not refill the flooder";
  // Once the table's buckets are full again (8 * 8 s), newcomers take them over.
  answered = 0;
  for (uint64_t k = 2'000'000; k < 2'000'100; ++k) answered += l.Check(k, 70'000) == RateVerdict::kAnswer;
  EXPECT_EQ(answered, 100);
}

}  // namespace
}  // namespace mdl
