// Per-source budget for UDP replies larger than their request, so that the
// server cannot be used to amplify a flood towards a forged source address.
// Sizes are bytes on the wire (payload and UDP/IP headers): a reply larger
// than its request costs its whole size, one no larger is never limited.
//
// A token bucket per source (bytes, refilled at a steady rate up to a burst)
// in a fixed table, so memory stays bounded whatever arrives:
// - A bucket belongs to one exact key: a different source never shares it.
// - A key may sit in either of two sets of kWays entries, chosen by a keyed
//   hash whose key is drawn at start, so nobody can pick from outside an
//   address whose sets are the victim's.
// - A newcomer takes a free entry, else the least recently used one whose
//   bucket has refilled to full (a full bucket is the same as a fresh one, so
//   evicting it forgives nothing). With neither, it is charged to one shared
//   overflow bucket: a spray of sources can neither grow the table nor refill
//   a bucket still being drained by evicting it.
// The units are the caller's: the NTP rate limit (rate_limit.h) keeps its
// buckets in the same table, in fractions of a second of credit.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "server/serving/sip_hash.h"

namespace mdl {

// Bytes on the wire of a UDP datagram: payload, UDP header (8) and IPv4 (20)
// or IPv6 (40) header.
constexpr size_t UdpWireBytes(size_t payload, bool ipv6) { return payload + (ipv6 ? 48 : 28); }

class ReplyBudget {
 public:
  static constexpr size_t kWays = 4;
  static constexpr size_t kSets = 1024;  // a power of two
  static constexpr size_t kSlots = kSets * kWays;

  // Bounds of the rate and the burst (in units), so that the bucket's level in
  // thousandths never overflows.
  static constexpr uint64_t kMaxUnits = uint64_t{1} << 50;

  // `rate` bytes (units) per second, `burst` at most in the bucket; the hash
  // key is drawn from the random source.
  ReplyBudget(uint64_t rate = 1000, uint64_t burst = 10000);
  // With a chosen hash key (tests that aim keys at one set).
  ReplyBudget(uint64_t rate, uint64_t burst, const SipKey& hash_key);

  // Sets the rate and burst (each at most kMaxUnits) and forgets every bucket.
  void Configure(uint64_t rate, uint64_t burst);
  // True when a reply of `bytes` (a charge of that many units) may go to
  // `key` at `now_ms` (charged if so).
  bool Allow(uint64_t key, int64_t now_ms, uint64_t bytes);

  // The two sets `key` may occupy (they may coincide).
  std::array<size_t, 2> SetsOf(uint64_t key) const;

  uint64_t refused() const { return refused_; }
  // Charges that found no entry of their own and went to the overflow bucket.
  uint64_t overflowed() const { return overflowed_; }
  // Entries in use: at most kSlots.
  size_t entries() const { return in_use_; }
  uint64_t rate() const { return rate_; }
  uint64_t burst() const { return burst_; }

 private:
  // Tokens in thousandths of a unit, so that a refill of rate * elapsed
  // milliseconds is exact and the last use time doubles as the refill time.
  struct Entry {
    uint64_t key = 0;
    int64_t used_ms = 0;
    int64_t milli_tokens = -1;  // -1: free
  };
  // The bucket's level at `now_ms`, refill included.
  int64_t LevelAt(const Entry& e, int64_t now_ms) const;
  // The key's own entry, taken from a free or full one when it has none;
  // nullptr when both sets are busy.
  Entry* Find(uint64_t key, int64_t now_ms);

  SipKey hash_key_;
  int64_t rate_ = 0;
  int64_t burst_ = 0;
  int64_t full_milli_ = 0;     // burst_ in thousandths
  int64_t refill_all_ms_ = 0;  // idle time after which any bucket is full
  std::vector<Entry> table_;   // kSets sets of kWays entries
  Entry overflow_;
  size_t in_use_ = 0;
  uint64_t refused_ = 0;
  uint64_t overflowed_ = 0;
};

}  // namespace mdl
