#include "common/nts/cookie.h"

#include <algorithm>

#include "common/clock/secure_random.h"
#include "common/nts/nonce.h"

namespace mdl::nts {
namespace {

constexpr AeadId kCookieAead = AeadId::kAesSivCmac256;
constexpr size_t kHeader = 4 + kCookieNonceLength;

// This thread's buffer for sealing and opening cookies: no allocation per
// packet once grown.
std::vector<uint8_t>& Scratch() {
  thread_local std::vector<uint8_t> scratch;
  return scratch;
}

// Zeroes the buffer when it goes out of scope (it held session keys).
struct Wiped {
  std::vector<uint8_t>& v;
  ~Wiped() { std::fill(v.begin(), v.end(), 0); }
};

}  // namespace

const CookieKey* CookieKeySet::find(uint32_t id) const {
  for (const auto& k : keys) {
    if (k.id == id) return &k;
  }
  return nullptr;
}

size_t CookieLength(AeadId aead) { return kHeader + kAeadTagLength + 4 + 2 * AeadKeyLength(aead); }

bool AppendCookie(const CookieKey& key, const SessionKeys& keys, std::vector<uint8_t>* out) {
  const size_t key_length = AeadKeyLength(keys.aead);
  if (key_length == 0 || keys.c2s.size() != key_length || keys.s2c.size() != key_length) return false;
  std::array<uint8_t, 4 + 2 * 64> plain{};
  plain[0] = static_cast<uint8_t>(static_cast<uint16_t>(keys.aead) >> 8);
  plain[1] = static_cast<uint8_t>(static_cast<uint16_t>(keys.aead));
  std::copy(keys.c2s.begin(), keys.c2s.end(), plain.begin() + 4);
  std::copy(keys.s2c.begin(), keys.s2c.end(), plain.begin() + 4 + key_length);

  std::array<uint8_t, kHeader> head;
  for (int i = 0; i < 4; ++i) head[i] = static_cast<uint8_t>(key.id >> (24 - 8 * i));
  const std::span<uint8_t> nonce(head.data() + 4, kCookieNonceLength);
  if (!FillNonce(nonce)) return false;
  std::vector<uint8_t>& sealed = Scratch();
  const bool ok = AeadSeal(kCookieAead, key.key, nonce, std::span(head.data(), 4),
                           std::span(plain.data(), 4 + 2 * key_length), &sealed);
  std::fill(plain.begin(), plain.end(), 0);
  if (!ok) return false;
  out->insert(out->end(), head.begin(), head.end());
  out->insert(out->end(), sealed.begin(), sealed.end());
  return true;
}

std::vector<uint8_t> SealCookie(const CookieKey& key, const SessionKeys& keys) {
  std::vector<uint8_t> cookie;
  cookie.reserve(kMaxCookieLength);
  if (!AppendCookie(key, keys, &cookie)) return {};
  return cookie;
}

std::optional<SessionKeys> OpenCookie(const CookieKeySet& set, std::span<const uint8_t> cookie) {
  if (cookie.size() != CookieLength(AeadId::kAesSivCmac256) &&
      cookie.size() != CookieLength(AeadId::kAesSivCmac512)) {
    return std::nullopt;
  }
  const uint32_t id = (uint32_t{cookie[0]} << 24) | (uint32_t{cookie[1]} << 16) | (uint32_t{cookie[2]} << 8) |
                      uint32_t{cookie[3]};
  const CookieKey* key = set.find(id);
  if (key == nullptr) return std::nullopt;
  std::vector<uint8_t>& plain = Scratch();
  const Wiped wiped{plain};
  if (!AeadOpen(kCookieAead, key->key, cookie.subspan(4, kCookieNonceLength), cookie.first(4),
                cookie.subspan(kHeader), &plain)) {
    return std::nullopt;
  }
  if (plain.size() < 4 || plain[2] != 0 || plain[3] != 0) return std::nullopt;
  const auto aead = static_cast<AeadId>((uint16_t{plain[0]} << 8) | plain[1]);
  const size_t key_length = AeadKeyLength(aead);
  if (key_length == 0 || plain.size() != 4 + 2 * key_length) return std::nullopt;
  SessionKeys keys;
  keys.aead = aead;
  keys.c2s.assign(plain.begin() + 4, plain.begin() + 4 + key_length);
  keys.s2c.assign(plain.begin() + 4 + key_length, plain.end());
  return keys;
}

std::optional<CookieKey> MakeCookieKey(uint32_t id, int64_t created_unix) {
  CookieKey key;
  key.id = id;
  key.created_unix = created_unix;
  if (!FillSecureRandom(key.key)) return std::nullopt;
  return key;
}

}  // namespace mdl::nts
