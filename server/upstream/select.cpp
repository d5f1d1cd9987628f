// Marzullo's intersection of correctness intervals, and the weighted mean.
#include "server/upstream/select.h"

#include <algorithm>
#include <cmath>

namespace mdl {

Intersection Intersect(std::span<const SourceInterval> intervals) {
  Intersection out;
  out.count = intervals.size();
  if (intervals.empty()) return out;
  struct Edge {
    Nanoseconds at;
    int step;  // +1 an interval starts, -1 one ends
  };
  std::vector<Edge> edges;
  edges.reserve(2 * intervals.size());
  for (const SourceInterval& s : intervals) {
    const Nanoseconds w = std::max(s.half_width, Nanoseconds(0));
    edges.push_back({s.offset - w, +1});
    edges.push_back({s.offset + w, -1});
  }
  // At the same point starts come first: touching intervals overlap.
  std::sort(edges.begin(), edges.end(),
            [](const Edge& a, const Edge& b) { return a.at != b.at ? a.at < b.at : a.step > b.step; });
  int depth = 0;
  int best = 0;
  for (std::size_t i = 0; i < edges.size(); ++i) {
    depth += edges[i].step;
    if (edges[i].step > 0 && depth > best) {
      best = depth;
      out.low = edges[i].at;
      out.high = edges[i + 1].at;  // an end always follows the deepest start
    }
  }
  for (std::size_t i = 0; i < intervals.size(); ++i) {
    const Nanoseconds w = std::max(intervals[i].half_width, Nanoseconds(0));
    if (intervals[i].offset - w <= out.low && intervals[i].offset + w >= out.high) out.agreeing.push_back(i);
  }
  return out;
}

std::optional<Nanoseconds> CombineOffsets(std::span<const SourceInterval> intervals,
                                          std::span<const std::size_t> agreeing) {
  double weights = 0;
  double sum = 0;
  for (std::size_t i : agreeing) {
    if (i >= intervals.size()) continue;
    const double w_ns = std::max(static_cast<double>(intervals[i].half_width.count()), 1000.0);
    const double weight = 1.0 / (w_ns * w_ns);
    weights += weight;
    sum += weight * static_cast<double>(intervals[i].offset.count());
  }
  if (weights == 0) return std::nullopt;
  return Nanoseconds(static_cast<int64_t>(std::llround(sum / weights)));
}

}  // namespace mdl
