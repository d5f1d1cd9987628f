// Cookie key rotation and the key file's text.
#include "common/nts/cookie_keys.h"

#include <gtest/gtest.h>

namespace mdl::nts {
namespace {

constexpr int64_t kHour = 3600;

TEST(RotateCookieKeys, MakesAKeyEachPeriodAndKeepsTheLastSeven) {
  CookieKeySet set;
  ASSERT_TRUE(RotateCookieKeys(&set, 1000, kHour));
  ASSERT_EQ(set.keys.size(), 1u);
  const uint32_t first = set.current()->id;
  EXPECT_FALSE(RotateCookieKeys(&set, 1000 + kHour - 1, kHour)) << "not due yet";
  EXPECT_EQ(NextRotationUnix(set, kHour), 1000 + kHour);
  for (int64_t p = 1; p <= 6; ++p) ASSERT_TRUE(RotateCookieKeys(&set, 1000 + p * kHour, kHour));
  ASSERT_EQ(set.keys.size(), 7u);
  EXPECT_TRUE(set.find(first));
  EXPECT_EQ(set.current()->created_unix, 1000 + 6 * kHour);
  EXPECT_GT(set.keys[0].created_unix, set.keys[1].created_unix) << "newest first";
  ASSERT_TRUE(RotateCookieKeys(&set, 1000 + 7 * kHour, kHour));
  EXPECT_EQ(set.keys.size(), 7u);
  EXPECT_FALSE(set.find(first));
}

TEST(RotateCookieKeys, AfterALongStopOldKeysGoByAgeButTheNewestStays) {
  CookieKeySet set;
  RotateCookieKeys(&set, 0, kHour);
  RotateCookieKeys(&set, kHour, kHour);
  ASSERT_EQ(set.keys.size(), 2u);
  ASSERT_TRUE(RotateCookieKeys(&set, 100 * kHour, kHour));
  ASSERT_EQ(set.keys.size(), 1u) << "keys older than seven periods are gone";
  EXPECT_EQ(set.current()->created_unix, 100 * kHour);
}

TEST(RotateCookieKeys, AClockFarBehindTheNewestKeyMakesANewOne) {
  CookieKeySet set;
  RotateCookieKeys(&set, 10 * kHour, kHour);
  EXPECT_FALSE(RotateCookieKeys(&set, 10 * kHour - 10, kHour)) << "a small step back changes nothing";
  ASSERT_TRUE(RotateCookieKeys(&set, 5 * kHour, kHour));
  EXPECT_EQ(set.current()->created_unix, 5 * kHour);
  EXPECT_NE(set.keys[0].id, set.keys[1].id);
}

TEST(CookieKeyFile, RoundTripsAndRefusesDamage) {
  CookieKeySet set;
  for (int64_t p = 0; p < 3; ++p) RotateCookieKeys(&set, p * kHour, kHour);
  const std::string text = SerializeCookieKeys(set);
  std::string error;
  const auto back = ParseCookieKeys(text, &error);
  ASSERT_TRUE(back) << error;
  ASSERT_EQ(back->keys.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(back->keys[i].id, set.keys[i].id);
    EXPECT_EQ(back->keys[i].created_unix, set.keys[i].created_unix);
    EXPECT_EQ(back->keys[i].key, set.keys[i].key);
  }

  EXPECT_FALSE(ParseCookieKeys(text.substr(0, text.size() - 1), &error)) << "cut short";
  EXPECT_FALSE(ParseCookieKeys(text.substr(0, text.size() - 10) + "\n", &error)) << "short key";
  EXPECT_FALSE(ParseCookieKeys("# nothing\n", &error));
  EXPECT_EQ(error, "no key");
  EXPECT_FALSE(ParseCookieKeys("", &error));
  const std::string line = "key 5 100 " + std::string(64, 'a') + "\n";
  EXPECT_TRUE(ParseCookieKeys(line, &error));
  EXPECT_FALSE(ParseCookieKeys(line + line, &error)) << "repeated id";
  EXPECT_FALSE(ParseCookieKeys("key 5 100 " + std::string(64, 'A') + "\n", &error)) << "upper-case hex";
  EXPECT_FALSE(ParseCookieKeys("key x 100 " + std::string(64, 'a') + "\n", &error));
  EXPECT_FALSE(ParseCookieKeys("key 5 100 " + std::string(64, 'a') + " more\n", &error));
  EXPECT_FALSE(ParseCookieKeys("key 99999999999 100 " + std::string(64, 'a') + "\n", &error))
      << "id over 32 bits";
  std::string many;
  for (int i = 0; i < 65; ++i) many += "key " + std::to_string(i) + " 1 " + std::string(64, 'b') + "\n";
  EXPECT_FALSE(ParseCookieKeys(many, &error));
}

}  // namespace
}  // namespace mdl::nts
