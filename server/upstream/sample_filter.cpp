// The clock filter's choice among an upstream's recent exchanges.
#include "server/upstream/sample_filter.h"

#include <cmath>

namespace mdl {

Nanoseconds FilterDispersion(const FilterEntry& e, Nanoseconds now) {
  const Nanoseconds age = std::max(now - e.taken, Nanoseconds(0));
  return Nanoseconds(static_cast<int64_t>(std::llround(static_cast<double>(age.count()) * kFilterPhi)));
}

Nanoseconds FilterWeight(const FilterEntry& e, Nanoseconds now) {
  return std::max(e.delay, Nanoseconds(0)) + 2 * FilterDispersion(e, now);
}

std::optional<std::size_t> ChooseFilterEntry(std::span<const FilterEntry> entries, Nanoseconds now,
                                             Nanoseconds max_age) {
  if (entries.empty()) return std::nullopt;
  // The newest is the one taken last, wherever it sits.
  std::size_t newest = 0;
  for (std::size_t i = 1; i < entries.size(); ++i)
    if (entries[i].taken >= entries[newest].taken) newest = i;
  std::optional<std::size_t> best;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (i != newest && now - entries[i].taken > max_age) continue;
    if (!best) {
      best = i;
      continue;
    }
    const Nanoseconds w = FilterWeight(entries[i], now);
    const Nanoseconds wb = FilterWeight(entries[*best], now);
    if (w < wb || (w == wb && entries[i].taken >= entries[*best].taken)) best = i;
  }
  return best;
}

}  // namespace mdl
