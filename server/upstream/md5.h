// MD5 (RFC 1321), for the NTP reference identifier of an IPv6 upstream.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace mdl {

std::array<uint8_t, 16> Md5(std::span<const uint8_t> data);

}  // namespace mdl
