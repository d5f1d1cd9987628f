// Cookie bookkeeping of the load generator's authenticated NTP mode. Each
// request spends one cookie and its verified reply brings one fresh cookie
// per cookie and placeholder sent; the book asks for placeholders while the
// cookies held plus those still to come fall short of one per slot, parks
// slots that find no cookie and hands them back once cookies arrive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace mdl::bench {

using Cookie = std::vector<uint8_t>;

class NtsSlotBook {
 public:
  // At most this many placeholders in one request.
  static constexpr size_t kMaxPlaceholders = 7;

  // `slots` requests in flight at most, each with at most `max_placeholders`
  // (up to kMaxPlaceholders); cookies held beyond `slots` + 8 are dropped,
  // so that the book stays bounded whatever a server sends.
  explicit NtsSlotBook(size_t slots, size_t max_placeholders = kMaxPlaceholders);

  // Cookies from a key establishment.
  void AddCookies(std::vector<Cookie> cookies);

  struct Request {
    Cookie cookie;
    size_t placeholders = 0;
  };
  // Slot `slot` sends now: its cookie (the oldest held) and how many
  // placeholders to add; nullopt when no cookie is held: the slot is parked
  // until TakeReady() returns it. A slot still in flight is first Failed().
  std::optional<Request> Send(size_t slot);

  // The slot's request had a verified reply carrying `cookies`.
  void Answered(size_t slot, std::vector<Cookie> cookies);
  // The slot's request ends without a verified reply (lost, NAK, not
  // authentic): the cookies it asked for will not come.
  void Failed(size_t slot);

  // Parked slots that may send now (each with a cookie waiting for it), in
  // the order they were parked; they leave the park.
  std::vector<size_t> TakeReady();

  size_t held() const { return cookies_.size(); }
  // Cookies the requests in flight ask back.
  size_t expected() const { return expected_; }
  size_t parked() const { return parked_.size(); }
  bool in_flight(size_t slot) const { return slot < asked_.size() && asked_[slot] != 0; }
  // No cookie held and none to come: only a new key establishment helps.
  bool starved() const { return cookies_.empty() && expected_ == 0; }

 private:
  void Hold(std::vector<Cookie>& cookies);

  std::deque<Cookie> cookies_;
  std::vector<size_t> asked_;  // per slot: cookies its request in flight asks back, 0 if none
  std::vector<bool> is_parked_;
  std::deque<size_t> parked_;
  size_t expected_ = 0;
  size_t limit_;
  size_t max_placeholders_;
};

}  // namespace mdl::bench
