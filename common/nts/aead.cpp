// AES-SIV-CMAC through OpenSSL 3 (the "AES-128-SIV"/"AES-256-SIV" ciphers):
// each EVP update without an output buffer adds one associated-data component.
#include "common/nts/aead.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <array>

namespace mdl::nts {
namespace {

// The fetched ciphers, once per process (null when the library lacks one).
struct Ciphers {
  EVP_CIPHER* siv256 = EVP_CIPHER_fetch(nullptr, "AES-128-SIV", nullptr);
  EVP_CIPHER* siv512 = EVP_CIPHER_fetch(nullptr, "AES-256-SIV", nullptr);
  ~Ciphers() {
    EVP_CIPHER_free(siv256);
    EVP_CIPHER_free(siv512);
  }
};

const EVP_CIPHER* CipherFor(AeadId id) {
  static const Ciphers ciphers;
  switch (id) {
    case AeadId::kAesSivCmac256:
      return ciphers.siv256;
    case AeadId::kAesSivCmac512:
      return ciphers.siv512;
  }
  return nullptr;
}

// One context per thread, set up afresh for every operation.
struct Context {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  ~Context() { EVP_CIPHER_CTX_free(ctx); }
};

EVP_CIPHER_CTX* ThreadContext() {
  thread_local Context context;
  return context.ctx;
}

// AES-CMAC under the first half of a SIV key (OpenSSL 3.0's SIV cipher
// cannot finish without plaintext, so the empty case is done here).
struct Cmac {
  EVP_MAC* mac = EVP_MAC_fetch(nullptr, "CMAC", nullptr);
  ~Cmac() { EVP_MAC_free(mac); }
};

using Block = std::array<uint8_t, 16>;

bool CmacOf(EVP_MAC_CTX* ctx, std::span<const uint8_t> data, Block* out) {
  size_t n = 0;
  return EVP_MAC_init(ctx, nullptr, 0, nullptr) == 1 && EVP_MAC_update(ctx, data.data(), data.size()) == 1 &&
         EVP_MAC_final(ctx, out->data(), &n, out->size()) == 1 && n == out->size();
}

void Double(Block* b) {
  const uint8_t carry = (*b)[0] & 0x80;
  for (size_t i = 0; i < 15; ++i) (*b)[i] = static_cast<uint8_t>(((*b)[i] << 1) | ((*b)[i + 1] >> 7));
  (*b)[15] = static_cast<uint8_t>((*b)[15] << 1);
  if (carry) (*b)[15] ^= 0x87;
}

// The synthetic IV of an empty plaintext: S2V over the components and "".
bool EmptySiv(AeadId id, std::span<const uint8_t> key, std::span<const std::span<const uint8_t>> ad,
              Block* tag) {
  static const Cmac cmac;
  if (cmac.mac == nullptr || key.size() != AeadKeyLength(id)) return false;
  EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(cmac.mac);
  if (ctx == nullptr) return false;
  char cipher_name[] = "AES-128-CBC";
  char cipher_name_256[] = "AES-256-CBC";
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_CIPHER,
                                       id == AeadId::kAesSivCmac256 ? cipher_name : cipher_name_256, 0),
      OSSL_PARAM_construct_end()};
  bool ok =
      EVP_MAC_CTX_set_params(ctx, params) == 1 && EVP_MAC_init(ctx, key.data(), key.size() / 2, nullptr) == 1;
  Block d{}, block{};
  ok = ok && CmacOf(ctx, d, &d);
  for (const auto& part : ad) {
    if (!ok) break;
    ok = CmacOf(ctx, part, &block);
    Double(&d);
    for (size_t i = 0; i < 16; ++i) d[i] ^= block[i];
  }
  if (ok) {
    Double(&d);
    d[0] ^= 0x80;
    ok = CmacOf(ctx, d, tag);
  }
  EVP_MAC_CTX_free(ctx);
  return ok;
}

// Sets up `ctx` for `id` and feeds the associated data; false on any failure.
bool Start(EVP_CIPHER_CTX* ctx, AeadId id, std::span<const uint8_t> key,
           std::span<const std::span<const uint8_t>> ad, int encrypt) {
  const EVP_CIPHER* cipher = CipherFor(id);
  if (ctx == nullptr || cipher == nullptr || key.size() != AeadKeyLength(id)) return false;
  if (EVP_CipherInit_ex2(ctx, cipher, key.data(), nullptr, encrypt, nullptr) != 1) return false;
  for (const auto& part : ad) {
    int n = 0;
    if (EVP_CipherUpdate(ctx, nullptr, &n, part.data(), static_cast<int>(part.size())) != 1) return false;
  }
  return true;
}

}  // namespace

size_t AeadKeyLength(AeadId id) {
  switch (id) {
    case AeadId::kAesSivCmac256:
      return 32;
    case AeadId::kAesSivCmac512:
      return 64;
  }
  return 0;
}

bool AeadSupported(uint16_t id) {
  const auto aead = static_cast<AeadId>(id);
  return AeadKeyLength(aead) != 0 && CipherFor(aead) != nullptr;
}

std::vector<AeadId> SupportedAeads() {
  std::vector<AeadId> out;
  for (AeadId id : {AeadId::kAesSivCmac256, AeadId::kAesSivCmac512}) {
    if (CipherFor(id) != nullptr) out.push_back(id);
  }
  return out;
}

std::string AeadUnavailableReason() {
  return SupportedAeads().empty() ? "the crypto library offers no AES-SIV-CMAC" : "";
}

bool AeadSealVector(AeadId id, std::span<const uint8_t> key, std::span<const std::span<const uint8_t>> ad,
                    std::span<const uint8_t> plaintext, std::vector<uint8_t>* out) {
  if (plaintext.empty()) {
    Block tag;
    if (CipherFor(id) == nullptr || !EmptySiv(id, key, ad, &tag)) return false;
    out->assign(tag.begin(), tag.end());
    return true;
  }
  EVP_CIPHER_CTX* ctx = ThreadContext();
  if (!Start(ctx, id, key, ad, 1)) return false;
  out->resize(kAeadTagLength + plaintext.size());
  // SIV needs the whole plaintext in one update.
  int n = 0;
  if (EVP_CipherUpdate(ctx, out->data() + kAeadTagLength, &n, plaintext.data(),
                       static_cast<int>(plaintext.size())) != 1) {
    return false;
  }
  int tail = 0;
  if (EVP_CipherFinal_ex(ctx, out->data() + kAeadTagLength + n, &tail) != 1) return false;
  return EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, static_cast<int>(kAeadTagLength), out->data()) == 1;
}

bool AeadOpenVector(AeadId id, std::span<const uint8_t> key, std::span<const std::span<const uint8_t>> ad,
                    std::span<const uint8_t> sealed, std::vector<uint8_t>* plaintext) {
  if (sealed.size() < kAeadTagLength) return false;
  if (sealed.size() == kAeadTagLength) {
    Block tag;
    if (CipherFor(id) == nullptr || !EmptySiv(id, key, ad, &tag)) return false;
    plaintext->clear();
    return CRYPTO_memcmp(tag.data(), sealed.data(), tag.size()) == 0;
  }
  EVP_CIPHER_CTX* ctx = ThreadContext();
  if (!Start(ctx, id, key, ad, 0)) return false;
  std::array<uint8_t, kAeadTagLength> tag;
  std::copy(sealed.begin(), sealed.begin() + kAeadTagLength, tag.begin());
  if (EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, static_cast<int>(tag.size()), tag.data()) != 1) {
    return false;
  }
  const auto body = sealed.subspan(kAeadTagLength);
  plaintext->resize(body.size());
  std::array<uint8_t, 1> sink;
  int n = 0;
  if (EVP_CipherUpdate(ctx, plaintext->data(), &n, body.data(), static_cast<int>(body.size())) != 1) {
    return false;
  }
  int tail = 0;
  return EVP_CipherFinal_ex(ctx, sink.data(), &tail) == 1;
}

bool AeadSeal(AeadId id, std::span<const uint8_t> key, std::span<const uint8_t> nonce,
              std::span<const uint8_t> ad, std::span<const uint8_t> plaintext, std::vector<uint8_t>* out) {
  const std::span<const uint8_t> parts[] = {ad, nonce};
  return AeadSealVector(id, key, std::span(parts, nonce.empty() ? 1 : 2), plaintext, out);
}

bool AeadOpen(AeadId id, std::span<const uint8_t> key, std::span<const uint8_t> nonce,
              std::span<const uint8_t> ad, std::span<const uint8_t> sealed, std::vector<uint8_t>* plaintext) {
  const std::span<const uint8_t> parts[] = {ad, nonce};
  return AeadOpenVector(id, key, std::span(parts, nonce.empty() ? 1 : 2), sealed, plaintext);
}

}  // namespace mdl::nts
