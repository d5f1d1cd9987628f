// SipHash-2-4 after its reference description: 2 rounds per 8-byte block,
// 4 rounds of finalisation.
#include "server/serving/sip_hash.h"

#include <array>
#include <bit>
#include <chrono>

#include "common/clock/secure_random.h"
#include "common/clock/system_clock.h"

namespace mdl {
namespace {

struct SipState {
  uint64_t v0, v1, v2, v3;

  explicit SipState(const SipKey& key)
      : v0(key.k0 ^ 0x736f6d6570736575ULL),
        v1(key.k1 ^ 0x646f72616e646f6dULL),
        v2(key.k0 ^ 0x6c7967656e657261ULL),
        v3(key.k1 ^ 0x7465646279746573ULL) {}

  void Round() {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
  }

  void Absorb(uint64_t m) {
    v3 ^= m;
    Round();
    Round();
    v0 ^= m;
  }

  uint64_t Finish() {
    v2 ^= 0xff;
    for (int i = 0; i < 4; ++i) Round();
    return v0 ^ v1 ^ v2 ^ v3;
  }
};

uint64_t LittleEndian(std::span<const uint8_t> bytes) {
  uint64_t m = 0;
  for (size_t i = 0; i < bytes.size(); ++i) m |= uint64_t{bytes[i]} << (8 * i);
  return m;
}

}  // namespace

uint64_t SipHash24(const SipKey& key, std::span<const uint8_t> data) {
  SipState s(key);
  const size_t whole = data.size() / 8 * 8;
  for (size_t i = 0; i < whole; i += 8) s.Absorb(LittleEndian(data.subspan(i, 8)));
  // The last block: the remaining bytes and the length's low byte on top.
  s.Absorb(LittleEndian(data.subspan(whole)) | uint64_t{data.size() & 0xff} << 56);
  return s.Finish();
}

uint64_t SipHash24(const SipKey& key, uint64_t word) {
  SipState s(key);
  s.Absorb(word);
  s.Absorb(uint64_t{8} << 56);
  return s.Finish();
}

SipKey RandomSipKey() {
  std::array<uint8_t, 16> bytes{};
  if (FillSecureRandom(bytes)) {
    return {LittleEndian(std::span(bytes).first(8)), LittleEndian(std::span(bytes).last(8))};
  }
  const auto wall = static_cast<uint64_t>(SystemRealtimeNs());
  const auto steady = static_cast<uint64_t>(MonotonicNow().count());
  // The stack's address differs between runs where addresses are randomised.
  const SipKey mixed{wall, steady ^ reinterpret_cast<uintptr_t>(&bytes)};
  return {SipHash24(mixed, uint64_t{1}), SipHash24(mixed, uint64_t{2})};
}

}  // namespace mdl
