// The amplification budget: bursts, refill, isolation between sources.
#include "server/serving/reply_budget.h"

#include <gtest/gtest.h>

namespace mdl {
namespace {

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

}  // namespace
}  // namespace mdl
