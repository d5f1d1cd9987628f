#include "common/nts/ntp_auth.h"

#include <algorithm>
#include <array>

#include "common/nts/nonce.h"

namespace mdl::nts {
namespace {

size_t Pad4(size_t n) { return (n + 3) / 4 * 4; }

uint16_t Be16(std::span<const uint8_t> b, size_t at) { return static_cast<uint16_t>(b[at] << 8 | b[at + 1]); }

struct Authenticator {
  std::span<const uint8_t> nonce, sealed;
};

// The body of an authenticator: nonce length (2), ciphertext length (2),
// nonce and ciphertext each padded to 4, then padding; the nonce and the
// padding after everything together at least 16 bytes.
std::optional<Authenticator> ReadAuthenticator(std::span<const uint8_t> body) {
  if (body.size() < 4) return std::nullopt;
  const size_t nonce_length = Be16(body, 0), sealed_length = Be16(body, 2);
  if (nonce_length == 0 || sealed_length < kAeadTagLength) return std::nullopt;
  const size_t nonce_room = Pad4(nonce_length), sealed_room = Pad4(sealed_length);
  if (4 + nonce_room + sealed_room > body.size()) return std::nullopt;
  const size_t padding = body.size() - 4 - nonce_room - sealed_room;
  if (nonce_room + padding < 16) return std::nullopt;
  return Authenticator{body.subspan(4, nonce_length), body.subspan(4 + nonce_room, sealed_length)};
}

void AppendAuthenticator(std::vector<uint8_t>* out, std::span<const uint8_t> nonce,
                         std::span<const uint8_t> sealed) {
  const size_t body = 4 + Pad4(nonce.size()) + Pad4(sealed.size());
  const size_t length = 4 + body;
  const std::array<uint8_t, 8> head = {static_cast<uint8_t>(kFieldAuthenticator >> 8),
                                       static_cast<uint8_t>(kFieldAuthenticator),
                                       static_cast<uint8_t>(length >> 8),
                                       static_cast<uint8_t>(length),
                                       static_cast<uint8_t>(nonce.size() >> 8),
                                       static_cast<uint8_t>(nonce.size()),
                                       static_cast<uint8_t>(sealed.size() >> 8),
                                       static_cast<uint8_t>(sealed.size())};
  out->insert(out->end(), head.begin(), head.end());
  out->insert(out->end(), nonce.begin(), nonce.end());
  out->resize(out->size() + Pad4(nonce.size()) - nonce.size(), 0);
  out->insert(out->end(), sealed.begin(), sealed.end());
  out->resize(out->size() + Pad4(sealed.size()) - sealed.size(), 0);
}

// The authenticator's field length for a `sealed_length` ciphertext.
size_t AuthenticatorLength(size_t sealed_length) { return 8 + kNonceLength + Pad4(sealed_length); }

bool SameBytes(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

}  // namespace

bool LooksLikeNtsRequest(std::span<const uint8_t> datagram) {
  ExtensionFields fields;
  if (datagram.size() <= kNtpHeaderLength || !ParseExtensionFields(datagram, kNtpHeaderLength, &fields)) {
    return false;
  }
  return std::any_of(fields.begin(), fields.end(), [](const ExtensionField& f) {
    return f.type == kFieldCookie || f.type == kFieldAuthenticator;
  });
}

NtsServerRequest ReadNtsRequest(std::span<const uint8_t> datagram, const CookieKeySet& keys) {
  NtsServerRequest r;
  ExtensionFields fields;
  if (datagram.size() <= kNtpHeaderLength || !ParseExtensionFields(datagram, kNtpHeaderLength, &fields)) {
    return r;
  }
  const ExtensionField *uid = nullptr, *cookie = nullptr, *auth = nullptr;
  int uids = 0, cookies = 0;
  std::array<size_t, kMaxExtensionFields> placeholder_lengths{};
  size_t placeholders = 0;
  for (const ExtensionField& f : fields) {
    if (f.type == kFieldAuthenticator) {
      auth = &f;
      break;  // what follows is not authenticated
    }
    if (f.type == kFieldUniqueIdentifier) ++uids, uid = &f;
    if (f.type == kFieldCookie) ++cookies, cookie = &f;
    if (f.type == kFieldCookiePlaceholder) placeholder_lengths[placeholders++] = f.body.size();
  }
  if (cookie == nullptr && auth == nullptr) return r;
  r.verdict = NtsVerdict::kDrop;
  if (uids != 1 || uid->body.size() < kMinUniqueIdLength || cookies != 1 || auth == nullptr) return r;
  r.unique_id = uid->body;

  r.verdict = NtsVerdict::kNak;
  const auto parts = ReadAuthenticator(auth->body);
  if (!parts) return r;
  auto session = OpenCookie(keys, cookie->body);
  if (!session) return r;
  std::vector<uint8_t> plain;
  if (!AeadOpen(session->aead, session->c2s, parts->nonce, datagram.first(auth->offset), parts->sealed,
                &plain)) {
    return r;
  }
  // Encrypted fields: placeholders there count too; anything else is ignored.
  ExtensionFields inner;
  if (!ParseExtensionFields(plain, 0, &inner)) {
    r.verdict = NtsVerdict::kDrop;
    return r;
  }
  for (const ExtensionField& f : inner) {
    if (f.type == kFieldCookiePlaceholder && placeholders < placeholder_lengths.size()) {
      placeholder_lengths[placeholders++] = f.body.size();
    }
  }
  r.cookies_wanted = 1;
  for (size_t i = 0; i < placeholders; ++i) {
    if (placeholder_lengths[i] == cookie->body.size()) ++r.cookies_wanted;
  }
  r.keys = std::move(*session);
  r.verdict = NtsVerdict::kAuthentic;
  return r;
}

bool BuildNtsReply(std::span<const uint8_t, kNtpHeaderLength> header, const NtsServerRequest& request,
                   const CookieKey& cookie_key, size_t max_size, std::vector<uint8_t>* out) {
  if (request.verdict != NtsVerdict::kAuthentic) return false;
  out->clear();
  out->reserve(max_size);
  out->insert(out->end(), header.begin(), header.end());
  AppendExtensionField(out, kFieldUniqueIdentifier, request.unique_id);
  const size_t cookie_length = CookieLength(request.keys.aead);
  const size_t cookie_field = ExtensionFieldLength(cookie_length);
  const size_t fixed = out->size() + AuthenticatorLength(kAeadTagLength);
  if (fixed > max_size) return false;
  const size_t count = std::min(request.cookies_wanted, (max_size - fixed) / cookie_field);

  // This thread's buffers: no allocation per reply once grown.
  thread_local std::vector<uint8_t> plain, sealed;
  plain.clear();
  for (size_t i = 0; i < count; ++i) {
    const std::array<uint8_t, 4> head = {
        static_cast<uint8_t>(kFieldCookie >> 8), static_cast<uint8_t>(kFieldCookie),
        static_cast<uint8_t>(cookie_field >> 8), static_cast<uint8_t>(cookie_field)};
    plain.insert(plain.end(), head.begin(), head.end());
    if (!AppendCookie(cookie_key, request.keys, &plain)) return false;
    plain.resize(plain.size() + cookie_field - 4 - cookie_length, 0);
  }
  std::array<uint8_t, kNonceLength> nonce;
  if (!FillNonce(nonce)) return false;
  if (!AeadSeal(request.keys.aead, request.keys.s2c, nonce, *out, plain, &sealed)) return false;
  AppendAuthenticator(out, nonce, sealed);
  return out->size() <= max_size;
}

void BuildNtsNak(std::span<const uint8_t, kNtpHeaderLength> request, std::span<const uint8_t> unique_id,
                 std::vector<uint8_t>* out) {
  out->assign(kNtpHeaderLength, 0);
  unsigned version = (request[0] >> 3) & 7u;
  if (version < 1 || version > 4) version = 4;
  (*out)[0] = static_cast<uint8_t>(3u << 6 | version << 3 | 4u);
  (*out)[1] = 0;  // stratum 0: a kiss code in the reference id
  (*out)[2] = request[2];
  (*out)[3] = 0xEF;  // 2^-17 s
  constexpr std::array<uint8_t, 4> kCode = {'N', 'T', 'S', 'N'};
  std::copy(kCode.begin(), kCode.end(), out->begin() + 12);
  for (size_t at : {size_t{24}, size_t{32}, size_t{40}}) {
    std::copy(request.begin() + 40, request.end(), out->begin() + static_cast<std::ptrdiff_t>(at));
  }
  AppendExtensionField(out, kFieldUniqueIdentifier, unique_id);
}

std::vector<uint8_t> BuildNtsRequest(std::span<const uint8_t, kNtpHeaderLength> header,
                                     std::span<const uint8_t> unique_id, std::span<const uint8_t> cookie,
                                     size_t placeholders, const SessionKeys& keys) {
  std::vector<uint8_t> out(header.begin(), header.end());
  AppendExtensionField(&out, kFieldUniqueIdentifier, unique_id);
  AppendExtensionField(&out, kFieldCookie, cookie);
  const std::vector<uint8_t> zeros(cookie.size(), 0);
  for (size_t i = 0; i < placeholders; ++i) AppendExtensionField(&out, kFieldCookiePlaceholder, zeros);
  std::array<uint8_t, kNonceLength> nonce;
  std::vector<uint8_t> sealed;
  if (!FillNonce(nonce) || !AeadSeal(keys.aead, keys.c2s, nonce, out, {}, &sealed)) return {};
  AppendAuthenticator(&out, nonce, sealed);
  return out;
}

std::optional<NtsReply> VerifyNtsReply(std::span<const uint8_t> reply, std::span<const uint8_t> unique_id,
                                       const SessionKeys& keys) {
  ExtensionFields fields;
  if (reply.size() <= kNtpHeaderLength || !ParseExtensionFields(reply, kNtpHeaderLength, &fields)) {
    return std::nullopt;
  }
  const ExtensionField *uid = nullptr, *auth = nullptr;
  int uids = 0;
  for (const ExtensionField& f : fields) {
    if (f.type == kFieldAuthenticator) {
      auth = &f;
      break;
    }
    if (f.type == kFieldUniqueIdentifier) ++uids, uid = &f;
  }
  if (auth == nullptr || uids != 1 || !SameBytes(uid->body, unique_id)) return std::nullopt;
  const auto parts = ReadAuthenticator(auth->body);
  if (!parts) return std::nullopt;
  std::vector<uint8_t> plain;
  if (!AeadOpen(keys.aead, keys.s2c, parts->nonce, reply.first(auth->offset), parts->sealed, &plain)) {
    return std::nullopt;
  }
  ExtensionFields inner;
  if (!ParseExtensionFields(plain, 0, &inner)) return std::nullopt;
  NtsReply out;
  for (const ExtensionField& f : inner) {
    if (f.type == kFieldCookie && !f.body.empty()) out.cookies.emplace_back(f.body.begin(), f.body.end());
  }
  return out;
}

bool IsNtsNak(std::span<const uint8_t> reply, std::span<const uint8_t> unique_id) {
  constexpr std::array<uint8_t, 4> kCode = {'N', 'T', 'S', 'N'};
  ExtensionFields fields;
  if (reply.size() <= kNtpHeaderLength || reply[1] != 0 ||
      !std::equal(kCode.begin(), kCode.end(), reply.begin() + 12)) {
    return false;
  }
  if (!ParseExtensionFields(reply, kNtpHeaderLength, &fields)) return false;
  return std::any_of(fields.begin(), fields.end(), [&](const ExtensionField& f) {
    return f.type == kFieldUniqueIdentifier && SameBytes(f.body, unique_id);
  });
}

}  // namespace mdl::nts
