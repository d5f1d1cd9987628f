// The amplification budget: bursts, refill, isolation between sources, the
// keyed table that no chosen address can aim at another's bucket, and the
// keyed hash under it.
#include "server/serving/reply_budget.h"

#include <gtest/gtest.h>

#include <boost/asio/ip/address.hpp>
#include <cstdio>
#include <functional>
#include <numeric>
#include <random>
#include <vector>

#include "server/serving/serving.h"
#include "server/serving/sip_hash.h"

namespace mdl {
namespace {

using boost::asio::ip::make_address;

TEST(ReplyBudget, AllowsABurstThenOnlyTheRefillRate) {
  ReplyBudget b(/*rate=*/1000, /*burst=*/10000);
  int allowed = 0;
  for (int i = 0; i < 1000; ++i) allowed += b.Allow(1, 0, 50);
  EXPECT_EQ(allowed, 200) << "a 10000-byte burst holds 200 replies of 50 excess bytes";
  EXPECT_EQ(b.refused(), 800u);
  // One second refills 1000 bytes: 20 more replies.
  allowed = 0;
  for (int i = 0; i < 100; ++i) allowed += b.Allow(1, 1000, 50);
  EXPECT_EQ(allowed, 20);
  // The bucket never holds more than the burst, however long the pause.
  allowed = 0;
  for (int i = 0; i < 1000; ++i) allowed += b.Allow(1, 100'000'000, 50);
  EXPECT_EQ(allowed, 200);
}

TEST(ReplyBudget, RefillKeepsFractionsOfAByteAcrossCalls) {
  // 1 byte per second asked every 400 ms: each call's refill is below a byte.
  ReplyBudget b(/*rate=*/1, /*burst=*/10);
  ASSERT_TRUE(b.Allow(7, 0, 10));
  int allowed = 0;
  for (int64_t t = 400; t <= 100'000; t += 400) allowed += b.Allow(7, t, 10);
  EXPECT_EQ(allowed, 10) << "100 s at 1 byte/s pay for ten 10-byte replies";
}

TEST(ReplyBudget, OneFloodedSourceDoesNotStarveAnother) {
  ReplyBudget b(1000, 10000);
  for (int i = 0; i < 10000; ++i) b.Allow(42, 0, 50);
  int other = 0;
  for (int i = 0; i < 10; ++i) other += b.Allow(43, 0, 50);
  EXPECT_EQ(other, 10);
}

TEST(ReplyBudget, AlternatingForgedSourcesCannotRefillAVictimsBucket) {
  ReplyBudget b(1000, 10000);
  // Addresses that share a slot keep one bucket: the total stays bounded.
  uint64_t allowed = 0;
  for (uint64_t i = 0; i < 1'000'000; ++i) allowed += b.Allow(i, 0, 50);
  EXPECT_LE(allowed, ReplyBudget::kSlots * 200) << "memory and excess must stay bounded by the table";
}

// The keys of one set: `count` keys whose first or second set is `set`.
std::vector<uint64_t> KeysInSet(const ReplyBudget& b, size_t set, size_t count, uint64_t from) {
  std::vector<uint64_t> keys;
  for (uint64_t k = from; keys.size() < count; ++k) {
    const auto sets = b.SetsOf(k);
    if (sets[0] == set || sets[1] == set) keys.push_back(k);
  }
  return keys;
}

const SipKey kTestKey{0x0123456789abcdefULL, 0xfedcba9876543210ULL};

TEST(ReplyBudget, KeysOfTheSameSetKeepBucketsOfTheirOwn) {
  ReplyBudget b(1000, 10000, kTestKey);
  const uint64_t victim = 1;
  const std::vector<uint64_t> same = KeysInSet(b, b.SetsOf(victim)[0], 3, 2);
  for (uint64_t k : same)
    for (int i = 0; i < 1000; ++i) b.Allow(k, 0, 50);
  int allowed = 0;
  for (int i = 0; i < 1000; ++i) allowed += b.Allow(victim, 0, 50);
  EXPECT_EQ(allowed, 200) << "the victim's bucket is its own, however drained its set's others are";
  EXPECT_EQ(b.overflowed(), 0u);
}

TEST(ReplyBudget, TheHashKeyDecidesTheSets) {
  ReplyBudget a(1000, 10000, kTestKey);
  ReplyBudget same(1000, 10000, kTestKey);
  ReplyBudget other(1000, 10000, SipKey{kTestKey.k0 ^ 1, kTestKey.k1});
  size_t moved = 0;
  for (uint64_t k = 0; k < 1000; ++k) {
    EXPECT_EQ(a.SetsOf(k), same.SetsOf(k));
    moved += a.SetsOf(k)[0] != other.SetsOf(k)[0];
  }
  EXPECT_GT(moved, 950u) << "another key must scatter the keys anew";
  // Two budgets with drawn keys: an attacker's offline search for one says nothing of the other.
  ReplyBudget r1, r2;
  size_t differ = 0;
  for (uint64_t k = 0; k < 100; ++k) differ += r1.SetsOf(k) != r2.SetsOf(k);
  EXPECT_GT(differ, 90u) << "the hash key is not drawn at random";
}

// The table before the keyed hash: one bucket per Mix(key) % 4096, keys as
// the serving path derived them then.
uint64_t OldMix(uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ULL;
  x ^= x >> 33;
  return x;
}

uint64_t OldKey(const boost::asio::ip::address& a) {
  if (a.is_v4()) return a.to_v4().to_uint();
  uint64_t key = 0;
  const auto b = a.to_v6().to_bytes();
  for (size_t i = 0; i < 8; ++i) key = key << 8 | b[i];
  return key ^ 0x8000000000000000ULL;
}

size_t OldSlot(const boost::asio::ip::address& a) { return OldMix(OldKey(a)) % 4096; }

// Replies of 32 wire bytes (a Time reply to an empty datagram): the attacker
// sends `attacker_rate` a second, spread over its keys, for 60 s from t = 0;
// the victim asks once a second from t = 1 s. Returns the victim's replies of 60.
int VictimRepliesUnderFlood(ReplyBudget& b, uint64_t victim, const std::vector<uint64_t>& attackers,
                            int attacker_rate) {
  int got = 0;
  size_t next = 0;
  int64_t sent = 0;
  for (int64_t ms = 0; ms < 61'000; ++ms) {
    for (const int64_t due = (ms + 1) * attacker_rate / 1000; sent < due; ++sent)
      b.Allow(attackers[next++ % attackers.size()], ms, 32);
    if (ms >= 1000 && ms % 1000 == 0) got += b.Allow(victim, ms, 32);
  }
  return got;
}

TEST(ReplyBudget, AddressesCollidingUnderTheOldHashLeaveTheVictimItsReplies) {
  struct Case {
    const char* victim;
    std::function<std::string(uint32_t)> candidate;  // attacker addresses to search
  };
  const Case cases[] = {
      {"127.0.0.1",
       [](uint32_t i) {
         return "127." + std::to_string(i >> 16 & 255) + "." + std::to_string(i >> 8 & 255) + "." +
                std::to_string(i & 255);
       }},
      {"2001:db8:0:1::5",
       [](uint32_t i) {
         char text[48];
         std::snprintf(text, sizeof text, "2001:db8:%x:%x::5", i >> 16, i & 0xffff);
         return std::string(text);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.victim);
    const auto victim = make_address(c.victim);
    std::vector<uint64_t> attackers;
    for (uint32_t i = 2; attackers.size() < 4 && i < 5'000'000; ++i) {
      const auto a = make_address(c.candidate(i));
      if (a != victim && BudgetKey(a) != BudgetKey(victim) && OldSlot(a) == OldSlot(victim))
        attackers.push_back(BudgetKey(a));
    }
    ASSERT_EQ(attackers.size(), 4u) << "no address found that shared the victim's old slot";
    ReplyBudget b;  // the default 1000:10000
    const int got = VictimRepliesUnderFlood(b, BudgetKey(victim), attackers, 1800);
    EXPECT_GE(got, 57) << "the victim got " << got << " of 60 replies";
    EXPECT_GT(b.refused(), 90'000u) << "the flood itself must stay held to its budget";
  }
}

TEST(ReplyBudget, AddressesAimedAtOneOfTheVictimsSetsUnderAKnownKeyLeaveItItsReplies) {
  ReplyBudget b(1000, 10000, kTestKey);
  const uint64_t victim = BudgetKey(make_address("192.0.2.7"));
  // More keys than the set has ways, each with both its sets the victim's
  // first: they fill that set before the victim asks, the rest go to the overflow.
  const size_t target = b.SetsOf(victim)[0];
  constexpr size_t kAttackers = ReplyBudget::kWays + 2;
  std::vector<uint64_t> attackers;
  for (uint64_t k = 1; attackers.size() < kAttackers && k < 200'000'000; ++k) {
    if (b.SetsOf(k) == std::array<size_t, 2>{target, target}) attackers.push_back(k);
  }
  ASSERT_EQ(attackers.size(), kAttackers);
  const int got = VictimRepliesUnderFlood(b, victim, attackers, 1800);
  EXPECT_GE(got, 57) << "the victim got " << got << " of 60 replies";
  EXPECT_GT(b.refused(), 90'000u);
  EXPECT_GT(b.overflowed(), 0u) << "the attackers should have filled the victim's first set";
}

TEST(ReplyBudget, ASprayOfForgedSourcesNeitherRefillsADrainedBucketNorGrowsTheTable) {
  ReplyBudget b(1000, 10000, kTestKey);
  const uint64_t victim = 0xabcdef;
  for (int i = 0; i < 1000; ++i) b.Allow(victim, 0, 50);  // drained
  // 300,000 forged sources within one second, the victim's sets included.
  std::vector<uint64_t> spray = KeysInSet(b, b.SetsOf(victim)[0], 64, 1'000'000'000);
  const std::vector<uint64_t> second = KeysInSet(b, b.SetsOf(victim)[1], 64, 2'000'000'000);
  spray.insert(spray.end(), second.begin(), second.end());
  for (uint64_t i = spray.size(); i < 300'000; ++i) spray.push_back(i);
  uint64_t allowed_bytes = 0;
  for (size_t i = 0; i < spray.size(); ++i) {
    const auto ms = static_cast<int64_t>(i / 300);
    for (int r = 0; r < 2; ++r) allowed_bytes += b.Allow(spray[i], ms, 50) ? 50 : 0;
  }
  EXPECT_LE(b.entries(), ReplyBudget::kSlots);
  // Every entry and the overflow bucket at most a burst and a second's refill.
  EXPECT_LE(allowed_bytes, (ReplyBudget::kSlots + 1) * (10000 + 1000));
  EXPECT_GT(b.overflowed(), 0u) << "the spray should have found the table busy";
  // After 1 s the victim has refilled 1000 bytes: 20 replies, not a fresh burst.
  int victim_got = 0;
  for (int i = 0; i < 1000; ++i) victim_got += b.Allow(victim, 1000, 50);
  EXPECT_EQ(victim_got, 20) << "the spray evicted the victim's drained bucket";
}

TEST(ReplyBudget, FullBucketsMakeRoomAndBusyOnesSendNewcomersToTheOverflow) {
  ReplyBudget b(1000, 10000, kTestKey);
  // Keys that each take half their burst until every entry is busy.
  for (uint64_t k = 1000; b.entries() < ReplyBudget::kSlots && k < 10'000'000; ++k) b.Allow(k, 0, 5000);
  ASSERT_EQ(b.entries(), ReplyBudget::kSlots);
  const uint64_t overflowed = b.overflowed();
  ASSERT_GE(overflowed, 2u) << "the keys that found no room should have drained the overflow bucket";
  // The newcomer shares the overflow bucket.
  const uint64_t newcomer = 99;
  EXPECT_FALSE(b.Allow(newcomer, 0, 5000));
  EXPECT_EQ(b.overflowed(), overflowed + 1);
  // 5 s later every bucket is full again: the newcomer takes one of them.
  EXPECT_TRUE(b.Allow(newcomer, 5000, 5000));
  EXPECT_EQ(b.overflowed(), overflowed + 1) << "a full bucket should have made room";
  EXPECT_TRUE(b.Allow(newcomer, 5000, 5000)) << "the newcomer's bucket starts full";
  EXPECT_FALSE(b.Allow(newcomer, 5000, 1));
}

TEST(ReplyBudget, ConfigureForgetsEveryBucket) {
  ReplyBudget b(1000, 10000);
  for (uint64_t k = 0; k < 100; ++k) b.Allow(k, 0, 10000);
  EXPECT_EQ(b.entries(), 100u);
  b.Configure(0, 320);
  EXPECT_EQ(b.entries(), 0u);
  int allowed = 0;
  for (int i = 0; i < 20; ++i) allowed += b.Allow(5, 0, 78);
  EXPECT_EQ(allowed, 4) << "a 320-byte burst without refill holds four 78-byte replies";
}

TEST(BudgetKey, OneKeyPerIpv4AddressAndPerIpv6Prefix) {
  struct Case {
    const char* a;
    const char* b;
    bool same;
  };
  const Case cases[] = {
      {"127.0.0.1", "127.0.0.2", false},
      {"192.0.2.1", "::ffff:192.0.2.1", true},  // IPv4-mapped is IPv4
      {"2001:db8:1:2::1", "2001:db8:1:2:ffff::9", true},
      {"2001:db8:1:2::1", "2001:db8:1:3::1", false},
      {"0.0.0.1", "::1", false},
      {"127.0.0.1", "0:0:0:0:7f00:1::", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(BudgetKey(make_address(c.a)) == BudgetKey(make_address(c.b)), c.same) << c.a << " and " << c.b;
  }
}

TEST(SipHash, MatchesTheReferenceVectors) {
  // Key 00 01 .. 0f, message 00 01 .. (n-1), from the reference implementation.
  constexpr uint64_t kExpected[] = {
      0x726fdb47dd0e0e31, 0x74f839c593dc67fd, 0x0d6c8009d9a94f5a, 0x85676696d7fb7e2d, 0xcf2794e0277187b7,
      0x18765564cd99a68d, 0xcbc9466e58fee3ce, 0xab0200f58b01d137, 0x93f5f5799a932462, 0x9e0082df0ba9e4b0,
      0x7a5dbbc594ddb9f3, 0xf4b32f46226bada7, 0x751e8fbc860ee5fb, 0x14ea5627c0843d90, 0xf723ca908e7af2ee,
      0xa129ca6149be45e5, 0x3f2acc7f57c29bdb, 0x699ae9f52cbe4794, 0x4bc1b3f0968dd39c, 0xbb6dc91da77961bd,
  };
  const SipKey key{0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL};
  std::vector<uint8_t> message(std::size(kExpected));
  std::iota(message.begin(), message.end(), uint8_t{0});
  for (size_t n = 0; n < std::size(kExpected); ++n)
    EXPECT_EQ(SipHash24(key, std::span(message).first(n)), kExpected[n]) << n << " bytes";
  EXPECT_EQ(SipHash24(key, uint64_t{0x0706050403020100}), kExpected[8]) << "the word form";
}

TEST(SipHash, TheWordFormHashesTheWordsLittleEndianBytes) {
  std::mt19937_64 rng(1);
  for (int i = 0; i < 1000; ++i) {
    const SipKey key{rng(), rng()};
    const uint64_t word = rng();
    uint8_t bytes[8];
    for (int j = 0; j < 8; ++j) bytes[j] = static_cast<uint8_t>(word >> (8 * j));
    ASSERT_EQ(SipHash24(key, word), SipHash24(key, std::span<const uint8_t>(bytes))) << i;
  }
}

}  // namespace
}  // namespace mdl
