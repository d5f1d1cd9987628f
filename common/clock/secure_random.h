// Bytes from the operating system's cryptographic random source, for values
// an off-path sender must not be able to guess (query nonces).
#pragma once

#include <cstdint>
#include <span>

namespace mdl {

// Fills `out` completely; false (and `out` unspecified) when the source failed.
bool FillSecureRandom(std::span<uint8_t> out);

}  // namespace mdl
