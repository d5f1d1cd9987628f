// Synchronisation through an NTS upstream (`nts://` list lines) on the
// manual clock: a scripted key exchange, and an NTS server on the test's
// network that checks each request and seals its replies independently of
// the engine's code. What does not authenticate never moves the clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "common/clock/secure_random.h"
#include "common/net/udp_socket.h"
#include "common/nts/aead.h"
#include "common/time/ntp_timestamp.h"
#include "engine_fixture.h"
#include "server/core/metrics_text.h"
#include "server/core/status_report.h"
#include "server/upstream/sntp_query.h"
#include "tests/support/fake_network.h"

namespace mdl::testing {
namespace {

constexpr uint16_t kUniqueId = 0x0104, kCookie = 0x0204, kPlaceholder = 0x0304, kAuthenticator = 0x0404;

uint16_t Be16(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint16_t>(b[at] << 8 | b[at + 1]);
}

void PutField(std::vector<uint8_t>& out, uint16_t type, const std::vector<uint8_t>& body) {
  const size_t padded = (body.size() + 3) / 4 * 4;
  const size_t length = 4 + padded;
  out.insert(out.end(), {static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type),
                         static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)});
  out.insert(out.end(), body.begin(), body.end());
  out.resize(out.size() + padded - body.size(), 0);
}

struct ParsedRequest {
  bool authentic = false;
  std::vector<uint8_t> unique_id;
  std::vector<std::vector<uint8_t>> cookies;
  size_t placeholders = 0;
};

// The NTS server: reads requests sealed with c2s, answers sealed with s2c.
class FakeNtsServer {
 public:
  FakeNtsServer(FakeNetwork& network, Clock& clock) : clock_(clock), port_(network.MakePort()) {
    port_->Bind(boost::asio::ip::address_v4::loopback(), 0);
    port_->Start(&inbox_);
    keys_.aead = nts::AeadId::kAesSivCmac256;
    keys_.c2s.assign(32, 0x11);
    keys_.s2c.assign(32, 0x22);
  }
  uint16_t port() const { return port_->local_port(); }
  bool has_mail() const { return !inbox_.got.empty(); }
  const nts::SessionKeys& keys() const { return keys_; }

  // A cookie the server made; the engine's requests must bring them back.
  std::vector<uint8_t> NewCookie() {
    std::vector<uint8_t> c(64, 0);
    ++made_;
    c[0] = static_cast<uint8_t>(made_ >> 8);
    c[1] = static_cast<uint8_t>(made_);
    return c;
  }

  // Takes the oldest datagram and reads it as an NTS request.
  std::optional<ParsedRequest> Receive() {
    std::optional<Received> r = inbox_.Take();
    if (!r) return std::nullopt;
    from_ = r->from;
    last_ = r->data;
    arrival_ = clock_.monotonic() - r->age;
    ParsedRequest p;
    if (last_.size() < 48) return p;
    size_t at = 48;
    while (last_.size() - at >= 4) {
      const uint16_t type = Be16(last_, at);
      const size_t length = Be16(last_, at + 2);
      if (length < 4 || length % 4 != 0 || length > last_.size() - at) return p;
      const std::vector<uint8_t> body(last_.begin() + static_cast<long>(at) + 4,
                                      last_.begin() + static_cast<long>(at + length));
      if (type == kUniqueId) p.unique_id = body;
      if (type == kCookie) p.cookies.push_back(body);
      if (type == kPlaceholder) ++p.placeholders;
      if (type == kAuthenticator) {
        const size_t nonce_len = Be16(body, 0), sealed_len = Be16(body, 2);
        const size_t nonce_padded = (nonce_len + 3) / 4 * 4;
        if (4 + nonce_padded + sealed_len > body.size()) return p;
        std::vector<uint8_t> plain;
        const std::span<const uint8_t> ad(last_.data(), at);
        p.authentic = nts::AeadOpen(keys_.aead, keys_.c2s, std::span(body).subspan(4, nonce_len), ad,
                                    std::span(body).subspan(4 + nonce_padded, sealed_len), &plain) &&
                      at + length == last_.size();
      }
      at += length;
    }
    return p;
  }

  // The reply to the last request: the time `ahead` of the true one, with
  // `fresh` cookies sealed in; `alter` changes one byte once sealed.
  std::vector<uint8_t> Reply(const ParsedRequest& p, UtcTime at, std::optional<size_t> alter = std::nullopt,
                             const nts::SessionKeys* keys = nullptr) {
    std::vector<uint8_t> r(48, 0);
    r[0] = 0x24;
    r[1] = 1;
    std::copy(last_.begin() + 40, last_.begin() + 48, r.begin() + 24);
    const auto stamp = NtpFromUtc(at).ToBytes();
    std::copy(stamp.begin(), stamp.end(), r.begin() + 32);
    std::copy(stamp.begin(), stamp.end(), r.begin() + 40);
    PutField(r, kUniqueId, p.unique_id);
    std::vector<uint8_t> plain;
    for (size_t i = 0; i < 1 + p.placeholders; ++i) PutField(plain, kCookie, NewCookie());
    std::vector<uint8_t> nonce(16);
    EXPECT_TRUE(FillSecureRandom(nonce));
    std::vector<uint8_t> sealed;
    const nts::SessionKeys& k = keys ? *keys : keys_;
    EXPECT_TRUE(nts::AeadSeal(k.aead, k.s2c, nonce, r, plain, &sealed));
    std::vector<uint8_t> body = {0, 16, static_cast<uint8_t>(sealed.size() >> 8),
                                 static_cast<uint8_t>(sealed.size())};
    body.insert(body.end(), nonce.begin(), nonce.end());
    body.insert(body.end(), sealed.begin(), sealed.end());
    PutField(r, kAuthenticator, body);
    if (alter) r[*alter] ^= 0x01;
    return r;
  }
  // A NAK: kiss "NTSN" echoing the identifier, unauthenticated.
  std::vector<uint8_t> Nak(const ParsedRequest& p) {
    std::vector<uint8_t> r(48, 0);
    r[0] = 0xE4;
    r[12] = 'N';
    r[13] = 'T';
    r[14] = 'S';
    r[15] = 'N';
    std::copy(last_.begin() + 40, last_.begin() + 48, r.begin() + 24);
    PutField(r, kUniqueId, p.unique_id);
    return r;
  }
  // A plain 48-byte reply echoing the request, as a server without NTS sends.
  std::vector<uint8_t> Plain(UtcTime at) {
    std::vector<uint8_t> r(48, 0);
    r[0] = 0x24;
    r[1] = 1;
    std::copy(last_.begin() + 40, last_.begin() + 48, r.begin() + 24);
    const auto stamp = NtpFromUtc(at).ToBytes();
    std::copy(stamp.begin(), stamp.end(), r.begin() + 40);
    return r;
  }
  void Send(const std::vector<uint8_t>& b) { port_->SendTo(b, from_); }
  const std::vector<uint8_t>& last() const { return last_; }

 private:
  Clock& clock_;
  std::unique_ptr<net::DatagramPort> port_;
  Inbox inbox_;
  net::Udp::endpoint from_;
  std::vector<uint8_t> last_;
  Nanoseconds arrival_{0};
  nts::SessionKeys keys_;
  int made_ = 0;
};

class NtsSyncTest : public EngineFixture {
 protected:
  NtsSyncTest() {
    make_port_ = network_.Maker();
    query_gap_ = std::chrono::milliseconds(1);
    nts_key_exchange_ = [this](boost::asio::io_context&, std::string host, uint16_t port, nts::KeTrust trust,
                               std::chrono::milliseconds timeout, std::function<void(nts::KeOutcome)> done) {
      ke_calls_.push_back({host, port, trust.ca_file, timeout});
      if (ke_silent_) {
        silent_done_.push_back(std::move(done));
        return;
      }
      nts::KeOutcome o;
      if (!ke_error_.empty()) {
        o.error = ke_error_;
        done(o);
        return;
      }
      o.ok = true;
      o.keys = server_.keys();
      for (int i = 0; i < ke_cookies_; ++i) {
        o.cookies.push_back(server_.NewCookie());
        given_.push_back(o.cookies.back());
      }
      o.ntp_server = "127.0.0.1";
      o.ntp_port = server_.port();
      done(o);
    };
  }

  void WriteList(const std::string& extra = "") {
    WriteSettings("\"SlewThresholdMs\"=\"0\"\n" + extra);
    std::ofstream f(home_ / "QOR_MDLS4.MDL");
    f << "h1\nh2\nh3\nh4\nh5\nnts://127.0.0.1:4460:::NTS upstream - NA:::2:::us\n";
  }
  void Deliver() {
    clock_.advance(network_.delay());
    handle_->Poll();
  }
  // Starts a synchronisation; the request as the server read it.
  std::optional<ParsedRequest> Query() {
    Do(cmd::SyncNow{});
    return Arrives();
  }
  std::optional<ParsedRequest> Arrives() {
    if (!PollUntil([&] { return network_.in_flight() > 0 || server_.has_mail(); })) return std::nullopt;
    if (network_.in_flight() > 0) Deliver();
    return server_.Receive();
  }
  UtcTime TrueNow() const { return UtcFromNs(kStartNs) + clock_.monotonic(); }

  struct KeCall {
    std::string host;
    uint16_t port;
    std::string ca_file;
    std::chrono::milliseconds timeout;
  };
  boost::asio::io_context network_io_;
  FakeNetwork network_{clock_, network_io_};
  FakeNtsServer server_{network_, clock_};
  std::vector<KeCall> ke_calls_;
  std::vector<std::vector<uint8_t>> given_;  // cookies the key exchanges gave
  std::string ke_error_;
  int ke_cookies_ = 8;
  bool ke_silent_ = false;
  std::vector<std::function<void(nts::KeOutcome)>> silent_done_;
};

TEST_F(NtsSyncTest, KeyExchangeThenAuthenticatedExchangesWithOneFreshCookieEach) {
  WriteList("\"NtsTrustedCertificates\"=\"/etc/test-ca.pem\"\n");
  StartEngine();
  auto p = Query();
  ASSERT_TRUE(p) << "no request reached the NTS server";
  ASSERT_EQ(ke_calls_.size(), 1u);
  EXPECT_EQ(ke_calls_[0].host, "127.0.0.1");
  EXPECT_EQ(ke_calls_[0].port, 4460);
  EXPECT_EQ(ke_calls_[0].ca_file, "/etc/test-ca.pem");
  EXPECT_GT(ke_calls_[0].timeout.count(), 0);
  EXPECT_TRUE(p->authentic) << "the request is sealed with the client-to-server key";
  EXPECT_EQ(p->unique_id.size(), 32u);
  ASSERT_EQ(p->cookies.size(), 1u);
  EXPECT_EQ(p->cookies[0], given_[0]) << "the oldest cookie first";
  EXPECT_EQ(server_.last()[0], 0x23) << "version 4: extension fields are NTPv4's";
  // 8 in hand, one used: the one in the reply brings them back to 8.
  EXPECT_EQ(p->placeholders, 0u);

  const UtcTime upstream_time = TrueNow() + std::chrono::seconds(500);
  server_.Send(server_.Reply(*p, upstream_time));
  Deliver();
  ASSERT_EQ(clock_.set_count(), 1);
  EXPECT_EQ(clock_.now() - upstream_time, std::chrono::milliseconds(1));
  EXPECT_TRUE(Diagnosed("authenticated by NTS"));
  auto s = Snap();
  EXPECT_TRUE(s->sync.upstream_nts);
  EXPECT_EQ(s->sync.nts_cookies, 8);
  EXPECT_NE(StatusText(*s).find("127.0.0.1 (NTS, 8 cookies)\n"), std::string::npos) << StatusText(*s);
  EXPECT_NE(StatusJson(*s).find("\"nts\":true,\"nts_cookies\":8"), std::string::npos);
  const std::string metrics = MetricsText(*s, "1");
  EXPECT_NE(metrics.find("meridel_upstream_nts 1\n"), std::string::npos) << metrics;
  EXPECT_NE(metrics.find("meridel_upstream_nts_key_exchanges_total{result=\"ok\"} 1\n"), std::string::npos);

  // The next synchronisation: no key exchange, the next cookie, a new identifier.
  Advance(std::chrono::seconds(1));
  auto q = Query();
  ASSERT_TRUE(q);
  EXPECT_EQ(ke_calls_.size(), 1u);
  EXPECT_TRUE(q->authentic);
  ASSERT_EQ(q->cookies.size(), 1u);
  EXPECT_EQ(q->cookies[0], given_[1]);
  EXPECT_NE(q->unique_id, p->unique_id);
  server_.Send(server_.Reply(*q, TrueNow() + std::chrono::seconds(500)));
  Deliver();
  EXPECT_EQ(clock_.set_count(), 2);
}

TEST_F(NtsSyncTest, FewCookiesAskForMoreWithinTheLargestDatagram) {
  ke_cookies_ = 2;
  WriteList();
  StartEngine();
  auto p = Query();
  ASSERT_TRUE(p && p->authentic);
  // Six placeholders would refill to 8, as many as fit go.
  EXPECT_GE(p->placeholders, 1u);
  EXPECT_LE(p->placeholders, 6u);
  EXPECT_LE(server_.last().size(), net::UdpSocket::kMaxDatagram);
  server_.Send(server_.Reply(*p, TrueNow()));
  Deliver();
  ASSERT_EQ(clock_.set_count(), 1);
  EXPECT_EQ(Snap()->sync.nts_cookies, static_cast<int>(2 + p->placeholders))
      << "one left, one back for the cookie used, one per placeholder";
}

TEST_F(NtsSyncTest, RepliesThatDoNotAuthenticateNeverMoveTheClock) {
  WriteList();
  StartEngine();
  auto p = Query();
  ASSERT_TRUE(p && p->authentic);
  const UtcTime t = TrueNow() + std::chrono::seconds(900);
  // One byte changed: in the header, in the identifier, in the sealed part.
  for (size_t at : {size_t{41}, size_t{60}, server_.Reply(*p, t).size() - 5}) {
    server_.Send(server_.Reply(*p, t, at));
    Deliver();
  }
  // Sealed with the wrong key; a plain reply echoing the query.
  nts::SessionKeys wrong = server_.keys();
  wrong.s2c[0] ^= 1;
  server_.Send(server_.Reply(*p, t, std::nullopt, &wrong));
  Deliver();
  server_.Send(server_.Plain(t));
  Deliver();
  EXPECT_EQ(clock_.set_count(), 0);
  auto s = Snap();
  EXPECT_EQ(s->sync.nts_auth_failures, 5u);
  EXPECT_TRUE(s->query_pending) << "the query waits on for an authentic reply";
  EXPECT_TRUE(Diagnosed("that NTS does not authenticate"));
  EXPECT_NE(StatusText(*s).find("5 replies not authentic (not used)"), std::string::npos) << StatusText(*s);
  EXPECT_NE(MetricsText(*s, "1").find("meridel_upstream_nts_unauthentic_total 5\n"), std::string::npos);
  // None of them was served as a client's request.
  EXPECT_EQ(s->counters.Get(Service::kNtp, Transport::kUdp), 0u);

  // The genuine reply, still within the time-out, is used.
  server_.Send(server_.Reply(*p, t));
  Deliver();
  EXPECT_EQ(clock_.set_count(), 1);
}

TEST_F(NtsSyncTest, NakStartsANewKeyExchange) {
  WriteList();
  StartEngine();
  auto p = Query();
  ASSERT_TRUE(p);
  server_.Send(server_.Nak(*p));
  Deliver();
  EXPECT_EQ(clock_.set_count(), 0);
  auto s = Snap();
  EXPECT_EQ(s->sync.nts_naks, 1u);
  EXPECT_FALSE(s->query_pending);
  EXPECT_TRUE(Diagnosed("NTS NAK"));
  // A NAK for another identifier is no NAK: it counts as not authentic.
  // The retry after the back-off starts with a key exchange.
  Advance(std::chrono::seconds(3), std::chrono::milliseconds(500));
  auto q = Arrives();
  ASSERT_TRUE(q);
  EXPECT_EQ(ke_calls_.size(), 2u);
  ASSERT_EQ(q->cookies.size(), 1u);
  EXPECT_EQ(q->cookies[0], given_[8]) << "the first cookie of the new exchange";
  ParsedRequest other = *q;
  other.unique_id[0] ^= 1;
  server_.Send(server_.Nak(other));
  Deliver();
  EXPECT_EQ(Snap()->sync.nts_naks, 1u);
  server_.Send(server_.Reply(*q, TrueNow()));
  Deliver();
  EXPECT_EQ(clock_.set_count(), 1);
}

TEST_F(NtsSyncTest, FailedKeyExchangeIsReportedAndSendsNothing) {
  ke_error_ = "TLS handshake: certificate verify failed";
  WriteList();
  StartEngine();
  Do(cmd::SyncNow{});
  Settle();
  EXPECT_EQ(network_.sent(), 0u) << "no plain query goes out";
  EXPECT_EQ(clock_.set_count(), 0);
  auto s = Snap();
  EXPECT_EQ(s->sync.failures, 1u);
  EXPECT_EQ(s->sync.nts_ke_failures, 1u);
  EXPECT_NE(s->sync.last_failure_text.find("certificate verify failed"), std::string::npos)
      << s->sync.last_failure_text;
  EXPECT_NE(StatusText(*s).find("(last: 127.0.0.1: TLS handshake: certificate verify failed)"),
            std::string::npos)
      << StatusText(*s);
  EXPECT_NE(MetricsText(*s, "1").find("meridel_upstream_nts_key_exchanges_total{result=\"failed\"} 1\n"),
            std::string::npos);
  EXPECT_TRUE(Diagnosed("NTS key exchange with 127.0.0.1 failed: TLS handshake"));
}

TEST_F(NtsSyncTest, PlainFallbackOnlyWhenAllowed) {
  ke_error_ = "connection refused";
  WriteList("\"NtsPlainFallback\"=\"YES\"\n");
  // The plain server on the key exchange host's port 123.
  Inbox inbox;
  auto plain = network_.MakePort();
  plain->Bind(boost::asio::ip::address_v4::loopback(), 123);
  plain->Start(&inbox);
  StartEngine();
  Do(cmd::SyncNow{});
  ASSERT_TRUE(PollUntil([&] { return network_.in_flight() > 0; }));
  Deliver();
  ASSERT_EQ(inbox.got.size(), 1u);
  const Received q = *inbox.Take();
  ASSERT_EQ(q.data.size(), 48u) << "a plain request";
  std::vector<uint8_t> r(48, 0);
  r[0] = 0x24;
  r[1] = 1;
  std::copy(q.data.begin() + 40, q.data.end(), r.begin() + 24);
  const auto stamp = NtpFromUtc(TrueNow() + std::chrono::seconds(30)).ToBytes();
  std::copy(stamp.begin(), stamp.end(), r.begin() + 40);
  plain->SendTo(r, q.from);
  Deliver();
  EXPECT_EQ(clock_.set_count(), 1);
  auto s = Snap();
  EXPECT_FALSE(s->sync.upstream_nts) << "the time is not said to be authenticated";
  EXPECT_EQ(StatusText(*s).find("(NTS,"), std::string::npos);
  EXPECT_TRUE(Diagnosed("as NtsPlainFallback allows"));
}

TEST_F(NtsSyncTest, SilentKeyExchangeAndUnansweredQueriesEndInTime) {
  ke_silent_ = true;
  WriteList();
  StartEngine();
  Do(cmd::SyncNow{});
  // The engine's guard ends it a second after the exchange's own time-out.
  Advance(kNtsKeTimeout + std::chrono::milliseconds(1500), std::chrono::milliseconds(500));
  ASSERT_EQ(ke_calls_.size(), 1u);
  auto s = Snap();
  EXPECT_FALSE(s->query_pending);
  EXPECT_EQ(s->sync.nts_ke_failures, 1u);
  EXPECT_NE(s->sync.nts_ke_error.find("no answer within"), std::string::npos);
  // The late outcome of the abandoned exchange changes nothing.
  nts::KeOutcome late;
  late.error = "late";
  silent_done_.front()(late);
  EXPECT_EQ(Snap()->sync.nts_ke_failures, 1u);

  // Queries unanswered kNtsFailuresBeforeKe times in a row: a new key
  // exchange (retries after 4, 8 and 16 s of back-off, each query timing out).
  ke_silent_ = false;
  ke_calls_.clear();
  // The back-off's retries (4, 8, 16 s) over virtual time, each name
  // look-up let finish on its thread before the clock moves on.
  size_t requests = 0;
  ParsedRequest last;
  for (int step = 0; step < 120 && ke_calls_.size() < 2; ++step) {
    clock_.advance(std::chrono::milliseconds(500));
    handle_->Poll();
    if (PollUntil([&] { return network_.in_flight() > 0; }, std::chrono::milliseconds(5))) {
      Deliver();
      while (auto r = server_.Receive()) {
        requests += r->authentic;
        last = *r;
      }
    }
  }
  EXPECT_EQ(ke_calls_.size(), 2u);
  // Three unanswered, then the new exchange's first request.
  EXPECT_EQ(requests, static_cast<size_t>(kNtsFailuresBeforeKe + 1));
  ASSERT_EQ(last.cookies.size(), 1u);
  EXPECT_EQ(last.cookies[0], given_.at(8)) << "a cookie of the new key exchange";
  EXPECT_EQ(clock_.set_count(), 0);
}

}  // namespace
}  // namespace mdl::testing
