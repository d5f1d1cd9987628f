// Authenticated NTP packets: the server's reading of a request and its
// authenticated reply or NAK, and the client's request and check of a reply.
// Pure apart from the AEAD and the random nonces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/nts/cookie.h"
#include "common/nts/ntp_fields.h"

namespace mdl::nts {

// The shortest Unique Identifier body a request may carry.
inline constexpr size_t kMinUniqueIdLength = 32;
// The nonce length of the authenticators made here.
inline constexpr size_t kNonceLength = 16;

enum class NtsVerdict : uint8_t {
  kPlain,      // no cookie and no authenticator field: not an authenticated request
  kAuthentic,  // cookie opened, authenticator checked: answer with BuildNtsReply
  kNak,        // well formed, but its cookie or authenticator fails: answer with BuildNtsNak
  kDrop,       // malformed (no usable Unique Identifier, fields missing or repeated): no answer
};

struct NtsServerRequest {
  NtsVerdict verdict = NtsVerdict::kPlain;
  std::span<const uint8_t> unique_id;  // into the request (kAuthentic, kNak)
  SessionKeys keys;                    // from the cookie (kAuthentic)
  size_t cookies_wanted = 0;           // the cookie and every placeholder of its length (kAuthentic)
};

// Whether `datagram` carries extension fields with a cookie or an
// authenticator: an authenticated request, well formed or not (no crypto).
bool LooksLikeNtsRequest(std::span<const uint8_t> datagram);

// Reads a datagram longer than the 48-byte header whose header is a client
// request. Fields after the authenticator are not authenticated and ignored.
NtsServerRequest ReadNtsRequest(std::span<const uint8_t> datagram, const CookieKeySet& keys);

// The authenticated reply: `header` (final, transmit stamp included), the
// request's Unique Identifier and an authenticator sealing, under the S2C
// key, as many fresh cookies (made with `cookie_key`) as were wanted and fit
// in `max_size` bytes (the request's length: never larger). False when
// sealing failed or not even the fields without cookies fit.
bool BuildNtsReply(std::span<const uint8_t, kNtpHeaderLength> header, const NtsServerRequest& request,
                   const CookieKey& cookie_key, size_t max_size, std::vector<uint8_t>* out);

// The NTS NAK: a Kiss-o'-Death "NTSN" (leap 3, stratum 0, the request's
// version and poll, its transmit stamp as origin, receive and transmit) with
// the request's Unique Identifier and nothing else.
void BuildNtsNak(std::span<const uint8_t, kNtpHeaderLength> request, std::span<const uint8_t> unique_id,
                 std::vector<uint8_t>* out);

// --- the client side

// A request: `header`, the Unique Identifier, the cookie, `placeholders`
// placeholders of the cookie's length, and an authenticator (C2S key, no
// encrypted fields). Empty when sealing failed.
std::vector<uint8_t> BuildNtsRequest(std::span<const uint8_t, kNtpHeaderLength> header,
                                     std::span<const uint8_t> unique_id, std::span<const uint8_t> cookie,
                                     size_t placeholders, const SessionKeys& keys);

struct NtsReply {
  std::vector<std::vector<uint8_t>> cookies;
};
// The cookies of an authentic reply to the request with `unique_id`;
// nullopt when it is not authentic: never use such a reply.
std::optional<NtsReply> VerifyNtsReply(std::span<const uint8_t> reply, std::span<const uint8_t> unique_id,
                                       const SessionKeys& keys);

// Whether `reply` is an NTS NAK to the request with `unique_id` (a NAK is
// not authenticated: one without the request's identifier is ignored).
bool IsNtsNak(std::span<const uint8_t> reply, std::span<const uint8_t> unique_id);

}  // namespace mdl::nts
