// NTS cookies: the session keys of one client, sealed under a server key so
// that the server keeps no state per client. A cookie is
//   key id (4, big-endian) || nonce (16) ||
//   AES-SIV-CMAC-256(cookie key, ad = key id, nonce, aead id (2) || 0 (2) || c2s || s2c)
// 104 or 168 bytes: a multiple of 4, so an extension field holds it unpadded.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/nts/aead.h"

namespace mdl::nts {

struct SessionKeys {
  AeadId aead = AeadId::kAesSivCmac256;
  std::vector<uint8_t> c2s, s2c;
};

struct CookieKey {
  uint32_t id = 0;
  std::array<uint8_t, 32> key{};
  int64_t created_unix = 0;
};

struct CookieKeySet {
  std::vector<CookieKey> keys;  // newest first
  const CookieKey* current() const { return keys.empty() ? nullptr : &keys.front(); }
  const CookieKey* find(uint32_t id) const;
};

inline constexpr size_t kCookieNonceLength = 16;
// The length of a cookie carrying keys of `aead`.
size_t CookieLength(AeadId aead);
// The longest cookie this server makes or accepts.
inline constexpr size_t kMaxCookieLength = 4 + kCookieNonceLength + kAeadTagLength + 4 + 2 * 64;

// A fresh cookie (random nonce inside); empty when sealing failed.
std::vector<uint8_t> SealCookie(const CookieKey&, const SessionKeys&);
// The same cookie appended to `out` (no allocation once `out` has room);
// false, `out` unchanged, when sealing failed.
bool AppendCookie(const CookieKey&, const SessionKeys&, std::vector<uint8_t>* out);
// The session keys inside `cookie`; nullopt when its key is unknown, its
// length is wrong or it does not authenticate.
std::optional<SessionKeys> OpenCookie(const CookieKeySet&, std::span<const uint8_t> cookie);

// A new key with random bytes; nullopt when the random source failed.
std::optional<CookieKey> MakeCookieKey(uint32_t id, int64_t created_unix);

}  // namespace mdl::nts
