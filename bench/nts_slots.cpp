#include "bench/nts_slots.h"

#include <algorithm>
#include <utility>

namespace mdl::bench {

NtsSlotBook::NtsSlotBook(size_t slots, size_t max_placeholders)
    : asked_(slots, 0),
      is_parked_(slots, false),
      limit_(slots + 8),
      max_placeholders_(std::min(max_placeholders, kMaxPlaceholders)) {}

void NtsSlotBook::Hold(std::vector<Cookie>& cookies) {
  for (Cookie& c : cookies) {
    if (c.empty() || cookies_.size() >= limit_) continue;
    cookies_.push_back(std::move(c));
  }
}

void NtsSlotBook::AddCookies(std::vector<Cookie> cookies) { Hold(cookies); }

std::optional<NtsSlotBook::Request> NtsSlotBook::Send(size_t slot) {
  if (slot >= asked_.size()) return std::nullopt;
  if (asked_[slot] != 0) Failed(slot);
  if (cookies_.empty()) {
    if (!is_parked_[slot]) {
      is_parked_[slot] = true;
      parked_.push_back(slot);
    }
    return std::nullopt;
  }
  Request r;
  r.cookie = std::move(cookies_.front());
  cookies_.pop_front();
  // Enough for every slot once this request is answered: the cookies held,
  // those to come, and this request's own.
  const size_t have = cookies_.size() + expected_ + 1;
  const size_t want = asked_.size() > have ? asked_.size() - have : 0;
  r.placeholders = std::min(want, max_placeholders_);
  asked_[slot] = 1 + r.placeholders;
  expected_ += asked_[slot];
  return r;
}

void NtsSlotBook::Answered(size_t slot, std::vector<Cookie> cookies) {
  if (slot >= asked_.size() || asked_[slot] == 0) return;  // not in flight: a late duplicate
  expected_ -= asked_[slot];
  asked_[slot] = 0;
  Hold(cookies);
}

void NtsSlotBook::Failed(size_t slot) {
  if (slot >= asked_.size() || asked_[slot] == 0) return;
  expected_ -= asked_[slot];
  asked_[slot] = 0;
}

std::vector<size_t> NtsSlotBook::TakeReady() {
  std::vector<size_t> ready;
  while (!parked_.empty() && ready.size() < cookies_.size()) {
    ready.push_back(parked_.front());
    is_parked_[parked_.front()] = false;
    parked_.pop_front();
  }
  return ready;
}

}  // namespace mdl::bench
