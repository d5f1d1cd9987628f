// SipHash-2-4: a keyed hash whose outputs cannot be predicted without the
// key, so that table slots chosen by it cannot be aimed at from outside.
#pragma once

#include <cstdint>
#include <span>

namespace mdl {

// The 128-bit key as two little-endian words (key bytes 0-7 and 8-15).
struct SipKey {
  uint64_t k0 = 0;
  uint64_t k1 = 0;
};

// SipHash-2-4 of `data` under `key`.
uint64_t SipHash24(const SipKey& key, std::span<const uint8_t> data);

// SipHash-2-4 of the 8 little-endian bytes of `word`: the same value as the
// byte form, without building the bytes.
uint64_t SipHash24(const SipKey& key, uint64_t word);

// A key from the system's random source; should that fail, one from the
// clocks and the stack's address (weaker, but still not known before the start).
SipKey RandomSipKey();

}  // namespace mdl
