// Authenticated NTP in the engine, on the manual clock and the test's
// network: requests made by the client side are answered with replies it
// verifies, bad ones get a NAK or nothing, the cookie keys survive a restart
// and rotate on the engine's clock.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "common/nts/cookie_keys.h"
#include "common/nts/ntp_auth.h"
#include "engine_fixture.h"
#include "server/core/nts_keys.h"
#include "tests/support/fake_network.h"

namespace mdl::testing {
namespace {

using namespace std::chrono_literals;

std::array<uint8_t, 48> Header(uint64_t stamp) {
  std::array<uint8_t, 48> h{};
  h[0] = 0x23;
  h[2] = 6;
  for (size_t i = 0; i < 8; ++i) h[40 + i] = static_cast<uint8_t>(stamp >> (56 - 8 * i));
  return h;
}

nts::SessionKeys Session(uint8_t seed = 0x31) {
  nts::SessionKeys k;
  k.c2s.assign(32, seed);
  k.s2c.assign(32, static_cast<uint8_t>(seed + 1));
  return k;
}

const std::vector<uint8_t> kUid(32, 0x77);

class NtsEngineTest : public EngineFixture {
 protected:
  NtsEngineTest() { make_port_ = network_.Maker(); }

  void Start(const std::string& extra = "") {
    WriteSettings("\"NtsCertificate\"=\"/etc/meridel/nts.pem\"\n\"NtsKey\"=\"/etc/meridel/nts.key\"\n" +
                  extra);
    StartEngine();
  }
  void Restart() {
    handle_.reset();
    StartEngine();
  }
  // Sends `request` from the client and returns what came back, if anything.
  std::optional<std::vector<uint8_t>> Ask(const std::vector<uint8_t>& request) {
    const net::Udp::endpoint server{boost::asio::ip::address_v4::loopback(), port(Service::kNtp)};
    client_->SendTo(request, server);
    for (int i = 0; i < 2; ++i) {
      clock_.advance(network_.delay());
      handle_->Poll();
    }
    auto r = inbox_.Take();
    if (!r) return std::nullopt;
    return r->data;
  }
  std::vector<uint8_t> NtsRequest(const std::vector<uint8_t>& cookie, size_t placeholders = 0,
                                  const nts::SessionKeys& keys = Session()) {
    return nts::BuildNtsRequest(Header(++stamp_), kUid, cookie, placeholders, keys);
  }
  std::vector<uint8_t> Cookie(const nts::SessionKeys& keys = Session()) {
    auto set = handle_->nts_cookie_keys();
    EXPECT_TRUE(set);
    return set ? nts::SealCookie(*set->current(), keys) : std::vector<uint8_t>{};
  }

  void SetUp() override {
    EngineFixture::SetUp();
    client_->Bind(boost::asio::ip::make_address("127.0.0.5"), 0);
    client_->Start(&inbox_);
  }

  boost::asio::io_context network_io_;
  FakeNetwork network_{clock_, network_io_};
  std::unique_ptr<net::DatagramPort> client_ = network_.MakePort();
  Inbox inbox_;
  uint64_t stamp_ = 0x1000;
};

TEST_F(NtsEngineTest, AnAuthenticRequestGetsAVerifiedReplyWithCookiesTheServerOpens) {
  Start();
  EXPECT_TRUE(Diagnosed("NTS on the NTP service"));
  MarkSynced();
  const auto keys = handle_->nts_cookie_keys();
  ASSERT_TRUE(keys);
  const auto request = NtsRequest(Cookie(), /*placeholders=*/2);
  const auto reply = Ask(request);
  ASSERT_TRUE(reply);
  EXPECT_LE(reply->size(), request.size());
  const auto verified = nts::VerifyNtsReply(*reply, kUid, Session());
  ASSERT_TRUE(verified);
  ASSERT_EQ(verified->cookies.size(), 3u);
  for (const auto& c : verified->cookies) {
    const auto opened = nts::OpenCookie(*keys, c);
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->s2c, Session().s2c);
  }
  // The header is the plain reply's: server mode, stratum, origin, a transmit stamp.
  EXPECT_EQ((*reply)[0] & 7, 4);
  EXPECT_NE((*reply)[1], 0);
  EXPECT_TRUE(std::equal(request.begin() + 40, request.begin() + 48, reply->begin() + 24));
  EXPECT_FALSE(std::all_of(reply->begin() + 40, reply->begin() + 48, [](uint8_t b) { return b == 0; }));

  // A fresh cookie from the reply works for the next request.
  const auto next = Ask(NtsRequest(verified->cookies[0]));
  ASSERT_TRUE(next);
  EXPECT_TRUE(nts::VerifyNtsReply(*next, kUid, Session()));
  const auto snap = Snap();
  EXPECT_EQ(snap->stats.nts_replies, 2u);
  EXPECT_EQ(snap->stats.nts_naks, 0u);

  // A plain request is answered as ever.
  std::vector<uint8_t> plain(48, 0);
  plain[0] = 0x23;
  plain[47] = 1;
  const auto plain_reply = Ask(plain);
  ASSERT_TRUE(plain_reply);
  EXPECT_EQ(plain_reply->size(), 48u);
}

TEST_F(NtsEngineTest, ARequestForEightCookiesIsReadWholeAndGetsWhatFitsAReply) {
  Start();
  MarkSynced();
  const auto request = NtsRequest(Cookie(), /*placeholders=*/7);
  ASSERT_EQ(request.size(), 988u);
  const auto reply = Ask(request);
  ASSERT_TRUE(reply);
  EXPECT_LE(reply->size(), 512u);
  const auto verified = nts::VerifyNtsReply(*reply, kUid, Session());
  ASSERT_TRUE(verified);
  EXPECT_EQ(verified->cookies.size(), 3u);
}

TEST_F(NtsEngineTest, OneFlippedByteNeverGetsAnAuthenticatedReply) {
  Start();
  MarkSynced();
  const auto cookie = Cookie();
  const auto good = NtsRequest(cookie);
  // In the header, the identifier, the cookie, the authenticator's nonce and tag.
  for (size_t at :
       {size_t{3}, size_t{47}, size_t{60}, size_t{90}, size_t{150}, size_t{200}, good.size() - 1}) {
    auto bad = good;
    bad[at] ^= 0x40;
    const auto reply = Ask(bad);
    if (reply) {
      EXPECT_FALSE(nts::VerifyNtsReply(*reply, kUid, Session())) << "byte " << at;
      EXPECT_EQ((*reply)[1], 0) << "only a NAK may answer, byte " << at;
    }
  }
  EXPECT_EQ(Snap()->stats.nts_replies, 0u);
  EXPECT_TRUE(Ask(good)) << "the unmodified request is still answered";
}

TEST_F(NtsEngineTest, AnUnknownCookieGetsANakWithTheIdentifier) {
  Start();
  MarkSynced();
  nts::CookieKey foreign = *nts::MakeCookieKey(424242, 0);
  const auto request = NtsRequest(nts::SealCookie(foreign, Session()));
  const auto reply = Ask(request);
  ASSERT_TRUE(reply);
  EXPECT_TRUE(nts::IsNtsNak(*reply, kUid));
  EXPECT_LE(reply->size(), request.size());
  EXPECT_FALSE(nts::VerifyNtsReply(*reply, kUid, Session()));
  const auto snap = Snap();
  EXPECT_EQ(snap->stats.nts_naks, 1u);
  EXPECT_EQ(snap->stats.nts_replies, 0u);
  EXPECT_EQ(snap->stats.kod_sent, 0u);
}

TEST_F(NtsEngineTest, NothingIsServedBeforeTheFirstSynchronisationNorWithNtsOff) {
  Start();
  const auto request = NtsRequest(Cookie());
  EXPECT_FALSE(Ask(request)) << "not synchronised";
  handle_.reset();

  WriteSettings();  // no certificate, no key: off
  StartEngine();
  MarkSynced();
  EXPECT_FALSE(handle_->nts_cookie_keys());
  EXPECT_FALSE(Ask(request)) << "with NTS off a longer datagram is dropped as before";
  EXPECT_EQ(Snap()->stats.nts_replies, 0u);
}

TEST_F(NtsEngineTest, CookiesSurviveARestartAndTheKeyFileIsOwnerOnly) {
  Start();
  MarkSynced();
  const auto cookie = Cookie();
  const auto first = handle_->nts_cookie_keys();
  Restart();
  MarkSynced();
  ASSERT_TRUE(handle_->nts_cookie_keys());
  EXPECT_EQ(handle_->nts_cookie_keys()->current()->key, first->current()->key);
  const auto reply = Ask(NtsRequest(cookie));
  ASSERT_TRUE(reply);
  EXPECT_TRUE(nts::VerifyNtsReply(*reply, kUid, Session()));

  struct stat st {};
  ASSERT_EQ(::stat((home_ / kNtsKeyFileName).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(NtsEngineTest, ACorruptKeyFileIsReportedAndReplaced) {
  {
    std::ofstream f(home_ / kNtsKeyFileName);
    f << "key 1 2 zz\n";
  }
  Start();
  EXPECT_TRUE(Diagnosed("unusable"));
  ASSERT_TRUE(handle_->nts_cookie_keys());
  std::string error;
  const auto saved = nts::ParseCookieKeys(ReadFile(home_ / kNtsKeyFileName), &error);
  ASSERT_TRUE(saved) << error;
  EXPECT_EQ(saved->current()->key, handle_->nts_cookie_keys()->current()->key);
}

TEST_F(NtsEngineTest, KeysRotateOnTheClockAndAnOldCookieIsRefusedAfterSevenPeriods) {
  Start("\"NtsKeyRotationHours\"=\"1\"\n");
  MarkSynced();
  const auto cookie = Cookie();
  const uint32_t first_id = handle_->nts_cookie_keys()->current()->id;

  Advance(6h + 30min, 5min);
  auto keys = handle_->nts_cookie_keys();
  EXPECT_EQ(keys->keys.size(), 7u);
  EXPECT_NE(keys->current()->id, first_id);
  EXPECT_TRUE(keys->find(first_id));
  auto reply = Ask(NtsRequest(cookie));
  ASSERT_TRUE(reply);
  EXPECT_TRUE(nts::VerifyNtsReply(*reply, kUid, Session())) << "six periods on: still accepted";
  // Rotated keys are saved as they come.
  std::string error;
  EXPECT_EQ(nts::ParseCookieKeys(ReadFile(home_ / kNtsKeyFileName), &error)->keys.size(), 7u);

  Advance(1h, 5min);
  keys = handle_->nts_cookie_keys();
  EXPECT_EQ(keys->keys.size(), 7u);
  EXPECT_FALSE(keys->find(first_id));
  reply = Ask(NtsRequest(cookie));
  ASSERT_TRUE(reply);
  EXPECT_TRUE(nts::IsNtsNak(*reply, kUid)) << "seven periods on: refused";
}

TEST_F(NtsEngineTest, RateLimitedRequestsGetNoKissAndTheBudgetHolds) {
  Start("\"NtpRateLimit\"=\"3:2:1\"\n");
  MarkSynced();
  const auto cookie = Cookie();
  int replies = 0, silent = 0;
  for (int i = 0; i < 8; ++i) {
    const auto request = NtsRequest(cookie);
    const auto reply = Ask(request);
    if (!reply) {
      ++silent;
      continue;
    }
    EXPECT_LE(reply->size(), request.size());
    EXPECT_TRUE(nts::VerifyNtsReply(*reply, kUid, Session())) << "no unauthenticated RATE kiss";
    ++replies;
  }
  EXPECT_GE(replies, 1);
  EXPECT_GE(silent, 1);
  const auto snap = Snap();
  EXPECT_EQ(snap->stats.kod_sent, 0u);
  EXPECT_EQ(snap->stats.nts_replies, static_cast<uint64_t>(replies));
  EXPECT_EQ(snap->stats.udp_dropped[Index(Service::kNtp)][Index(UdpDrop::kRateLimit)],
            static_cast<uint64_t>(silent));
}

}  // namespace
}  // namespace mdl::testing
