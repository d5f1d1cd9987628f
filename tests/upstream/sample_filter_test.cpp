// The clock filter: least delay after aging, the age limit, and offsets
// brought to the present by the corrections since.
#include "server/upstream/sample_filter.h"

#include <gtest/gtest.h>

#include <vector>

namespace mdl {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

FilterEntry At(int offset_ms, int delay_ms, seconds taken) {
  return {milliseconds(offset_ms), milliseconds(delay_ms), taken, Nanoseconds(0)};
}

TEST(SampleFilterTest, AgeAddsTwicePhiToTheDelay) {
  const FilterEntry e = At(0, 10, seconds(100));
  EXPECT_EQ(FilterDispersion(e, seconds(100)), Nanoseconds(0));
  // 1000 s old: 15 ms of dispersion, weighed twice.
  EXPECT_EQ(FilterDispersion(e, seconds(1100)), milliseconds(15));
  EXPECT_EQ(FilterWeight(e, seconds(1100)), milliseconds(40));
  // A time before the exchange ages it by nothing.
  EXPECT_EQ(FilterDispersion(e, seconds(50)), Nanoseconds(0));
}

TEST(SampleFilterTest, ChoosesLeastWeightAmongYoungEnoughAndAlwaysTheNewest) {
  const Nanoseconds day = std::chrono::hours(24);
  // An old exchange of small delay beats a fresh one of large delay: both
  // age alike, so only the 600 s between them count (2 + 18 < 100).
  std::vector<FilterEntry> v{At(5, 2, seconds(0)), At(30, 100, seconds(600))};
  EXPECT_EQ(ChooseFilterEntry(v, seconds(600), day), 0u);
  EXPECT_EQ(ChooseFilterEntry(v, seconds(3600), day), 0u);
  // An exchange 3400 s younger outweighs it at equal delay (2 + 102 > 100).
  std::vector<FilterEntry> later{At(5, 2, seconds(0)), At(40, 100, seconds(3400))};
  EXPECT_EQ(ChooseFilterEntry(later, seconds(3400), day), 1u);
  // Beyond the age limit it is no candidate, however small its delay.
  EXPECT_EQ(ChooseFilterEntry(v, seconds(600), seconds(599)), 1u);
  // The newest stays a candidate even beyond the limit.
  EXPECT_EQ(ChooseFilterEntry(v, seconds(100000), seconds(10)), 1u);
  // Equal weights go to the newer, wherever it sits.
  std::vector<FilterEntry> tie{At(0, 4, seconds(10)), At(1, 4, seconds(10))};
  EXPECT_EQ(ChooseFilterEntry(tie, seconds(10), day), 1u);
  EXPECT_FALSE(ChooseFilterEntry({}, seconds(0), day).has_value());
}

TEST(SampleFilterTest, KeepsEightPerUpstreamAndBringsOffsetsToThePresent) {
  SampleFilter<int> f;
  // A good exchange, then a correction of +1000 ms applied to our clock.
  f.Add("a", milliseconds(1000), milliseconds(2), seconds(0), 1);
  f.OnCorrectionApplied(milliseconds(1000));
  f.Add("a", milliseconds(30), milliseconds(100), seconds(60), 2);
  auto c = f.Choose("a", seconds(60), std::chrono::hours(24));
  ASSERT_TRUE(c.has_value());
  EXPECT_EQ(c->payload, 1);
  EXPECT_FALSE(c->newest);
  EXPECT_EQ(c->offset_now, Nanoseconds(0)) << "the correction since is no longer in its offset";
  EXPECT_EQ(c->dispersion, std::chrono::microseconds(900));
  // A slew of -5 ms later: the chosen offset follows.
  f.OnCorrectionApplied(milliseconds(-5));
  EXPECT_EQ(f.Choose("a", seconds(60), std::chrono::hours(24))->offset_now, milliseconds(5));
  // A later exchange of less delay wins; no correction came after it.
  f.Add("a", milliseconds(7), milliseconds(1), seconds(70), 3);
  c = f.Choose("a", seconds(70), std::chrono::hours(24));
  EXPECT_EQ(c->payload, 3);
  EXPECT_TRUE(c->newest);
  EXPECT_EQ(c->offset_now, milliseconds(7));
  // Other upstreams have histories of their own.
  EXPECT_FALSE(f.Choose("b", seconds(60), std::chrono::hours(24)).has_value());
  // Only the last eight are kept: the good first one falls out.
  for (int i = 0; i < 8; ++i) f.Add("a", milliseconds(0), milliseconds(50), seconds(61 + i), 10 + i);
  EXPECT_EQ(f.size("a"), SampleFilter<int>::kKept);
  EXPECT_NE(f.Choose("a", seconds(70), std::chrono::hours(24))->payload, 1);
  // A dropped exchange is no candidate any more; others of the time stay.
  EXPECT_EQ(f.Choose("a", seconds(70), std::chrono::hours(24))->payload, 17);
  f.Drop("a", seconds(68));
  EXPECT_EQ(f.size("a"), SampleFilter<int>::kKept - 1);
  EXPECT_EQ(f.Choose("a", seconds(70), std::chrono::hours(24))->payload, 16);
  f.Drop("nobody", seconds(70));
  f.Forget();
  EXPECT_EQ(f.size("a"), 0u);
}

TEST(SampleFilterTest, RemembersABoundedNumberOfUpstreamsDroppingTheStalest) {
  SampleFilter<int> f;
  const int n = static_cast<int>(SampleFilter<int>::kUpstreams);
  for (int i = 0; i < n; ++i)
    f.Add("u" + std::to_string(i), Nanoseconds(0), Nanoseconds(0), seconds(100 + i), i);
  // u0 is heard again: u1 is now the stalest.
  f.Add("u0", Nanoseconds(0), Nanoseconds(0), seconds(1000), 0);
  f.Add("new", Nanoseconds(0), Nanoseconds(0), seconds(1001), 99);
  EXPECT_EQ(f.size("u1"), 0u);
  EXPECT_EQ(f.size("u0"), 2u);
  EXPECT_EQ(f.size("u2"), 1u);
  EXPECT_EQ(f.size("new"), 1u);
}

}  // namespace
}  // namespace mdl
