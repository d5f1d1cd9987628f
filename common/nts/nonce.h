// Nonces for authenticated NTP (cookie and authenticator nonces): unique and
// unpredictable, from a per-thread generator instead of a system call each.
//
// The generator is ChaCha20 keyed from the system's random source. Each
// refill draws a block of keystream, takes its first 32 bytes as the next
// key (earlier output cannot be recomputed from the state) and serves the
// rest, wiping what it hands out. It takes a fresh key from the system
// every kNonceReseedBytes of output and in a child after fork().
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace mdl::nts {

inline constexpr size_t kNonceReseedBytes = size_t{1} << 20;

// Fills `out` from this thread's generator; false when the system's source
// failed (then `out` is unspecified).
bool FillNonce(std::span<uint8_t> out);

// One generator; FillNonce keeps one per thread.
class NonceGenerator {
 public:
  static constexpr size_t kBlock = 1024;  // bytes served per refill

  // Seeded from the system's source at first use.
  NonceGenerator() = default;
  // Seeded with `seed` (reproducible output, for tests); still reseeds from
  // the system after kNonceReseedBytes.
  explicit NonceGenerator(std::span<const uint8_t, 32> seed);
  ~NonceGenerator();
  NonceGenerator(const NonceGenerator&) = delete;
  NonceGenerator& operator=(const NonceGenerator&) = delete;

  bool Fill(std::span<uint8_t> out);
  // How many times the key came from the system's source.
  uint64_t reseeds() const { return reseeds_; }

 private:
  bool Reseed();
  bool Refill();

  std::array<uint8_t, 32> key_{};
  std::array<uint8_t, kBlock> block_{};
  size_t next_ = kBlock;   // first unserved byte of block_
  size_t since_seed_ = 0;  // bytes served since the key came from the system
  bool seeded_ = false;
  uint64_t generation_ = 0;  // fork generation the key belongs to
  uint64_t reseeds_ = 0;
  void* ctx_ = nullptr;  // the cipher context (null in builds without one)
};

}  // namespace mdl::nts
