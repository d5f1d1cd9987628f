// AES-SIV-CMAC: the published test vectors, round trips, and tampering.
#include "common/nts/aead.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <string>
#include <vector>

#include "common/nts/cookie.h"

namespace mdl::nts {
namespace {

std::vector<uint8_t> Hex(std::string_view text) {
  std::vector<uint8_t> out;
  std::string digits;
  for (char c : text) {
    if (c != ' ') digits += c;
  }
  for (size_t i = 0; i + 1 < digits.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  }
  return out;
}

TEST(Aead, DeterministicVectorSealsAndOpens) {
  const auto key = Hex("fffefdfc fbfaf9f8 f7f6f5f4 f3f2f1f0 f0f1f2f3 f4f5f6f7 f8f9fafb fcfdfeff");
  const auto ad = Hex("10111213 14151617 18191a1b 1c1d1e1f 20212223 24252627");
  const auto plain = Hex("11223344 55667788 99aabbcc ddee");
  const auto expected = Hex("85632d07 c6e8f37f 950acd32 0a2ecc93 40c02b96 90c4dc04 daef7f6a fe5c");
  std::vector<uint8_t> sealed;
  ASSERT_TRUE(AeadSeal(AeadId::kAesSivCmac256, key, {}, ad, plain, &sealed));
  EXPECT_EQ(sealed, expected);
  std::vector<uint8_t> opened;
  ASSERT_TRUE(AeadOpen(AeadId::kAesSivCmac256, key, {}, ad, expected, &opened));
  EXPECT_EQ(opened, plain);
}

TEST(Aead, NonceVectorTakesTheNonceAsTheLastComponent) {
  const auto key = Hex("7f7e7d7c 7b7a7978 77767574 73727170 40414243 44454647 48494a4b 4c4d4e4f");
  const auto ad1 =
      Hex("00112233 44556677 8899aabb ccddeeff deaddada deaddada ffeeddcc bbaa9988 77665544 33221100");
  const auto ad2 = Hex("10203040 50607080 90a0");
  const auto nonce = Hex("09f91102 9d74e35b d84156c5 635688c0");
  const auto plain = Hex(
      "74686973 20697320 736f6d65 20706c61 696e7465 78742074 6f20656e 63727970 74207573 696e6720 5349562d "
      "414553");
  const auto expected = Hex(
      "7bdb6e3b 432667eb 06f4d14b ff2fbd0f cb900f2f ddbe4043 26601965 c889bf17 dba77ceb 094fa663 b7a3f748 "
      "ba8af829 ea64ad54 4a272e9c 485b62a3 fd5c0d");
  const std::span<const uint8_t> parts[] = {ad1, ad2, nonce};
  std::vector<uint8_t> sealed;
  ASSERT_TRUE(AeadSealVector(AeadId::kAesSivCmac256, key, parts, plain, &sealed));
  EXPECT_EQ(sealed, expected);
  std::vector<uint8_t> opened;
  ASSERT_TRUE(AeadOpenVector(AeadId::kAesSivCmac256, key, parts, expected, &opened));
  EXPECT_EQ(opened, plain);

  // The two-argument form puts the nonce after the associated data.
  const std::span<const uint8_t> ad_then_nonce[] = {ad1, nonce};
  std::vector<uint8_t> general, simple;
  ASSERT_TRUE(AeadSealVector(AeadId::kAesSivCmac256, key, ad_then_nonce, plain, &general));
  ASSERT_TRUE(AeadSeal(AeadId::kAesSivCmac256, key, nonce, ad1, plain, &simple));
  EXPECT_EQ(simple, general);
  const std::span<const uint8_t> nonce_then_ad[] = {nonce, ad1};
  ASSERT_TRUE(AeadSealVector(AeadId::kAesSivCmac256, key, nonce_then_ad, plain, &general));
  EXPECT_NE(simple, general);
}

class AeadEach : public testing::TestWithParam<AeadId> {};

TEST_P(AeadEach, RoundTripsAndRefusesAnyFlippedBit) {
  const AeadId id = GetParam();
  std::vector<uint8_t> key(AeadKeyLength(id));
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(i * 7 + 1);
  const std::vector<uint8_t> nonce(16, 0x5a), ad = {1, 2, 3, 4, 5, 6, 7, 8}, plain = {9, 8, 7, 6, 5};
  std::vector<uint8_t> sealed, opened;
  ASSERT_TRUE(AeadSeal(id, key, nonce, ad, plain, &sealed));
  ASSERT_EQ(sealed.size(), kAeadTagLength + plain.size());
  ASSERT_TRUE(AeadOpen(id, key, nonce, ad, sealed, &opened));
  EXPECT_EQ(opened, plain);

  for (size_t bit = 0; bit < sealed.size() * 8; ++bit) {
    auto bad = sealed;
    bad[bit / 8] ^= static_cast<uint8_t>(1 << (bit % 8));
    EXPECT_FALSE(AeadOpen(id, key, nonce, ad, bad, &opened)) << "sealed bit " << bit;
    EXPECT_TRUE(opened.empty()) << "a refused open leaves its decryption behind, sealed bit " << bit;
  }
  for (size_t bit = 0; bit < ad.size() * 8; ++bit) {
    auto bad = ad;
    bad[bit / 8] ^= static_cast<uint8_t>(1 << (bit % 8));
    EXPECT_FALSE(AeadOpen(id, key, nonce, bad, sealed, &opened)) << "ad bit " << bit;
  }
  auto bad_nonce = nonce;
  bad_nonce[15] ^= 1;
  EXPECT_FALSE(AeadOpen(id, key, bad_nonce, ad, sealed, &opened));
  auto bad_key = key;
  bad_key.back() ^= 0x80;
  EXPECT_FALSE(AeadOpen(id, bad_key, nonce, ad, sealed, &opened));
  EXPECT_FALSE(AeadOpen(id, key, nonce, ad, std::span(sealed).first(kAeadTagLength - 1), &opened));
}

TEST_P(AeadEach, EmptyPlaintextStillAuthenticatesTheAssociatedData) {
  const AeadId id = GetParam();
  const std::vector<uint8_t> key(AeadKeyLength(id), 0x33), nonce(16, 1), ad(48, 0x24);
  std::vector<uint8_t> sealed, opened = {1};
  ASSERT_TRUE(AeadSeal(id, key, nonce, ad, {}, &sealed));
  ASSERT_EQ(sealed.size(), kAeadTagLength);
  ASSERT_TRUE(AeadOpen(id, key, nonce, ad, sealed, &opened));
  EXPECT_TRUE(opened.empty());
  auto bad = ad;
  bad[47] ^= 4;
  EXPECT_FALSE(AeadOpen(id, key, nonce, bad, sealed, &opened));
  sealed[0] ^= 1;
  EXPECT_FALSE(AeadOpen(id, key, nonce, ad, sealed, &opened));
}

TEST(Aead, EmptyPlaintextGivesTheSyntheticIvOfTheAssociatedData) {
  // Made with an independent AES-SIV implementation.
  std::vector<uint8_t> key(64);
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(i);
  const std::vector<uint8_t> ad(48, 0), nonce(16, 7);
  std::vector<uint8_t> sealed;
  ASSERT_TRUE(AeadSeal(AeadId::kAesSivCmac512, key, nonce, ad, {}, &sealed));
  EXPECT_EQ(sealed, Hex("3b609213f251da961439da76b5f57590"));
  ASSERT_TRUE(AeadSeal(AeadId::kAesSivCmac256, std::span(key).first(32), nonce, ad, {}, &sealed));
  EXPECT_EQ(sealed, Hex("972a1303125ddbeb95213c2b15e66974"));
}

// The same sealing done by the crypto library's own SIV cipher (which
// cannot seal an empty plaintext); empty when it failed.
std::vector<uint8_t> LibrarySivSeal(AeadId id, std::span<const uint8_t> key,
                                    const std::vector<std::vector<uint8_t>>& ad,
                                    std::span<const uint8_t> plain) {
  EVP_CIPHER* cipher =
      EVP_CIPHER_fetch(nullptr, id == AeadId::kAesSivCmac256 ? "AES-128-SIV" : "AES-256-SIV", nullptr);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  std::vector<uint8_t> out(kAeadTagLength + plain.size());
  bool ok = cipher && ctx && EVP_EncryptInit_ex2(ctx, cipher, key.data(), nullptr, nullptr) == 1;
  int n = 0;
  for (const auto& part : ad) {
    ok = ok && EVP_EncryptUpdate(ctx, nullptr, &n, part.data(), static_cast<int>(part.size())) == 1;
  }
  ok = ok && EVP_EncryptUpdate(ctx, out.data() + kAeadTagLength, &n, plain.data(),
                               static_cast<int>(plain.size())) == 1;
  int tail = 0;
  ok = ok && EVP_EncryptFinal_ex(ctx, out.data() + kAeadTagLength + n, &tail) == 1 &&
       EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, static_cast<int>(kAeadTagLength), out.data()) == 1;
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(cipher);
  return ok ? out : std::vector<uint8_t>{};
}

TEST(Aead, AgreesWithTheLibrarySivOverLengthsAroundTheBlockSize) {
  // Lengths on either side of whole blocks exercise both CMAC subkeys and the
  // S2V cases of a plaintext shorter and not shorter than a block; the two
  // variants and fresh keys alternate, as the kept contexts must not remember.
  std::mt19937 rng(7);
  auto bytes = [&rng](size_t n) {
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
  };
  int cases = 0;
  for (size_t plain_length : {1, 2, 15, 16, 17, 31, 32, 33, 100, 104, 168, 300}) {
    for (size_t components = 1; components <= 3; ++components) {
      for (AeadId id : {AeadId::kAesSivCmac256, AeadId::kAesSivCmac512}) {
        const auto key = bytes(AeadKeyLength(id));
        std::vector<std::vector<uint8_t>> ad;
        for (size_t c = 0; c < components; ++c)
          ad.push_back(bytes(std::vector<size_t>{16, 4, 33, 48}[(plain_length + c) % 4]));
        const auto plain = bytes(plain_length);
        const std::vector<uint8_t> expected = LibrarySivSeal(id, key, ad, plain);
        ASSERT_FALSE(expected.empty()) << "the library's SIV cipher failed";
        std::vector<std::span<const uint8_t>> parts(ad.begin(), ad.end());
        std::vector<uint8_t> sealed, opened;
        ASSERT_TRUE(AeadSealVector(id, key, parts, plain, &sealed));
        EXPECT_EQ(sealed, expected) << "plaintext " << plain_length << ", " << components
                                    << " components, id " << static_cast<int>(id);
        ASSERT_TRUE(AeadOpenVector(id, key, parts, expected, &opened))
            << "plaintext " << plain_length << ", " << components << " components";
        EXPECT_EQ(opened, plain);
        ++cases;
      }
    }
  }
  EXPECT_EQ(cases, 72);
}

TEST(Aead, KeptKeysAgreeWithTheLibraryWhateverTheOrderOfUse) {
  // More keys than a thread keeps keyed, reused in a shuffled order with odd
  // lengths: a kept key must give what a fresh one gives (CTR position and
  // CBC chaining reset per operation), and an evicted key must come back.
  std::mt19937 rng(11);
  auto bytes = [&rng](size_t n) {
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
  };
  std::vector<std::pair<AeadId, std::vector<uint8_t>>> keys;
  for (int i = 0; i < 7; ++i) {
    const AeadId id = i % 3 == 2 ? AeadId::kAesSivCmac512 : AeadId::kAesSivCmac256;
    keys.emplace_back(id, bytes(AeadKeyLength(id)));
  }
  keys.emplace_back(AeadId::kAesSivCmac256, keys[0].second);  // same bytes twice
  int mismatches = 0, failures = 0;
  for (int round = 0; round < 400; ++round) {
    // Mostly the first key, as a server's cookie key, the others in between.
    const size_t which = round % 2 == 0 ? 0 : rng() % keys.size();
    const auto& [id, key] = keys[which];
    const std::vector<std::vector<uint8_t>> ad = {bytes(1 + rng() % 70), bytes(16)};
    const auto plain = bytes(1 + rng() % 90);
    const std::vector<std::span<const uint8_t>> parts(ad.begin(), ad.end());
    std::vector<uint8_t> sealed, opened;
    if (!AeadSealVector(id, key, parts, plain, &sealed) || !AeadOpenVector(id, key, parts, sealed, &opened)) {
      ++failures;
      continue;
    }
    if (sealed != LibrarySivSeal(id, key, ad, plain) || opened != plain) ++mismatches;
    // A wrong key (a kept one) never opens it.
    const auto& other = keys[(which + 1) % keys.size()];
    if (other.first == id && other.second != key) {
      EXPECT_FALSE(AeadOpenVector(id, other.second, parts, sealed, &opened));
    }
  }
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(mismatches, 0);
}

TEST_P(AeadEach, RefusesAKeyOfTheWrongLength) {
  const AeadId id = GetParam();
  const std::vector<uint8_t> key(AeadKeyLength(id) - 1, 1);
  std::vector<uint8_t> out;
  EXPECT_FALSE(AeadSeal(id, key, {}, {}, std::vector<uint8_t>{1}, &out));
}

INSTANTIATE_TEST_SUITE_P(Both, AeadEach, testing::Values(AeadId::kAesSivCmac256, AeadId::kAesSivCmac512));

TEST(Aead, OffersBothSivAlgorithmsAndNothingElse) {
  const auto ids = SupportedAeads();
  ASSERT_EQ(ids.size(), 2u);
  EXPECT_EQ(ids[0], AeadId::kAesSivCmac256);
  EXPECT_TRUE(AeadSupported(15));
  EXPECT_TRUE(AeadSupported(17));
  EXPECT_FALSE(AeadSupported(16)) << "no GCM-SIV here";
  EXPECT_FALSE(AeadSupported(30));
  EXPECT_EQ(AeadKeyLength(static_cast<AeadId>(16)), 0u);
}

}  // namespace
}  // namespace mdl::nts
