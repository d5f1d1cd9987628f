// The nonce generator: the keystream it serves, fast key erasure, distinct
// outputs across threads and forks, and the reseed.
#include "common/nts/nonce.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <set>
#include <thread>
#include <vector>

namespace mdl::nts {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(Nonce, ServesChaCha20KeystreamAfterTheNextKey) {
  // ChaCha20 with a zero key, nonce and counter: the published first block.
  // The generator keeps bytes 0..31 as its next key and serves from byte 32.
  const std::array<uint8_t, 32> seed{};
  NonceGenerator gen(seed);
  Bytes first(16), second(16);
  ASSERT_TRUE(gen.Fill(first));
  ASSERT_TRUE(gen.Fill(second));
  EXPECT_EQ(first, (Bytes{0xda, 0x41, 0x59, 0x7c, 0x51, 0x57, 0x48, 0x8d, 0x77, 0x24, 0xe0, 0x3f, 0xb8, 0xd8,
                          0x4a, 0x37}));
  EXPECT_EQ(second, (Bytes{0x6a, 0x43, 0xb8, 0xf4, 0x15, 0x18, 0xa1, 0x1c, 0xc3, 0x87, 0xb6, 0x69, 0xb2, 0xee,
                           0x65, 0x86}));
  EXPECT_EQ(gen.reseeds(), 0u);
}

TEST(Nonce, SameSeedSameOutputAcrossRefillsAndPieceSizes) {
  std::array<uint8_t, 32> seed{};
  seed[0] = 7;
  NonceGenerator a(seed), b(seed);
  // One long read across several refills against many small ones.
  Bytes whole(3 * NonceGenerator::kBlock + 40);
  ASSERT_TRUE(a.Fill(whole));
  Bytes pieces;
  while (pieces.size() < whole.size()) {
    Bytes piece(std::min<size_t>(24, whole.size() - pieces.size()));
    ASSERT_TRUE(b.Fill(piece));
    pieces.insert(pieces.end(), piece.begin(), piece.end());
  }
  EXPECT_EQ(whole, pieces);
  // Each refill uses a new key: no block repeats the one before it.
  for (size_t at = NonceGenerator::kBlock; at + 16 <= whole.size(); at += NonceGenerator::kBlock) {
    EXPECT_FALSE(
        std::equal(whole.begin() + at, whole.begin() + at + 16, whole.begin() + at - NonceGenerator::kBlock));
  }
  seed[0] = 8;
  NonceGenerator c(seed);
  Bytes other(16);
  ASSERT_TRUE(c.Fill(other));
  EXPECT_FALSE(std::equal(other.begin(), other.end(), whole.begin()));
}

TEST(Nonce, ReseedsFromTheSystemAfterItsBudget) {
  const std::array<uint8_t, 32> seed{};
  NonceGenerator seeded(seed), reference(seed);
  Bytes chunk(4096), ref(4096);
  for (size_t served = 0; served < kNonceReseedBytes; served += chunk.size()) {
    ASSERT_TRUE(seeded.Fill(chunk));
    ASSERT_TRUE(reference.Fill(ref));
    ASSERT_EQ(chunk, ref);
  }
  EXPECT_EQ(seeded.reseeds(), 0u);
  ASSERT_TRUE(seeded.Fill(chunk));
  EXPECT_EQ(seeded.reseeds(), 1u);
  // Two generators from the same seed part ways once one takes a system key.
  ASSERT_TRUE(reference.Fill(ref));
  EXPECT_EQ(reference.reseeds(), 1u);
  EXPECT_NE(chunk, ref);
}

TEST(Nonce, DistinctAcrossCallsAndThreads) {
  std::set<Bytes> seen;
  auto draw = [](std::vector<Bytes>* out) {
    for (int i = 0; i < 2000; ++i) {
      Bytes n(16);
      if (!FillNonce(n)) return;
      out->push_back(n);
    }
  };
  std::vector<Bytes> mine, theirs;
  std::thread other(draw, &theirs);
  draw(&mine);
  other.join();
  ASSERT_EQ(mine.size(), 2000u);
  ASSERT_EQ(theirs.size(), 2000u);
  for (const auto* list : {&mine, &theirs}) seen.insert(list->begin(), list->end());
  EXPECT_EQ(seen.size(), 4000u);
}

TEST(Nonce, ChildAfterForkDoesNotRepeatTheParent) {
  Bytes warm(16);
  ASSERT_TRUE(FillNonce(warm));  // this thread's generator holds buffered output now
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    Bytes n(16);
    const bool ok = FillNonce(n);
    const ssize_t w = ok ? write(fds[1], n.data(), n.size()) : -1;
    _exit(w == 16 ? 0 : 1);
  }
  close(fds[1]);
  Bytes from_child(16);
  ssize_t got = 0;
  while (got < 16) {
    const ssize_t r = read(fds[0], from_child.data() + got, 16 - static_cast<size_t>(got));
    if (r <= 0) break;
    got += r;
  }
  close(fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_EQ(got, 16);
  Bytes parent(16);
  ASSERT_TRUE(FillNonce(parent));
  EXPECT_NE(from_child, parent);
}

}  // namespace
}  // namespace mdl::nts
