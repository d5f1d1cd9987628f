// Cookies: sealed session keys that only the key set that made them opens.
#include "common/nts/cookie.h"

#include <gtest/gtest.h>

namespace mdl::nts {
namespace {

SessionKeys Keys(AeadId id, uint8_t seed) {
  SessionKeys k;
  k.aead = id;
  k.c2s.assign(AeadKeyLength(id), seed);
  k.s2c.assign(AeadKeyLength(id), static_cast<uint8_t>(seed + 1));
  k.s2c[0] = 0xee;
  return k;
}

CookieKeySet TwoKeys() {
  CookieKeySet set;
  set.keys.push_back(*MakeCookieKey(8, 2000));
  set.keys.push_back(*MakeCookieKey(7, 1000));
  return set;
}

TEST(Cookie, CarriesTheSessionKeysOfEitherAlgorithm) {
  const CookieKeySet set = TwoKeys();
  ASSERT_EQ(set.current()->id, 8u);
  for (AeadId id : {AeadId::kAesSivCmac256, AeadId::kAesSivCmac512}) {
    const SessionKeys keys = Keys(id, 0x41);
    const auto cookie = SealCookie(*set.current(), keys);
    ASSERT_EQ(cookie.size(), CookieLength(id));
    EXPECT_EQ(cookie.size() % 4, 0u) << "fits a field unpadded";
    EXPECT_EQ(cookie.size(), id == AeadId::kAesSivCmac256 ? 104u : 168u);
    EXPECT_LE(cookie.size(), kMaxCookieLength);
    const auto opened = OpenCookie(set, cookie);
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->aead, id);
    EXPECT_EQ(opened->c2s, keys.c2s);
    EXPECT_EQ(opened->s2c, keys.s2c);
  }
  // An older key still in the set opens its cookies.
  const auto old = SealCookie(set.keys[1], Keys(AeadId::kAesSivCmac256, 3));
  EXPECT_TRUE(OpenCookie(set, old));
}

TEST(Cookie, TwoCookiesForTheSameKeysDiffer) {
  const CookieKeySet set = TwoKeys();
  const SessionKeys keys = Keys(AeadId::kAesSivCmac256, 9);
  EXPECT_NE(SealCookie(*set.current(), keys), SealCookie(*set.current(), keys));
}

TEST(Cookie, RefusesUnknownKeysWrongLengthsAndAnyFlippedBit) {
  const CookieKeySet set = TwoKeys();
  const auto cookie = SealCookie(*set.current(), Keys(AeadId::kAesSivCmac256, 5));
  ASSERT_TRUE(OpenCookie(set, cookie));

  CookieKeySet other;
  other.keys.push_back(*MakeCookieKey(99, 0));
  EXPECT_FALSE(OpenCookie(other, cookie)) << "unknown key id";
  CookieKeySet same_id_other_key;
  same_id_other_key.keys.push_back(*MakeCookieKey(8, 0));
  EXPECT_FALSE(OpenCookie(same_id_other_key, cookie));
  EXPECT_FALSE(OpenCookie(CookieKeySet{}, cookie));

  EXPECT_FALSE(OpenCookie(set, std::span(cookie).first(cookie.size() - 1)));
  auto longer = cookie;
  longer.push_back(0);
  EXPECT_FALSE(OpenCookie(set, longer));
  EXPECT_FALSE(OpenCookie(set, {}));

  for (size_t bit = 0; bit < cookie.size() * 8; ++bit) {
    auto bad = cookie;
    bad[bit / 8] ^= static_cast<uint8_t>(1 << (bit % 8));
    EXPECT_FALSE(OpenCookie(set, bad)) << "bit " << bit;
  }
}

TEST(Cookie, RefusesKeysThatDoNotFitTheirAlgorithm) {
  const CookieKeySet set = TwoKeys();
  SessionKeys keys = Keys(AeadId::kAesSivCmac256, 1);
  keys.c2s.pop_back();
  EXPECT_TRUE(SealCookie(*set.current(), keys).empty());
  keys = Keys(AeadId::kAesSivCmac256, 1);
  keys.aead = static_cast<AeadId>(16);
  EXPECT_TRUE(SealCookie(*set.current(), keys).empty());
}

TEST(CookieKeySet, FindsByIdAndHasNoCurrentWhenEmpty) {
  const CookieKeySet set = TwoKeys();
  ASSERT_NE(set.find(7), nullptr);
  EXPECT_EQ(set.find(7)->created_unix, 1000);
  EXPECT_EQ(set.find(6), nullptr);
  EXPECT_EQ(CookieKeySet{}.current(), nullptr);
  EXPECT_NE(set.keys[0].key, set.keys[1].key);
}

}  // namespace
}  // namespace mdl::nts
