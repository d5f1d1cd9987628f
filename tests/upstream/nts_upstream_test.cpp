// The NTS upstream sessions: what a key exchange gives, the cookie store,
// when a new key exchange is due, and the NAK's recognition.
#include "server/upstream/nts_upstream.h"
#include "common/nts/ntp_auth.h"

#include <gtest/gtest.h>

#include <vector>

namespace mdl {
namespace {

std::vector<uint8_t> Bytes(size_t n, uint8_t v) { return std::vector<uint8_t>(n, v); }

nts::KeOutcome GoodOutcome() {
  nts::KeOutcome o;
  o.ok = true;
  o.keys.aead = nts::AeadId::kAesSivCmac256;
  o.keys.c2s = Bytes(32, 1);
  o.keys.s2c = Bytes(32, 2);
  for (uint8_t i = 0; i < 8; ++i) o.cookies.push_back(Bytes(100, i));
  o.ntp_server = "ntp.example";
  o.ntp_port = 10123;
  return o;
}

TEST(NtsSessionTest, KeyExchangeOutcomeBecomesASessionOnlyWhenUsable) {
  NtsSessionResult r = SessionFromKe(GoodOutcome(), "ke.example");
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.session.cookies.size(), 8u);
  EXPECT_EQ(r.session.ntp_server, "ntp.example");
  EXPECT_EQ(r.session.ntp_port, 10123);
  EXPECT_FALSE(r.session.NeedsKe());

  // No server named: the key exchange's host, port 123.
  nts::KeOutcome o = GoodOutcome();
  o.ntp_server.clear();
  o.ntp_port = 0;
  r = SessionFromKe(o, "ke.example");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.session.ntp_server, "ke.example");
  EXPECT_EQ(r.session.ntp_port, 123);

  o = GoodOutcome();
  o.ok = false;
  o.error = "TLS handshake: certificate verify failed";
  r = SessionFromKe(o, "ke.example");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, "TLS handshake: certificate verify failed");

  o = GoodOutcome();
  o.keys.s2c.resize(31);
  EXPECT_FALSE(SessionFromKe(o, "ke.example").ok) << "a key of the wrong length";
  o = GoodOutcome();
  o.keys.aead = nts::AeadId::kAesSivCmac512;  // 64-byte keys wanted
  EXPECT_FALSE(SessionFromKe(o, "ke.example").ok);

  // Cookies that are empty or too long are not kept; none left is a failure.
  o = GoodOutcome();
  o.cookies = {{}, Bytes(kNtsMaxCookieBytes + 1, 7)};
  r = SessionFromKe(o, "ke.example");
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.error.find("cookie"), std::string::npos) << r.error;
}

TEST(NtsSessionTest, CookiesAreCappedOldestFirstAndFailuresRenewTheKeys) {
  NtsSession s;
  EXPECT_TRUE(s.NeedsKe()) << "no cookie in hand";
  std::vector<std::vector<uint8_t>> fresh;
  for (uint8_t i = 0; i < 10; ++i) fresh.push_back(Bytes(4, i));
  s.AddCookies(fresh);
  ASSERT_EQ(s.cookies.size(), kNtsCookiesWanted);
  EXPECT_EQ(s.cookies.front(), Bytes(4, 2)) << "the two oldest went";
  EXPECT_EQ(s.cookies.back(), Bytes(4, 9));

  for (int i = 1; i < kNtsFailuresBeforeKe; ++i) EXPECT_FALSE(s.Failed()) << i;
  EXPECT_TRUE(s.Failed());
  EXPECT_TRUE(s.NeedsKe()) << "cookies in hand, but the keys are renewed";
}

TEST(NtsSessionTest, PlaceholdersRefillToEightCookies) {
  EXPECT_EQ(NtsPlaceholdersWanted(8), 0u);
  EXPECT_EQ(NtsPlaceholdersWanted(1), 7u);
  EXPECT_EQ(NtsPlaceholdersWanted(5), 3u);
  EXPECT_EQ(NtsPlaceholdersWanted(20), 0u);
}

TEST(NtsSessionTest, SessionsAreBoundedDroppingTheOldest) {
  NtsSessions sessions;
  for (size_t i = 0; i < NtsSessions::kMax + 3; ++i) {
    NtsSession s;
    s.ntp_port = static_cast<uint16_t>(i + 1);
    sessions.Put("host" + std::to_string(i), s);
  }
  EXPECT_EQ(sessions.size(), NtsSessions::kMax);
  EXPECT_EQ(sessions.Find("host0"), nullptr);
  EXPECT_EQ(sessions.Find("host2"), nullptr);
  ASSERT_NE(sessions.Find("host3"), nullptr);
  // Putting a key again replaces it and makes it the newest.
  NtsSession again;
  again.ntp_port = 999;
  sessions.Put("host3", again);
  EXPECT_EQ(sessions.Find("host3")->ntp_port, 999);
  sessions.Put("another", NtsSession{});
  EXPECT_NE(sessions.Find("host3"), nullptr) << "host3 was made the newest";
  EXPECT_EQ(sessions.Find("host4"), nullptr);
  sessions.Drop("host3");
  EXPECT_EQ(sessions.Find("host3"), nullptr);
}

// A kiss-o'-death reply "NTSN" carrying `fields` after the header.
std::vector<uint8_t> Nak(const std::vector<uint8_t>& fields) {
  std::vector<uint8_t> r(48, 0);
  r[0] = 0xE4;  // leap 3, version 4, mode 4
  r[1] = 0;
  r[12] = 'N';
  r[13] = 'T';
  r[14] = 'S';
  r[15] = 'N';
  r.insert(r.end(), fields.begin(), fields.end());
  return r;
}

std::vector<uint8_t> Field(uint16_t type, const std::vector<uint8_t>& body) {
  std::vector<uint8_t> f = {static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type),
                            static_cast<uint8_t>((body.size() + 4) >> 8),
                            static_cast<uint8_t>(body.size() + 4)};
  f.insert(f.end(), body.begin(), body.end());
  return f;
}

TEST(NtsNakTest, OnlyAKissEchoingOurIdentifierIsANak) {
  const std::vector<uint8_t> id = Bytes(32, 0xAB);
  const std::vector<uint8_t> uid = Field(0x0104, id);
  EXPECT_TRUE(nts::IsNtsNak(Nak(uid), id));

  std::vector<uint8_t> other_fields = Field(0x0204, Bytes(100, 0));  // fields before and after are fine
  std::vector<uint8_t> both = other_fields;
  both.insert(both.end(), uid.begin(), uid.end());
  EXPECT_TRUE(nts::IsNtsNak(Nak(both), id));

  EXPECT_FALSE(nts::IsNtsNak(Nak(Field(0x0104, Bytes(32, 0xAC))), id)) << "another query's identifier";
  EXPECT_FALSE(nts::IsNtsNak(Nak({}), id)) << "no identifier";
  std::vector<uint8_t> r = Nak(uid);
  r[1] = 1;
  EXPECT_FALSE(nts::IsNtsNak(r, id)) << "not a kiss";
  r = Nak(uid);
  r[15] = 'K';
  EXPECT_FALSE(nts::IsNtsNak(r, id)) << "another kiss code";

  // Broken framing: no field may run past the end, be shorter than its header or unaligned.
  r = Nak(uid);
  r[48 + 3] = 200;
  EXPECT_FALSE(nts::IsNtsNak(r, id));
  r = Nak(uid);
  r[48 + 3] = 2;
  EXPECT_FALSE(nts::IsNtsNak(r, id));
  r = Nak(uid);
  r.push_back(0);  // two stray bytes at the end
  r.push_back(0);
  EXPECT_FALSE(nts::IsNtsNak(r, id));
  EXPECT_FALSE(nts::IsNtsNak(std::vector<uint8_t>(47, 0), id));
  EXPECT_FALSE(nts::IsNtsNak(Nak(uid), {})) << "no identifier was sent";
}

}  // namespace
}  // namespace mdl
