// AES-SIV-CMAC (S2V and CTR) on AES contexts that each thread keeps keyed
// for its last few keys; nothing is fetched or allocated per packet.
// (OpenSSL 3.0's own SIV cipher fetches its CBC and CTR ciphers at every
// key set, which cost several times the AES work for a short message.)
#include "common/nts/aead.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
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

// One thread's contexts. For each variant a few keyed slots, each holding a
// CBC context for CMAC (with its subkeys) and a CTR context set up for one
// key, most recently used first: the cookie key, used by every request,
// stays keyed while session keys come and go. Scratch space is wiped after
// each use, a slot's key material when the slot is taken for another key.
class Siv {
 public:
  static constexpr size_t kSlots = 4;

  ~Siv() {
    for (auto& slots : slots_) {
      for (Slot& s : slots) {
        EVP_CIPHER_CTX_free(s.cbc);
        EVP_CIPHER_CTX_free(s.ctr);
        OPENSSL_cleanse(&s.key, sizeof s.key);
        OPENSSL_cleanse(&s.k1, sizeof s.k1);
        OPENSSL_cleanse(&s.k2, sizeof s.k2);
      }
    }
  }

  // Seals (encrypt) or opens; `key` has the variant's length.
  bool Seal(int v, std::span<const uint8_t> key, std::span<const std::span<const uint8_t>> ad,
            std::span<const uint8_t> plaintext, std::vector<uint8_t>* out) {
    Slot* slot = Keyed(v, key);
    if (slot == nullptr) return false;
    Block tag;
    if (!S2v(*slot, ad, plaintext, &tag)) return false;
    out->resize(kAeadTagLength + plaintext.size());
    std::copy(tag.begin(), tag.end(), out->begin());
    return Ctr(*slot, tag, plaintext, out->data() + kAeadTagLength);
  }

  bool Open(int v, std::span<const uint8_t> key, std::span<const std::span<const uint8_t>> ad,
            std::span<const uint8_t> sealed, std::vector<uint8_t>* plaintext) {
    Slot* slot = Keyed(v, key);
    if (slot == nullptr) return false;
    Block tag, check;
    std::copy(sealed.begin(), sealed.begin() + kAeadTagLength, tag.begin());
    const auto body = sealed.subspan(kAeadTagLength);
    plaintext->resize(body.size());
    if (!Ctr(*slot, tag, body, plaintext->data())) return false;
    if (S2v(*slot, ad, *plaintext, &check) && CRYPTO_memcmp(tag.data(), check.data(), tag.size()) == 0) {
      return true;
    }
    // Nothing unauthenticated is left for a caller to read by mistake.
    OPENSSL_cleanse(plaintext->data(), plaintext->size());
    plaintext->clear();
    return false;
  }

 private:
  struct Slot {
    bool keyed = false;
    std::array<uint8_t, 64> key{};
    EVP_CIPHER_CTX *cbc = nullptr, *ctr = nullptr;
    Block k1{}, k2{};
    Block chain{};  // the CBC context's last output block
  };

  // The slot keyed with `key`, moved to the front; on a miss the least
  // recently used slot is keyed anew. Null when the library fails.
  Slot* Keyed(int v, std::span<const uint8_t> key) {
    auto& slots = slots_[v];
    size_t at = 0;
    while (at < kSlots &&
           !(slots[at].keyed && CRYPTO_memcmp(slots[at].key.data(), key.data(), key.size()) == 0)) {
      ++at;
    }
    if (at == kSlots) {
      at = kSlots - 1;
      if (!SetKey(v, key, &slots[at])) {
        slots[at].keyed = false;
        return nullptr;
      }
    }
    std::rotate(slots.begin(), slots.begin() + static_cast<std::ptrdiff_t>(at),
                slots.begin() + static_cast<std::ptrdiff_t>(at) + 1);
    return &slots[0];
  }

  // Keys a slot: the CBC context and the CMAC subkeys from the first half,
  // the CTR context from the second.
  bool SetKey(int v, std::span<const uint8_t> key, Slot* s) {
    const Ciphers& c = AllCiphers();
    if (s->cbc == nullptr && (s->cbc = EVP_CIPHER_CTX_new()) == nullptr) return false;
    if (s->ctr == nullptr && (s->ctr = EVP_CIPHER_CTX_new()) == nullptr) return false;
    // The cipher only the first time: given again, it would be set up anew.
    const bool first = EVP_CIPHER_CTX_get0_cipher(s->cbc) == nullptr;
    const auto half = key.size() / 2;
    if (EVP_EncryptInit_ex2(s->cbc, first ? (v == 0 ? c.cbc128 : c.cbc256) : nullptr, key.data(),
                            kZeroBlock.data(), nullptr) != 1 ||
        EVP_EncryptInit_ex2(s->ctr, first ? (v == 0 ? c.ctr128 : c.ctr256) : nullptr, key.data() + half,
                            kZeroBlock.data(), nullptr) != 1) {
      return false;
    }
    s->chain = kZeroBlock;
    Block l = kZeroBlock;
    if (!CbcLast(*s, l, &l)) return false;
    s->k1 = l;
    Double(&s->k1);
    s->k2 = s->k1;
    Double(&s->k2);
    OPENSSL_cleanse(l.data(), l.size());
    std::copy(key.begin(), key.end(), s->key.begin());
    s->keyed = true;
    return true;
  }

  // The last block of the CBC encryption (zero IV) of `data`, a non-empty
  // multiple of 16 bytes (changed in place). The context is not set up
  // again for the zero IV: it chains on from its last output block, which
  // xored into the first block cancels out.
  bool CbcLast(Slot& s, std::span<uint8_t> data, Block* out) {
    if (scratch_.size() < data.size()) scratch_.resize(data.size());
    for (size_t i = 0; i < 16; ++i) data[i] ^= s.chain[i];
    int n = 0;
    const bool ok =
        EVP_EncryptUpdate(s.cbc, scratch_.data(), &n, data.data(), static_cast<int>(data.size())) == 1 &&
        static_cast<size_t>(n) == data.size();
    if (ok) std::copy(scratch_.begin() + n - 16, scratch_.begin() + n, s.chain.begin());
    *out = s.chain;
    OPENSSL_cleanse(scratch_.data(), data.size());
    return ok;
  }

  // AES-CMAC of `message` under the slot's key; `last` (when given) is
  // xored into the message's last 16 bytes first.
  bool Cmac(Slot& s, std::span<const uint8_t> message, Block* out, const Block* last = nullptr) {
    const size_t full =
        message.empty() || message.size() % 16 != 0 ? (message.size() / 16 + 1) * 16 : message.size();
    if (input_.size() < full) input_.resize(full);
    std::copy(message.begin(), message.end(), input_.begin());
    if (last != nullptr) {
      for (size_t i = 0; i < 16; ++i) input_[message.size() - 16 + i] ^= (*last)[i];
    }
    const Block& subkey = full == message.size() ? s.k1 : s.k2;
    if (full != message.size()) {
      input_[message.size()] = 0x80;
      std::fill(input_.begin() + static_cast<std::ptrdiff_t>(message.size()) + 1,
                input_.begin() + static_cast<std::ptrdiff_t>(full), 0);
    }
    for (size_t i = 0; i < 16; ++i) input_[full - 16 + i] ^= subkey[i];
    const bool ok = CbcLast(s, std::span(input_.data(), full), out);
    OPENSSL_cleanse(input_.data(), full);
    return ok;
  }

  // The synthetic IV: S2V over the associated-data components and the plaintext.
  bool S2v(Slot& s, std::span<const std::span<const uint8_t>> ad, std::span<const uint8_t> plaintext,
           Block* tag) {
    Block d, block;
    if (!Cmac(s, kZeroBlock, &d)) return false;
    for (const auto& part : ad) {
      if (!Cmac(s, part, &block)) return false;
      Double(&d);
      Xor(&d, block.data());
    }
    if (plaintext.size() >= 16) return Cmac(s, plaintext, tag, &d);
    Double(&d);
    Block padded{};
    std::copy(plaintext.begin(), plaintext.end(), padded.begin());
    padded[plaintext.size()] = 0x80;
    Xor(&d, padded.data());
    return Cmac(s, d, tag);
  }

  // AES-CTR under the slot's key from the synthetic IV with its two marked
  // bits cleared; only the IV is set, the key schedule stays.
  bool Ctr(Slot& s, const Block& siv, std::span<const uint8_t> in, uint8_t* out) {
    if (in.empty()) return true;
    Block q = siv;
    q[8] &= 0x7f;
    q[12] &= 0x7f;
    int n = 0;
    return EVP_EncryptInit_ex2(s.ctr, nullptr, nullptr, q.data(), nullptr) == 1 &&
           EVP_EncryptUpdate(s.ctr, out, &n, in.data(), static_cast<int>(in.size())) == 1 &&
           static_cast<size_t>(n) == in.size();
  }

  std::array<std::array<Slot, kSlots>, 2> slots_{};
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
