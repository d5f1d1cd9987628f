#include "common/nts/nonce.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>

#include "common/clock/secure_random.h"

namespace mdl::nts {
namespace {

// Bumped in every child after fork(): a generator whose key belongs to an
// older generation reseeds, so parent and child never share output.
std::atomic<uint64_t> fork_generation{0};

void OnFork() { fork_generation.fetch_add(1, std::memory_order_relaxed); }

uint64_t ForkGeneration() {
  static const bool registered = pthread_atfork(nullptr, nullptr, &OnFork) == 0;
  (void)registered;
  return fork_generation.load(std::memory_order_relaxed);
}

EVP_CIPHER* ChaCha20() {
  static EVP_CIPHER* const cipher = EVP_CIPHER_fetch(nullptr, "ChaCha20", nullptr);
  return cipher;
}

}  // namespace

NonceGenerator::NonceGenerator(std::span<const uint8_t, 32> seed) {
  std::copy(seed.begin(), seed.end(), key_.begin());
  seeded_ = true;
  generation_ = ForkGeneration();
}

NonceGenerator::~NonceGenerator() {
  EVP_CIPHER_CTX_free(static_cast<EVP_CIPHER_CTX*>(ctx_));
  OPENSSL_cleanse(key_.data(), key_.size());
  OPENSSL_cleanse(block_.data(), block_.size());
}

bool NonceGenerator::Reseed() {
  if (!FillSecureRandom(key_)) return false;
  OPENSSL_cleanse(block_.data(), block_.size());
  next_ = kBlock;
  since_seed_ = 0;
  seeded_ = true;
  ++reseeds_;
  return true;
}

bool NonceGenerator::Refill() {
  if (ChaCha20() == nullptr) return false;
  auto* ctx = static_cast<EVP_CIPHER_CTX*>(ctx_);
  if (ctx == nullptr) {
    if ((ctx = EVP_CIPHER_CTX_new()) == nullptr) return false;
    ctx_ = ctx;
  }
  // Every key is used once, so a zero counter and nonce are enough.
  constexpr std::array<uint8_t, 16> kIv{};
  std::array<uint8_t, 32 + kBlock> stream{};
  int n = 0;
  const bool ok =
      EVP_EncryptInit_ex2(ctx, ChaCha20(), key_.data(), kIv.data(), nullptr) == 1 &&
      EVP_EncryptUpdate(ctx, stream.data(), &n, stream.data(), static_cast<int>(stream.size())) == 1 &&
      static_cast<size_t>(n) == stream.size();
  if (ok) {
    std::copy(stream.begin(), stream.begin() + 32, key_.begin());
    std::copy(stream.begin() + 32, stream.end(), block_.begin());
    next_ = 0;
  }
  OPENSSL_cleanse(stream.data(), stream.size());
  return ok;
}

bool NonceGenerator::Fill(std::span<uint8_t> out) {
  const uint64_t generation = ForkGeneration();
  if (!seeded_ || generation != generation_ || since_seed_ >= kNonceReseedBytes) {
    if (!Reseed()) return false;
    generation_ = generation;
  }
  for (size_t done = 0; done < out.size();) {
    if (next_ == kBlock && !Refill()) return false;
    const size_t n = std::min(out.size() - done, kBlock - next_);
    std::copy(block_.begin() + next_, block_.begin() + next_ + n, out.begin() + done);
    OPENSSL_cleanse(block_.data() + next_, n);
    next_ += n;
    done += n;
  }
  since_seed_ += out.size();
  return true;
}

bool FillNonce(std::span<uint8_t> out) {
  thread_local NonceGenerator generator;
  return generator.Fill(out);
}

}  // namespace mdl::nts
