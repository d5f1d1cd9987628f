// Authenticated NTP packets: fields, the server's verdicts, replies, NAKs
// and the client's check, each against the other side.
#include "common/nts/ntp_auth.h"

#include <gtest/gtest.h>

#include <array>

namespace mdl::nts {
namespace {

std::array<uint8_t, 48> ClientHeader() {
  std::array<uint8_t, 48> h{};
  h[0] = 0x23;  // version 4, client
  h[2] = 6;
  for (int i = 40; i < 48; ++i) h[i] = static_cast<uint8_t>(0xA0 + i);
  return h;
}

SessionKeys Keys(AeadId id = AeadId::kAesSivCmac256) {
  SessionKeys k;
  k.aead = id;
  k.c2s.assign(AeadKeyLength(id), 0x11);
  k.s2c.assign(AeadKeyLength(id), 0x22);
  return k;
}

struct Server {
  CookieKeySet set;
  Server() { set.keys.push_back(*MakeCookieKey(5, 0)); }
};

std::vector<uint8_t> Uid(uint8_t seed = 1) { return std::vector<uint8_t>(32, seed); }

TEST(ExtensionFields, ParseWhatAppendWritesAndRefuseWhatDoesNotFit) {
  std::vector<uint8_t> packet(48, 0);
  AppendExtensionField(&packet, 0x0104, std::vector<uint8_t>(5, 7));  // padded to 8, at least 16 in all
  AppendExtensionField(&packet, 0x0204, std::vector<uint8_t>(20, 9));
  ASSERT_EQ(packet.size(), 48u + 16 + 24);
  ExtensionFields fields;
  ASSERT_TRUE(ParseExtensionFields(packet, 48, &fields));
  ASSERT_EQ(fields.count, 2u);
  EXPECT_EQ(fields.items[0].type, 0x0104);
  EXPECT_EQ(fields.items[0].body.size(), 12u);
  EXPECT_EQ(fields.items[0].body[4], 7);
  EXPECT_EQ(fields.items[0].body[5], 0) << "zero padding";
  EXPECT_EQ(fields.items[1].offset, 64u);
  EXPECT_EQ(fields.items[1].length, 24u);

  auto bad = packet;
  bad[48 + 3] = 18;  // not a multiple of 4
  EXPECT_FALSE(ParseExtensionFields(bad, 48, &fields));
  bad[48 + 3] = 0;  // under 4: would never advance
  EXPECT_FALSE(ParseExtensionFields(bad, 48, &fields));
  bad = packet;
  bad[64 + 3] = 28;  // past the end
  EXPECT_FALSE(ParseExtensionFields(bad, 48, &fields));
  bad = packet;
  bad.push_back(0);  // a stray tail
  EXPECT_FALSE(ParseExtensionFields(bad, 48, &fields));

  std::vector<uint8_t> many(48, 0);
  for (size_t i = 0; i <= kMaxExtensionFields; ++i) AppendExtensionField(&many, 0x0304, {});
  EXPECT_FALSE(ParseExtensionFields(many, 48, &fields)) << "bounded in count";
  many.resize(48 + 16 * kMaxExtensionFields);
  EXPECT_TRUE(ParseExtensionFields(many, 48, &fields));
}

class Exchange : public testing::TestWithParam<AeadId> {};

TEST_P(Exchange, AuthenticRequestGetsAVerifiableReplyWithFreshCookies) {
  Server server;
  const SessionKeys keys = Keys(GetParam());
  const auto cookie = SealCookie(*server.set.current(), keys);
  const auto header = ClientHeader();
  for (size_t placeholders : {0u, 2u}) {
    const auto request = BuildNtsRequest(header, Uid(), cookie, placeholders, keys);
    ASSERT_FALSE(request.empty());
    const NtsServerRequest read = ReadNtsRequest(request, server.set);
    ASSERT_EQ(read.verdict, NtsVerdict::kAuthentic);
    EXPECT_EQ(read.cookies_wanted, 1 + placeholders);
    EXPECT_EQ(read.keys.s2c, keys.s2c);

    std::array<uint8_t, 48> reply_header{};
    reply_header[0] = 0x24;
    reply_header[1] = 2;
    std::vector<uint8_t> reply;
    ASSERT_TRUE(BuildNtsReply(reply_header, read, *server.set.current(), request.size(), &reply));
    EXPECT_LE(reply.size(), request.size());
    EXPECT_TRUE(std::equal(reply_header.begin(), reply_header.end(), reply.begin()));
    const auto verified = VerifyNtsReply(reply, Uid(), keys);
    ASSERT_TRUE(verified);
    ASSERT_EQ(verified->cookies.size(), 1 + placeholders);
    for (const auto& fresh : verified->cookies) {
      EXPECT_NE(fresh, cookie);
      const auto opened = OpenCookie(server.set, fresh);
      ASSERT_TRUE(opened);
      EXPECT_EQ(opened->c2s, keys.c2s);
    }
    EXPECT_FALSE(VerifyNtsReply(reply, Uid(2), keys)) << "another request's identifier";
    EXPECT_FALSE(IsNtsNak(reply, Uid()));
  }
}

INSTANTIATE_TEST_SUITE_P(Both, Exchange, testing::Values(AeadId::kAesSivCmac256, AeadId::kAesSivCmac512));

TEST(NtsRequest, AnyFlippedByteIsNeverAuthentic) {
  Server server;
  const SessionKeys keys = Keys();
  const auto request =
      BuildNtsRequest(ClientHeader(), Uid(), SealCookie(*server.set.current(), keys), 1, keys);
  for (size_t i = 0; i < request.size(); ++i) {
    auto bad = request;
    bad[i] ^= 0x10;
    const NtsServerRequest read = ReadNtsRequest(bad, server.set);
    EXPECT_NE(read.verdict, NtsVerdict::kAuthentic) << "byte " << i;
  }
}

TEST(NtsRequest, UnknownCookieOrWrongKeyGetsANakThatTheClientRecognises) {
  Server server, other;
  const SessionKeys keys = Keys();
  const auto header = ClientHeader();
  const auto foreign = BuildNtsRequest(header, Uid(3), SealCookie(*other.set.current(), keys), 0, keys);
  NtsServerRequest read = ReadNtsRequest(foreign, server.set);
  ASSERT_EQ(read.verdict, NtsVerdict::kNak);
  std::vector<uint8_t> nak;
  BuildNtsNak(header, read.unique_id, &nak);
  EXPECT_LT(nak.size(), foreign.size());
  EXPECT_EQ(nak[1], 0);
  EXPECT_EQ(std::string(nak.begin() + 12, nak.begin() + 16), "NTSN");
  EXPECT_EQ(nak[0] & 7, 4) << "server mode";
  EXPECT_TRUE(std::equal(header.begin() + 40, header.end(), nak.begin() + 24)) << "origin";
  EXPECT_TRUE(IsNtsNak(nak, Uid(3)));
  EXPECT_FALSE(IsNtsNak(nak, Uid(4)));
  EXPECT_FALSE(VerifyNtsReply(nak, Uid(3), keys));

  // A good cookie with an authenticator made under another key.
  SessionKeys wrong = keys;
  wrong.c2s[0] ^= 1;
  const auto forged = BuildNtsRequest(header, Uid(), SealCookie(*server.set.current(), keys), 0, wrong);
  EXPECT_EQ(ReadNtsRequest(forged, server.set).verdict, NtsVerdict::kNak);
  std::vector<uint8_t> reply;
  EXPECT_FALSE(
      BuildNtsReply(header, ReadNtsRequest(forged, server.set), *server.set.current(), 1000, &reply));
}

TEST(NtsRequest, MalformedRequestsAreDroppedAndPlainOnesLeftAlone) {
  Server server;
  const SessionKeys keys = Keys();
  const auto header = ClientHeader();
  const auto cookie = SealCookie(*server.set.current(), keys);
  std::vector<uint8_t> plain(header.begin(), header.end());
  EXPECT_EQ(ReadNtsRequest(plain, server.set).verdict, NtsVerdict::kPlain);
  AppendExtensionField(&plain, 0x0104, Uid());
  EXPECT_EQ(ReadNtsRequest(plain, server.set).verdict, NtsVerdict::kPlain) << "no cookie, no authenticator";

  // No Unique Identifier, or a short one: no NAK could be matched.
  std::vector<uint8_t> no_uid(header.begin(), header.end());
  AppendExtensionField(&no_uid, kFieldCookie, cookie);
  AppendExtensionField(&no_uid, kFieldAuthenticator, std::vector<uint8_t>(36, 0));
  EXPECT_EQ(ReadNtsRequest(no_uid, server.set).verdict, NtsVerdict::kDrop);
  const auto short_uid = BuildNtsRequest(header, std::vector<uint8_t>(16, 1), cookie, 0, keys);
  EXPECT_EQ(ReadNtsRequest(short_uid, server.set).verdict, NtsVerdict::kDrop);

  // Two cookies.
  std::vector<uint8_t> two(header.begin(), header.end());
  AppendExtensionField(&two, kFieldUniqueIdentifier, Uid());
  AppendExtensionField(&two, kFieldCookie, cookie);
  AppendExtensionField(&two, kFieldCookie, cookie);
  AppendExtensionField(&two, kFieldAuthenticator, std::vector<uint8_t>(36, 0));
  EXPECT_EQ(ReadNtsRequest(two, server.set).verdict, NtsVerdict::kDrop);

  // An authenticator whose lengths run past its field.
  auto request = BuildNtsRequest(header, Uid(), cookie, 0, keys);
  const size_t auth = request.size() - 40;
  ASSERT_EQ(request[auth + 1], 0x04);
  request[auth + 6] = 0x7f;
  EXPECT_EQ(ReadNtsRequest(request, server.set).verdict, NtsVerdict::kNak);
}

TEST(NtsReply, NeverLargerThanAllowedFewerCookiesFirst) {
  Server server;
  const SessionKeys keys = Keys();
  const auto request =
      BuildNtsRequest(ClientHeader(), Uid(), SealCookie(*server.set.current(), keys), 3, keys);
  const NtsServerRequest read = ReadNtsRequest(request, server.set);
  ASSERT_EQ(read.cookies_wanted, 4u);
  const auto header = ClientHeader();
  std::vector<uint8_t> reply;
  ASSERT_TRUE(BuildNtsReply(header, read, *server.set.current(), request.size(), &reply));
  EXPECT_EQ(VerifyNtsReply(reply, Uid(), keys)->cookies.size(), 4u);
  // Room for only two cookies.
  const size_t two = 48 + 36 + 40 + 2 * 108;
  ASSERT_TRUE(BuildNtsReply(header, read, *server.set.current(), two + 107, &reply));
  EXPECT_LE(reply.size(), two + 107);
  EXPECT_EQ(VerifyNtsReply(reply, Uid(), keys)->cookies.size(), 2u);
  ASSERT_TRUE(BuildNtsReply(header, read, *server.set.current(), 48 + 36 + 40, &reply));
  EXPECT_EQ(VerifyNtsReply(reply, Uid(), keys)->cookies.size(), 0u);
  EXPECT_FALSE(BuildNtsReply(header, read, *server.set.current(), 48 + 36 + 39, &reply));
}

TEST(NtsReply, ClientRefusesTamperedRepliesAndRepliesWithoutAuthenticator) {
  Server server;
  const SessionKeys keys = Keys();
  const auto request =
      BuildNtsRequest(ClientHeader(), Uid(), SealCookie(*server.set.current(), keys), 0, keys);
  const auto read = ReadNtsRequest(request, server.set);
  std::vector<uint8_t> reply;
  ASSERT_TRUE(BuildNtsReply(ClientHeader(), read, *server.set.current(), request.size(), &reply));
  for (size_t i = 0; i < reply.size(); ++i) {
    auto bad = reply;
    bad[i] ^= 0x01;
    EXPECT_FALSE(VerifyNtsReply(bad, Uid(), keys)) << "byte " << i;
  }
  std::vector<uint8_t> bare(reply.begin(), reply.begin() + 48);
  AppendExtensionField(&bare, kFieldUniqueIdentifier, Uid());
  EXPECT_FALSE(VerifyNtsReply(bare, Uid(), keys));
  SessionKeys other = keys;
  other.s2c[5] ^= 1;
  EXPECT_FALSE(VerifyNtsReply(reply, Uid(), other));
}

}  // namespace
}  // namespace mdl::nts
