// The clock filter across synchronisations: the last exchanges with each
// upstream, their offsets brought to the present by the corrections our
// clock took since, and the one least spoilt by path delay and age chosen.
#pragma once

#include <algorithm>
#include <cstddef>
#include <deque>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/time/utc_time.h"

namespace mdl {

// One exchange as the filter weighs it (all times on the monotonic scale).
struct FilterEntry {
  Nanoseconds offset{0};          // upstream minus ours at the exchange
  Nanoseconds delay{0};           // round trip less the upstream's hold
  Nanoseconds taken{0};           // when the reply arrived
  Nanoseconds corrections_at{0};  // the filter's correction total then
};

// The frequency tolerance: an exchange's dispersion grows by 15 µs a second.
inline constexpr double kFilterPhi = 15e-6;

// The dispersion an exchange gained by `now` (PHI times its age).
Nanoseconds FilterDispersion(const FilterEntry& e, Nanoseconds now);
// What the filter minimises: the delay plus twice the dispersion gained
// (the order of RFC 5905's synchronisation distance, delay/2 + dispersion).
Nanoseconds FilterWeight(const FilterEntry& e, Nanoseconds now);
// The index of the entry of least weight among those at most `max_age` old
// at `now`; the newest entry is always a candidate. Ties go to the newer.
// nullopt for no entries.
std::optional<std::size_t> ChooseFilterEntry(std::span<const FilterEntry> entries, Nanoseconds now,
                                             Nanoseconds max_age);

// The history of each upstream (keyed by address) with what the caller keeps
// of each exchange.
template <class Payload>
class SampleFilter {
 public:
  static constexpr std::size_t kKept = 8;        // exchanges per upstream
  static constexpr std::size_t kUpstreams = 32;  // upstreams remembered

  struct Chosen {
    FilterEntry entry;
    Payload payload;
    Nanoseconds offset_now{0};  // the entry's offset less the corrections since
    Nanoseconds dispersion{0};  // gained by its age
    bool newest = false;        // the upstream's latest exchange
  };

  // A correction of `amount` (a step, or a slew as it is decided) was
  // applied to our clock: older offsets are that much less now.
  void OnCorrectionApplied(Nanoseconds amount) { corrections_ += amount; }
  Nanoseconds corrections() const { return corrections_; }

  // An exchange with `key` whose reply arrived at monotonic `taken`.
  void Add(const std::string& key, Nanoseconds offset, Nanoseconds delay, Nanoseconds taken,
           Payload payload) {
    auto it = history_.find(key);
    if (it == history_.end()) {
      if (history_.size() >= kUpstreams) EvictStalest();
      it = history_.emplace(key, std::deque<Kept>{}).first;
    }
    it->second.push_back(Kept{FilterEntry{offset, delay, taken, corrections_}, std::move(payload)});
    if (it->second.size() > kKept) it->second.pop_front();
  }

  std::optional<Chosen> Choose(const std::string& key, Nanoseconds now, Nanoseconds max_age) const {
    auto it = history_.find(key);
    if (it == history_.end() || it->second.empty()) return std::nullopt;
    const std::deque<Kept>& kept = it->second;
    std::vector<FilterEntry> entries;
    entries.reserve(kept.size());
    for (const Kept& k : kept) entries.push_back(k.entry);
    const std::optional<std::size_t> i = ChooseFilterEntry(entries, now, max_age);
    if (!i) return std::nullopt;
    const Kept& k = kept[*i];
    return Chosen{k.entry, k.payload, k.entry.offset - (corrections_ - k.entry.corrections_at),
                  FilterDispersion(k.entry, now), *i + 1 == kept.size()};
  }

  std::size_t size(const std::string& key) const {
    auto it = history_.find(key);
    return it == history_.end() ? 0 : it->second.size();
  }
  // The clock was set from outside: no kept offset can be brought to now.
  void Forget() { history_.clear(); }
  // An exchange that must not be chosen again (its step was refused: were it
  // chosen at the next synchronisation, it would seem to confirm itself).
  void Drop(const std::string& key, Nanoseconds taken) {
    auto it = history_.find(key);
    if (it == history_.end()) return;
    std::erase_if(it->second, [&](const Kept& k) { return k.entry.taken == taken; });
  }

 private:
  struct Kept {
    FilterEntry entry;
    Payload payload;
  };
  void EvictStalest() {
    auto stalest = history_.begin();
    for (auto it = history_.begin(); it != history_.end(); ++it) {
      if (it->second.empty()) {
        stalest = it;
        break;
      }
      if (!stalest->second.empty() && it->second.back().entry.taken < stalest->second.back().entry.taken)
        stalest = it;
    }
    history_.erase(stalest);
  }

  std::map<std::string, std::deque<Kept>> history_;
  Nanoseconds corrections_{0};
};

}  // namespace mdl
