// Several upstreams' answers: the largest set whose correctness intervals
// overlap (Marzullo's intersection), and their combined offset.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "common/time/utc_time.h"

namespace mdl {

// One upstream's filtered answer: the true offset lies within
// [offset - half_width, offset + half_width].
struct SourceInterval {
  Nanoseconds offset{0};
  Nanoseconds half_width{0};  // half its path delay plus its dispersion (never negative)
};

struct Intersection {
  std::vector<std::size_t> agreeing;  // indices of the intervals holding the intersection, ascending
  Nanoseconds low{0};                 // the intersection (empty set: both 0)
  Nanoseconds high{0};
  // More than half of the intervals agree.
  bool majority() const { return agreeing.size() * 2 > count; }
  std::size_t count = 0;
};

// The largest set of intervals with a point in common (closed intervals:
// touching ones agree). Among equally large sets the one of least offset.
Intersection Intersect(std::span<const SourceInterval> intervals);

// The agreeing intervals' offsets weighted by 1/half_width² (a width below
// 1 µs counts as 1 µs). nullopt for none.
std::optional<Nanoseconds> CombineOffsets(std::span<const SourceInterval> intervals,
                                          std::span<const std::size_t> agreeing);

}  // namespace mdl
