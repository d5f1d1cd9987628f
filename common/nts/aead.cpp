// AES-SIV-CMAC (S2V and CTR) on AES contexts that each thread keeps: the
// key is set per operation, nothing is fetched or allocated per packet.
// (OpenSSL 3.0's own SIV cipher fetches its CBC and CTR ciphers at every
// key set, which cost several times the AES work for a short message.)
#include "common/nts/aead.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <array>
#include <cstring>

namespace mdl::nts {
namespace {

// The AES ciphers, fetched once per process (null when the library lacks one).
struct Ciphers {
  EVP_CIPHER* cbc128 = EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr);
  EVP_CIPHER* ctr128 = EVP_CIPHER_fetch(nullptr, "AES-128-CTR", nullptr);
  EVP_CIPHER* cbc256 = EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr);
  EVP_CIPHER* ctr256 = EVP_CIPHER_fetch(nullptr, "AES-256-CTR", nullptr);
  ~Ciphers() {
    for (EVP_CIPHER* c : {cbc128, ctr128, cbc256, ctr256}) EVP_CIPHER_free(c);
  }
};

const Ciphers& AllCiphers() {
  static const Ciphers ciphers;
  return ciphers;
}

// 0 for AES-SIV-CMAC-256 (AES-128 halves), 1 for -512 (AES-256), -1 else.
int Variant(AeadId id) {
  switch (id) {
    case AeadId::kAesSivCmac256:
      return 0;
    case AeadId::kAesSivCmac512:
      return 1;
  }
  return -1;
}

bool Available(AeadId id) {
  const Ciphers& c = AllCiphers();
  const int v = Variant(id);
  return v == 0 ? c.cbc128 && c.ctr128 : v == 1 && c.cbc256 && c.ctr256;
}

using Block = std::array<uint8_t, 16>;
constexpr Block kZeroBlock{};

void Double(Block* b) {
  const uint8_t carry = (*b)[0] & 0x80;
  for (size_t i = 0; i < 15; ++i) (*b)[i] = static_cast<uint8_t>(((*b)[i] << 1) | ((*b)[i + 1] >> 7));
  (*b)[15] = static_cast<uint8_t>((*b)[15] << 1);
  if (carry) (*b)[15] ^= 0x87;
}

void Xor(Block* a, const uint8_t* b) {
  for (size_t i = 0; i < 16; ++i) (*a)[i] ^= b[i];
}

// One thread's contexts: a CBC context for CMAC and a CTR context per
// variant, created on first use and re-keyed per operation; scratch space
// wiped after each use.
class Siv {
 public:
  ~Siv() {
    for (int v = 0; v < 2; ++v) {
      EVP_CIPHER_CTX_free(cbc_[v]);
      EVP_CIPHER_CTX_free(ctr_[v]);
    }
  }

  // Seals (encrypt) or opens; `key` has the variant's length.
  bool Seal(int v, std::span<const uint8_t> key, std::span<const std::span<const uint8_t>> ad,
            std::span<const uint8_t> plaintext, std::vector<uint8_t>* out) {
    Block tag;
    if (!S2v(v, key.first(key.size() / 2), ad, plaintext, &tag)) return false;
    out->resize(kAeadTagLength + plaintext.size());
    std::copy(tag.begin(), tag.end(), out->begin());
    return Ctr(v, key.subspan(key.size() / 2), tag, plaintext, out->data() + kAeadTagLength);
  }

  bool Open(int v, std::span<const uint8_t> key, std::span<const std::span<const uint8_t>> ad,
            std::span<const uint8_t> sealed, std::vector<uint8_t>* plaintext) {
    Block tag, check;
    std::copy(sealed.begin(), sealed.begin() + kAeadTagLength, tag.begin());
    const auto body = sealed.subspan(kAeadTagLength);
    plaintext->resize(body.size());
    if (!Ctr(v, key.subspan(key.size() / 2), tag, body, plaintext->data())) return false;
    if (S2v(v, key.first(key.size() / 2), ad, *plaintext, &check) &&
        CRYPTO_memcmp(tag.data(), check.data(), tag.size()) == 0) {
      return true;
    }
    // Nothing unauthenticated is left for a caller to read by mistake.
    OPENSSL_cleanse(plaintext->data(), plaintext->size());
    plaintext->clear();
    return false;
  }

 private:
  // Sets the CMAC key: the CBC context keyed, the subkeys derived.
  bool CmacKey(int v, std::span<const uint8_t> key) {
    const EVP_CIPHER* cipher = v == 0 ? AllCiphers().cbc128 : AllCiphers().cbc256;
    if (cbc_[v] == nullptr && (cbc_[v] = EVP_CIPHER_CTX_new()) == nullptr) return false;
    // The cipher only the first time: given again, it would be set up anew.
    const bool first = EVP_CIPHER_CTX_get0_cipher(cbc_[v]) == nullptr;
    if (EVP_EncryptInit_ex2(cbc_[v], first ? cipher : nullptr, key.data(), kZeroBlock.data(), nullptr) != 1) {
      return false;
    }
    chain_ = kZeroBlock;
    Block l = kZeroBlock;
    if (!CbcLast(v, l, &l)) return false;
    k1_ = l;
    Double(&k1_);
    k2_ = k1_;
    Double(&k2_);
    OPENSSL_cleanse(l.data(), l.size());
    return true;
  }

  // The last block of the CBC encryption (zero IV) of `data`, a non-empty
  // multiple of 16 bytes (changed in place). The context is not set up
  // again for the zero IV: it chains on from its last output block, which
  // xored into the first block cancels out.
  bool CbcLast(int v, std::span<uint8_t> data, Block* out) {
    if (scratch_.size() < data.size()) scratch_.resize(data.size());
    for (size_t i = 0; i < 16; ++i) data[i] ^= chain_[i];
    int n = 0;
    const bool ok =
        EVP_EncryptUpdate(cbc_[v], scratch_.data(), &n, data.data(), static_cast<int>(data.size())) == 1 &&
        static_cast<size_t>(n) == data.size();
    if (ok) std::copy(scratch_.begin() + n - 16, scratch_.begin() + n, chain_.begin());
    *out = chain_;
    OPENSSL_cleanse(scratch_.data(), data.size());
    return ok;
  }

  // AES-CMAC of `message` under the key CmacKey set; `last` (when given)
  // is xored into the message's last 16 bytes first.
  bool Cmac(int v, std::span<const uint8_t> message, Block* out, const Block* last = nullptr) {
    const size_t full =
        message.empty() || message.size() % 16 != 0 ? (message.size() / 16 + 1) * 16 : message.size();
    if (input_.size() < full) input_.resize(full);
    std::copy(message.begin(), message.end(), input_.begin());
    if (last != nullptr) {
      for (size_t i = 0; i < 16; ++i) input_[message.size() - 16 + i] ^= (*last)[i];
    }
    const Block& subkey = full == message.size() ? k1_ : k2_;
    if (full != message.size()) {
      input_[message.size()] = 0x80;
      std::fill(input_.begin() + static_cast<std::ptrdiff_t>(message.size()) + 1,
                input_.begin() + static_cast<std::ptrdiff_t>(full), 0);
    }
    for (size_t i = 0; i < 16; ++i) input_[full - 16 + i] ^= subkey[i];
    const bool ok = CbcLast(v, std::span(input_.data(), full), out);
    OPENSSL_cleanse(input_.data(), full);
    return ok;
  }

  // The synthetic IV: S2V over the associated-data components and the plaintext.
  bool S2v(int v, std::span<const uint8_t> key, std::span<const std::span<const uint8_t>> ad,
           std::span<const uint8_t> plaintext, Block* tag) {
    Block d, block;
    if (!CmacKey(v, key) || !Cmac(v, kZeroBlock, &d)) return false;
    for (const auto& part : ad) {
      if (!Cmac(v, part, &block)) return false;
      Double(&d);
      Xor(&d, block.data());
    }
    if (plaintext.size() >= 16) return Cmac(v, plaintext, tag, &d);
    Double(&d);
    Block padded{};
    std::copy(plaintext.begin(), plaintext.end(), padded.begin());
    padded[plaintext.size()] = 0x80;
    Xor(&d, padded.data());
    return Cmac(v, d, tag);
  }

  // AES-CTR under `key` from the synthetic IV with its two marked bits cleared.
  bool Ctr(int v, std::span<const uint8_t> key, const Block& siv, std::span<const uint8_t> in, uint8_t* out) {
    if (in.empty()) return true;
    Block q = siv;
    q[8] &= 0x7f;
    q[12] &= 0x7f;
    const EVP_CIPHER* cipher = v == 0 ? AllCiphers().ctr128 : AllCiphers().ctr256;
    if (ctr_[v] == nullptr && (ctr_[v] = EVP_CIPHER_CTX_new()) == nullptr) return false;
    const bool first = EVP_CIPHER_CTX_get0_cipher(ctr_[v]) == nullptr;
    int n = 0;
    return EVP_EncryptInit_ex2(ctr_[v], first ? cipher : nullptr, key.data(), q.data(), nullptr) == 1 &&
           EVP_EncryptUpdate(ctr_[v], out, &n, in.data(), static_cast<int>(in.size())) == 1 &&
           static_cast<size_t>(n) == in.size();
  }

  std::array<EVP_CIPHER_CTX*, 2> cbc_{}, ctr_{};
  Block k1_{}, k2_{};
  Block chain_{};  // the CBC context's last output block
  std::vector<uint8_t> input_, scratch_;
};

Siv& ThreadSiv() {
  thread_local Siv siv;
  return siv;
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
  return AeadKeyLength(aead) != 0 && Available(aead);
}

std::vector<AeadId> SupportedAeads() {
  std::vector<AeadId> out;
  for (AeadId id : {AeadId::kAesSivCmac256, AeadId::kAesSivCmac512}) {
    if (Available(id)) out.push_back(id);
  }
  return out;
}

std::string AeadUnavailableReason() {
  return SupportedAeads().empty() ? "the crypto library offers no AES-SIV-CMAC" : "";
}

bool AeadSealVector(AeadId id, std::span<const uint8_t> key, std::span<const std::span<const uint8_t>> ad,
                    std::span<const uint8_t> plaintext, std::vector<uint8_t>* out) {
  if (!Available(id) || key.size() != AeadKeyLength(id) || plaintext.size() > (1u << 30)) return false;
  return ThreadSiv().Seal(Variant(id), key, ad, plaintext, out);
}

bool AeadOpenVector(AeadId id, std::span<const uint8_t> key, std::span<const std::span<const uint8_t>> ad,
                    std::span<const uint8_t> sealed, std::vector<uint8_t>* plaintext) {
  if (!Available(id) || key.size() != AeadKeyLength(id) || sealed.size() < kAeadTagLength ||
      sealed.size() > (1u << 30)) {
    return false;
  }
  return ThreadSiv().Open(Variant(id), key, ad, sealed, plaintext);
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
