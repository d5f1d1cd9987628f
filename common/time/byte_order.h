// Big-endian (network order) reads and writes of 32-bit words in byte buffers.
#pragma once

#include <array>
#include <cstdint>

namespace mdl {

inline void PutBe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

inline uint32_t GetBe32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

inline std::array<uint8_t, 4> Be32Bytes(uint32_t v) {
  std::array<uint8_t, 4> out{};
  PutBe32(out.data(), v);
  return out;
}

}  // namespace mdl
