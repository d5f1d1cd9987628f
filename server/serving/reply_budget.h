// Per-source budget for UDP replies larger than their request, so that the
// server cannot be used to amplify a flood towards a forged source address.
// Sizes are bytes on the wire (payload and UDP/IP headers): a reply larger
// than its request costs its whole size, one no larger is never limited.
// A token bucket per address (bytes, refilled at a steady rate up to a
// burst) in a fixed-size table: memory stays bounded whatever arrives.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace mdl {

// Bytes on the wire of a UDP datagram: payload, UDP header (8) and IPv4 (20)
// or IPv6 (40) header.
constexpr size_t UdpWireBytes(size_t payload, bool ipv6) { return payload + (ipv6 ? 48 : 28); }

class ReplyBudget {
 public:
  static constexpr size_t kSlots = 4096;
  // `rate` bytes per second, `burst` bytes at most in the bucket.
  ReplyBudget(uint32_t rate = 1000, uint32_t burst = 10000);

  void Configure(uint32_t rate, uint32_t burst);
  // True when a reply of `bytes` may go to `key` at `now_ms`.
  bool Allow(uint64_t key, int64_t now_ms, uint32_t bytes);

  uint64_t refused() const { return refused_; }
  uint32_t rate() const { return rate_; }
  uint32_t burst() const { return burst_; }

 private:
  struct Slot {
    uint64_t key = 0;
    int64_t updated_ms = 0;
    int64_t tokens = -1;  // -1: never used
  };
  uint32_t rate_;
  uint32_t burst_;
  std::vector<Slot> slots_;
  uint64_t refused_ = 0;
};

}  // namespace mdl
