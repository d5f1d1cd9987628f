// Marzullo's intersection of correctness intervals and the weighted offset.
#include "server/upstream/select.h"

#include <gtest/gtest.h>

#include <vector>

namespace mdl {
namespace {

using std::chrono::milliseconds;

SourceInterval Around(int offset_ms, int half_ms) { return {milliseconds(offset_ms), milliseconds(half_ms)}; }

std::vector<std::size_t> Agreeing(const std::vector<SourceInterval>& v) { return Intersect(v).agreeing; }

TEST(IntersectTest, LargestOverlappingSetAndItsIntersection) {
  // Nested: the inner interval lies within both others.
  {
    const std::vector<SourceInterval> v{Around(0, 10), Around(2, 1), Around(-1, 5)};
    const Intersection x = Intersect(v);
    EXPECT_EQ(x.agreeing, (std::vector<std::size_t>{0, 1, 2}));
    EXPECT_EQ(x.low, milliseconds(1));
    EXPECT_EQ(x.high, milliseconds(3));
    EXPECT_TRUE(x.majority());
  }
  // A liar far away from two that overlap.
  {
    const std::vector<SourceInterval> v{Around(0, 2), Around(500, 2), Around(1, 2)};
    const Intersection x = Intersect(v);
    EXPECT_EQ(x.agreeing, (std::vector<std::size_t>{0, 2}));
    EXPECT_EQ(x.low, milliseconds(-1));
    EXPECT_EQ(x.high, milliseconds(2));
    EXPECT_TRUE(x.majority());
  }
  // Touching ends agree (closed intervals); a gap of one nanosecond does not.
  EXPECT_EQ(Agreeing({Around(0, 5), Around(10, 5)}), (std::vector<std::size_t>{0, 1}));
  EXPECT_EQ(Agreeing({{milliseconds(0), milliseconds(5)},
                      {milliseconds(10) + std::chrono::nanoseconds(1), milliseconds(5)}})
                .size(),
            1u);
}

TEST(IntersectTest, MajorityNeedsMoreThanHalf) {
  // Three disjoint: each alone, no majority.
  const Intersection three =
      Intersect(std::vector<SourceInterval>{Around(0, 1), Around(500, 1), Around(-300, 1)});
  EXPECT_EQ(three.agreeing.size(), 1u);
  EXPECT_EQ(three.count, 3u);
  EXPECT_FALSE(three.majority());
  // Two that disagree: one of two is no majority.
  EXPECT_FALSE(Intersect(std::vector<SourceInterval>{Around(0, 1), Around(500, 1)}).majority());
  // Two liars that agree outvote one honest server.
  const Intersection liars =
      Intersect(std::vector<SourceInterval>{Around(0, 1), Around(500, 1), Around(501, 1)});
  EXPECT_EQ(liars.agreeing, (std::vector<std::size_t>{1, 2}));
  EXPECT_TRUE(liars.majority());
  // One interval agrees with itself; none gives nothing.
  const Intersection one = Intersect(std::vector<SourceInterval>{Around(7, 2)});
  EXPECT_EQ(one.agreeing, (std::vector<std::size_t>{0}));
  EXPECT_EQ(one.low, milliseconds(5));
  EXPECT_EQ(one.high, milliseconds(9));
  EXPECT_TRUE(one.majority());
  EXPECT_TRUE(Intersect({}).agreeing.empty());
  EXPECT_FALSE(Intersect({}).majority());
}

TEST(IntersectTest, NegativeWidthCountsAsAPointAndOrderDoesNotMatter) {
  const std::vector<SourceInterval> a{Around(3, -4), Around(0, 5), Around(20, 1)};
  const std::vector<SourceInterval> b{Around(20, 1), Around(0, 5), Around(3, -4)};
  const Intersection xa = Intersect(a);
  const Intersection xb = Intersect(b);
  EXPECT_EQ(xa.low, milliseconds(3));
  EXPECT_EQ(xa.high, milliseconds(3));
  EXPECT_EQ(xa.low, xb.low);
  EXPECT_EQ(xa.high, xb.high);
  EXPECT_EQ(xa.agreeing, (std::vector<std::size_t>{0, 1}));
  EXPECT_EQ(xb.agreeing, (std::vector<std::size_t>{1, 2}));
}

TEST(CombineOffsetsTest, WeightsByTheInverseSquareOfTheWidth) {
  const std::vector<SourceInterval> v{Around(0, 1), Around(900, 1), Around(10, 2)};
  const std::vector<std::size_t> agreeing{0, 2};
  // Weights 1 and 1/4: (0 * 1 + 10 * 0.25) / 1.25 = 2 ms.
  EXPECT_EQ(CombineOffsets(v, agreeing), milliseconds(2));
  // Equal widths: the plain mean.
  EXPECT_EQ(
      CombineOffsets(std::vector<SourceInterval>{Around(4, 3), Around(8, 3)}, std::vector<std::size_t>{0, 1}),
      milliseconds(6));
  // A zero width counts as 1 µs, not as an infinite weight.
  const auto zero =
      CombineOffsets(std::vector<SourceInterval>{{milliseconds(5), std::chrono::nanoseconds(0)},
                                                 {milliseconds(6), std::chrono::microseconds(1)}},
                     std::vector<std::size_t>{0, 1});
  ASSERT_TRUE(zero.has_value());
  EXPECT_EQ(*zero, std::chrono::microseconds(5500));
  EXPECT_FALSE(CombineOffsets(v, std::vector<std::size_t>{}).has_value());
  EXPECT_FALSE(CombineOffsets(v, std::vector<std::size_t>{7}).has_value())
      << "an index beyond is no interval";
}

}  // namespace
}  // namespace mdl
