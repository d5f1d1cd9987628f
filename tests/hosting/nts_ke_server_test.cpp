// The key establishment server and client on loopback, with a CA made at
// test time: keys and cookies agreed, what the TLS layer refuses, hostile
// clients cut off, certificate errors in words, reloads.
#include "server/hosting/nts_ke_server.h"

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>

#include "common/nts/ke_client.h"
#include "common/nts/ke_records.h"
#include "common/nts/tls_ke.h"
#include "tests/support/temp_dir.h"

namespace mdl::service {
namespace {

namespace asio = boost::asio;
namespace ssl = boost::asio::ssl;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;
using testing::TempDir;
using WallClock = std::chrono::steady_clock;

// openssl: a CA in `dir` and a server certificate it signs for `san`
// (ca.pem, server.pem, server.key).
void MakeCa(const std::filesystem::path& dir, const std::string& san) {
  const std::string cmd =
      "cd '" + dir.string() + "' && printf 'subjectAltName=" + san + "\\n' > ext && " +
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout ca.key -out ca.pem "
      "-days 2 -subj '/CN=Meridel NTS test CA' >log 2>&1 && "
      "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout server.key -out "
      "server.csr "
      "-subj '/CN=nts test server' >>log 2>&1 && "
      "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 "
      "-extfile ext >>log 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << "openssl failed: " << testing::ReadFile(dir / "log");
}

NtsKeConfig ConfigIn(const std::filesystem::path& dir) {
  return {(dir / "server.pem").string(), (dir / "server.key").string(), ""};
}

std::shared_ptr<const nts::CookieKeySet> TwoKeys() {
  auto set = std::make_shared<nts::CookieKeySet>();
  set->keys.push_back(*nts::MakeCookieKey(7, 2000));
  set->keys.push_back(*nts::MakeCookieKey(6, 1000));
  return set;
}

// Our client, once, on an io_context of its own (bounded by its timeout).
nts::KeOutcome Exchange(uint16_t port, const std::filesystem::path& ca, std::string host = "127.0.0.1") {
  asio::io_context io;
  std::optional<nts::KeOutcome> got;
  nts::AsyncKeExchange(io, host, port, nts::KeTrust{ca.string(), false}, 5000ms,
                       [&got](nts::KeOutcome o) { got = std::move(o); });
  io.run_for(20s);
  EXPECT_TRUE(got) << "no outcome";
  return got.value_or(nts::KeOutcome{});
}

// A hand-made TLS client: what it could do and what came back.
struct RawResult {
  bool handshake = false;
  std::vector<uint8_t> received;
  bool closed = false;  // the server ended the connection
  WallClock::duration took{};
};
RawResult RawClient(uint16_t port, const std::function<void(SSL_CTX*)>& configure, std::vector<uint8_t> send,
                    bool tls = true) {
  asio::io_context io;
  ssl::context ctx(ssl::context::tls_client);
  SSL_CTX_set_verify(ctx.native_handle(), SSL_VERIFY_NONE, nullptr);
  if (configure) configure(ctx.native_handle());
  ssl::stream<tcp::socket> stream(io, ctx);
  RawResult out;
  const auto start = WallClock::now();
  std::array<uint8_t, 4096> chunk{};
  std::function<void()> read = [&] {
    stream.async_read_some(asio::buffer(chunk), [&](const boost::system::error_code& ec, size_t n) {
      out.received.insert(out.received.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n));
      if (ec) {
        out.closed = true;
        out.took = WallClock::now() - start;
        return;
      }
      read();
    });
  };
  std::function<void()> read_plain = [&] {
    stream.next_layer().async_read_some(asio::buffer(chunk),
                                        [&](const boost::system::error_code& ec, size_t n) {
                                          if (ec) {
                                            out.closed = true;
                                            out.took = WallClock::now() - start;
                                            return;
                                          }
                                          (void)n;
                                          read_plain();
                                        });
  };
  stream.next_layer().async_connect(
      {asio::ip::make_address("127.0.0.1"), port}, [&](boost::system::error_code ec) {
        if (ec) return;
        if (!tls) {
          asio::async_write(stream.next_layer(), asio::buffer(send),
                            [&](boost::system::error_code, size_t) {});
          return read_plain();
        }
        stream.async_handshake(ssl::stream_base::client, [&](boost::system::error_code ec) {
          if (ec) {
            out.closed = true;
            out.took = WallClock::now() - start;
            return;
          }
          out.handshake = true;
          if (!send.empty())
            asio::async_write(stream, asio::buffer(send), [](boost::system::error_code, size_t) {});
          read();
        });
      });
  io.run_for(20s);
  return out;
}

void OfferAlpn(SSL_CTX* ctx, std::string_view name) {
  std::vector<unsigned char> list{static_cast<unsigned char>(name.size())};
  list.insert(list.end(), name.begin(), name.end());
  SSL_CTX_set_alpn_protos(ctx, list.data(), static_cast<unsigned>(list.size()));
}

class NtsKeServerTest : public ::testing::Test {
 protected:
  void SetUp() override { MakeCa(ca_.path(), "IP:127.0.0.1,DNS:localhost"); }

  // Starts the server on an ephemeral loopback port.
  void Start(NtsKeServerOptions options = {}, NtsKeConfig config = {}) {
    if (config.certificate.empty()) config = ConfigIn(ca_.path());
    NtsKeHooks hooks;
    hooks.cookie_keys = [this] {
      std::lock_guard lock(mu_);
      return keys_;
    };
    hooks.ntp_port = [this] { return ntp_port_.load(); };
    hooks.admit = [this](const asio::ip::address&) { return admit_.load(); };
    hooks.on_keys = [this](const nts::SessionKeys& k) {
      std::lock_guard lock(mu_);
      server_keys_.push_back(k);
    };
    server_ = std::make_unique<NtsKeServer>(hooks, options);
    std::string why;
    ASSERT_TRUE(server_->Open(config, asio::ip::make_address("127.0.0.1"), 0, &why)) << why;
    ASSERT_NE(server_->port(), 0);
  }

  TempDir ca_{"mdl-ntske"};
  std::mutex mu_;
  std::shared_ptr<const nts::CookieKeySet> keys_ = TwoKeys();
  std::vector<nts::SessionKeys> server_keys_;
  std::atomic<uint16_t> ntp_port_{123};
  std::atomic<bool> admit_{true};
  std::unique_ptr<NtsKeServer> server_;
};

TEST_F(NtsKeServerTest, ClientGetsEightCookiesAndTheServersKeys) {
  Start();
  const nts::KeOutcome out = Exchange(server_->port(), ca_.path() / "ca.pem");
  ASSERT_TRUE(out.ok) << out.error;
  ASSERT_EQ(out.cookies.size(), 8u);
  EXPECT_EQ(out.keys.aead, nts::SupportedAeads().front());
  EXPECT_EQ(out.keys.c2s.size(), nts::AeadKeyLength(out.keys.aead));
  EXPECT_NE(out.keys.c2s, out.keys.s2c);
  EXPECT_EQ(out.ntp_server, "127.0.0.1");
  EXPECT_EQ(out.ntp_port, 123);  // no Port record for the standard port
  {
    std::lock_guard lock(mu_);
    ASSERT_EQ(server_keys_.size(), 1u);
    EXPECT_EQ(server_keys_[0].c2s, out.keys.c2s);
    EXPECT_EQ(server_keys_[0].s2c, out.keys.s2c);
  }
  // Every cookie is sealed with the newest key, carries these keys, and differs from the others.
  for (size_t i = 0; i < out.cookies.size(); ++i) {
    const auto opened = nts::OpenCookie(*keys_, out.cookies[i]);
    ASSERT_TRUE(opened) << i;
    EXPECT_EQ(opened->c2s, out.keys.c2s);
    EXPECT_EQ(opened->s2c, out.keys.s2c);
    EXPECT_EQ(out.cookies[i][3], 7) << "sealed with key 7, the newest";
    for (size_t j = 0; j < i; ++j) EXPECT_NE(out.cookies[i], out.cookies[j]);
  }
  // A second session has keys of its own.
  const nts::KeOutcome again = Exchange(server_->port(), ca_.path() / "ca.pem");
  ASSERT_TRUE(again.ok) << again.error;
  EXPECT_NE(again.keys.c2s, out.keys.c2s);
}

// The client context (the costly part: the trusted certificates) is made
// once per trust configuration; a CA file that changes gives a new one.
TEST_F(NtsKeServerTest, ClientContextIsReusedUntilTheCaFileChanges) {
  Start();
  const auto ca = ca_.path() / "ca.pem";
  const uint64_t before = nts::KeClientTlsContextsMade();
  ASSERT_TRUE(Exchange(server_->port(), ca).ok);
  ASSERT_TRUE(Exchange(server_->port(), ca).ok);
  EXPECT_LE(nts::KeClientTlsContextsMade() - before, 1u) << "two exchanges, one context at most";
  std::string why;
  const auto first = nts::SharedKeClientTls(ca.string(), false, &why);
  ASSERT_TRUE(first) << why;
  const uint64_t made = nts::KeClientTlsContextsMade();
  EXPECT_EQ(nts::SharedKeClientTls(ca.string(), false, &why), first);
  EXPECT_EQ(nts::KeClientTlsContextsMade(), made);

  // Another CA in the same file: the next exchange trusts it, not the old one.
  TempDir other("mdl-ntske-other");
  MakeCa(other.path(), "IP:127.0.0.1");
  const std::string original = testing::ReadFile(ca);
  const auto stamp = std::filesystem::last_write_time(ca);
  std::filesystem::copy_file(other.path() / "ca.pem", ca, std::filesystem::copy_options::overwrite_existing);
  std::filesystem::last_write_time(ca, stamp + 5s);
  const nts::KeOutcome refused = Exchange(server_->port(), ca);
  EXPECT_FALSE(refused.ok);
  EXPECT_NE(refused.error.find("certificate verify failed"), std::string::npos) << refused.error;
  EXPECT_EQ(nts::KeClientTlsContextsMade(), made + 1);

  // The right CA back (same size as before the change, newer time): trusted again.
  {
    std::ofstream out(ca, std::ios::binary | std::ios::trunc);
    out << original;
  }
  std::filesystem::last_write_time(ca, stamp + 10s);
  EXPECT_TRUE(Exchange(server_->port(), ca).ok);
  EXPECT_EQ(nts::KeClientTlsContextsMade(), made + 2);
  const auto now = nts::SharedKeClientTls(ca.string(), false, &why);
  EXPECT_NE(now, first);
  EXPECT_EQ(nts::KeClientTlsContextsMade(), made + 2);

  // The system store flag is part of the configuration.
  EXPECT_NE(nts::SharedKeClientTls(ca.string(), true, &why), now);
  EXPECT_EQ(nts::KeClientTlsContextsMade(), made + 3);
  // A file that cannot be read gives no context and is not remembered.
  EXPECT_FALSE(nts::SharedKeClientTls((other.path() / "missing.pem").string(), false, &why));
  EXPECT_NE(why.find("missing.pem"), std::string::npos) << why;
}

TEST_F(NtsKeServerTest, PortAndServerRecordsOnlyWhenTheyTellSomething) {
  ntp_port_ = 1123;
  NtsKeConfig config = ConfigIn(ca_.path());
  config.ntp_server = "ntp.example.net";
  Start({}, config);
  const nts::KeOutcome out = Exchange(server_->port(), ca_.path() / "ca.pem");
  ASSERT_TRUE(out.ok) << out.error;
  EXPECT_EQ(out.ntp_port, 1123);
  EXPECT_EQ(out.ntp_server, "ntp.example.net");
}

TEST_F(NtsKeServerTest, WithoutCookieKeysTheClientHearsOfAnInternalError) {
  keys_ = nullptr;
  Start();
  const nts::KeOutcome out = Exchange(server_->port(), ca_.path() / "ca.pem");
  EXPECT_FALSE(out.ok);
  EXPECT_EQ(out.error, "server sent error 2 (internal server error)");
}

TEST_F(NtsKeServerTest, CertificateProblemsAreNamed) {
  Start();
  TempDir other("mdl-ntske-other");
  MakeCa(other.path(), "IP:127.0.0.1");
  const nts::KeOutcome wrong_ca = Exchange(server_->port(), other.path() / "ca.pem");
  EXPECT_FALSE(wrong_ca.ok);
  EXPECT_NE(wrong_ca.error.find("TLS handshake: certificate verify failed"), std::string::npos)
      << wrong_ca.error;

  // Trusted CA, but the certificate does not name the host asked for.
  TempDir address_only("mdl-ntske-address");
  MakeCa(address_only.path(), "IP:127.0.0.1");
  std::string why;
  ASSERT_TRUE(server_->Reload(ConfigIn(address_only.path()), &why)) << why;
  const nts::KeOutcome wrong_name = Exchange(server_->port(), address_only.path() / "ca.pem", "localhost");
  EXPECT_FALSE(wrong_name.ok);
  EXPECT_NE(wrong_name.error.find("certificate verify failed"), std::string::npos) << wrong_name.error;

  // Nobody listening, a missing CA file.
  const uint16_t port = server_->port();
  server_->Close();
  const nts::KeOutcome refused = Exchange(port, ca_.path() / "ca.pem");
  EXPECT_NE(refused.error.find("cannot connect to 127.0.0.1:" + std::to_string(port)), std::string::npos)
      << refused.error;
  const nts::KeOutcome no_file = Exchange(port, ca_.path() / "missing.pem");
  EXPECT_NE(no_file.error.find("cannot read the trusted certificates file"), std::string::npos)
      << no_file.error;
}

TEST_F(NtsKeServerTest, HandshakesWithoutNtskeOrBelowTls13AreRefused) {
  Start();
  const auto alpn = [](SSL_CTX* ctx) { OfferAlpn(ctx, "ntske/1"); };
  const RawResult good = RawClient(server_->port(), alpn, nts::BuildKeRequest(std::vector<uint16_t>{15}));
  ASSERT_TRUE(good.handshake);
  const nts::KeParse parse = nts::ParseKeMessage(good.received);
  ASSERT_EQ(parse.state, nts::KeParse::State::kComplete);
  EXPECT_EQ(parse.records.size(), 2u + 8u + 1u);

  EXPECT_FALSE(RawClient(server_->port(), nullptr, {}).handshake) << "no ALPN";
  EXPECT_FALSE(RawClient(server_->port(), [](SSL_CTX* ctx) { OfferAlpn(ctx, "http/1.1"); }, {}).handshake);
  EXPECT_FALSE(RawClient(server_->port(),
                         [](SSL_CTX* ctx) {
                           OfferAlpn(ctx, "ntske/1");
                           SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
                         },
                         {})
                   .handshake)
      << "TLS 1.2";
}

TEST_F(NtsKeServerTest, BadRequestsGetErrorRecords) {
  Start();
  const auto alpn = [](SSL_CTX* ctx) { OfferAlpn(ctx, "ntske/1"); };
  std::vector<uint8_t> unknown_critical;
  const uint16_t ntp = 0;
  nts::AppendKeRecord(&unknown_critical, true, nts::KeRecordType::kNextProtocol, nts::KeU16List({&ntp, 1}));
  nts::AppendKeRecord(&unknown_critical, true, 0x4321, {});
  nts::AppendKeRecord(&unknown_critical, true, nts::KeRecordType::kEndOfMessage, {});
  const std::vector<uint8_t> no_protocol = nts::BuildKeError(0);  // an Error record from a client
  // Too much: records without an end, beyond the message limit.
  std::vector<uint8_t> flood;
  while (flood.size() <= nts::kKeMessageLimit)
    nts::AppendKeRecord(&flood, false, nts::KeRecordType::kNewCookie, std::vector<uint8_t>(1000, 1));
  const struct {
    std::vector<uint8_t> request;
    uint16_t error;
  } cases[] = {{unknown_critical, 0}, {no_protocol, 1}, {flood, 1}};
  for (const auto& c : cases) {
    const RawResult r = RawClient(server_->port(), alpn, c.request);
    ASSERT_TRUE(r.handshake);
    EXPECT_TRUE(r.closed);
    const nts::KeParse parse = nts::ParseKeMessage(r.received);
    ASSERT_EQ(parse.state, nts::KeParse::State::kComplete);
    ASSERT_EQ(parse.records.size(), 2u);
    EXPECT_EQ(parse.records[0].type, static_cast<uint16_t>(nts::KeRecordType::kError));
    EXPECT_EQ(parse.records[0].body, nts::KeU16List({&c.error, 1}));
  }
}

TEST_F(NtsKeServerTest, SilentClientsAndCrowdsAreCutOffInBoundedTime) {
  Start({.deadline = 300ms, .max_connections = 1});
  const auto alpn = [](SSL_CTX* ctx) { OfferAlpn(ctx, "ntske/1"); };
  // TLS done, then nothing: closed at the deadline.
  const RawResult silent = RawClient(server_->port(), alpn, {});
  EXPECT_TRUE(silent.handshake);
  EXPECT_TRUE(silent.closed);
  EXPECT_GE(silent.took, 250ms);
  EXPECT_LT(silent.took, 5s);
  // Not even a TLS hello.
  const RawResult mute = RawClient(server_->port(), nullptr, {}, false);
  EXPECT_TRUE(mute.closed);
  EXPECT_LT(mute.took, 5s);

  // One connection holds the only place; the next is closed at once.
  asio::io_context io;
  tcp::socket holder(io);
  holder.connect({asio::ip::make_address("127.0.0.1"), server_->port()});
  std::this_thread::sleep_for(50ms);  // let the server accept it
  const RawResult turned_away = RawClient(server_->port(), alpn, {});
  EXPECT_FALSE(turned_away.handshake);
  EXPECT_LT(turned_away.took, 250ms);
  holder.close();

  // Refused by the access lists: closed at once as well.
  admit_ = false;
  const RawResult denied = RawClient(server_->port(), alpn, {});
  EXPECT_FALSE(denied.handshake);
  EXPECT_TRUE(denied.closed);
  admit_ = true;
  EXPECT_TRUE(Exchange(server_->port(), ca_.path() / "ca.pem").ok);
}

TEST_F(NtsKeServerTest, LoadErrorsSayWhatIsWrong) {
  NtsKeServer server(NtsKeHooks{});
  const std::filesystem::path d = ca_.path();
  ASSERT_TRUE(testing::WriteFile(d / "junk.pem", "not a certificate\n"));
  const struct {
    NtsKeConfig config;
    std::string part;
  } cases[] = {
      {{(d / "none.pem").string(), (d / "server.key").string(), ""}, "cannot read the certificate file"},
      {{(d / "server.pem").string(), (d / "none.key").string(), ""}, "cannot read the key file"},
      {{(d / "junk.pem").string(), (d / "server.key").string(), ""}, "holds no usable PEM certificate"},
      {{(d / "server.pem").string(), (d / "junk.pem").string(), ""}, "holds no usable PEM private key"},
      {{(d / "server.pem").string(), (d / "ca.key").string(), ""}, "does not match the certificate"},
  };
  for (const auto& c : cases) {
    std::string why;
    EXPECT_FALSE(server.Open(c.config, asio::ip::make_address("127.0.0.1"), 0, &why));
    EXPECT_NE(why.find(c.part), std::string::npos) << why;
    EXPECT_EQ(server.port(), 0);
  }
  // A port already taken.
  Start();
  std::string why;
  EXPECT_FALSE(server.Open(ConfigIn(d), asio::ip::make_address("127.0.0.1"), server_->port(), &why));
  EXPECT_FALSE(why.empty());
}

TEST_F(NtsKeServerTest, ReloadTakesARenewedCertificateAndKeepsTheOldOneOnFailure) {
  Start();
  TempDir renewed("mdl-ntske-renewed");
  MakeCa(renewed.path(), "IP:127.0.0.1");
  std::string why;
  EXPECT_FALSE(server_->Reload(
      {(renewed.path() / "server.pem").string(), (ca_.path() / "server.key").string(), ""}, &why));
  EXPECT_NE(why.find("does not match"), std::string::npos) << why;
  EXPECT_TRUE(Exchange(server_->port(), ca_.path() / "ca.pem").ok) << "the old certificate stays";

  ASSERT_TRUE(server_->Reload(ConfigIn(renewed.path()), &why)) << why;
  EXPECT_TRUE(Exchange(server_->port(), renewed.path() / "ca.pem").ok);
  EXPECT_FALSE(Exchange(server_->port(), ca_.path() / "ca.pem").ok);
}

TEST(NtsKeClientTest, AServerThatSaysNothingEndsInTheTimeOut) {
  asio::io_context io;
  tcp::acceptor quiet(io, {asio::ip::make_address("127.0.0.1"), 0});
  tcp::socket held(io);
  quiet.async_accept(held, [](const boost::system::error_code&) {});
  std::optional<nts::KeOutcome> got;
  const auto start = WallClock::now();
  nts::AsyncKeExchange(io, "127.0.0.1", quiet.local_endpoint().port(), nts::KeTrust{"", true}, 300ms,
                       [&got](nts::KeOutcome o) { got = std::move(o); });
  io.run_for(10s);
  ASSERT_TRUE(got);
  EXPECT_FALSE(got->ok);
  EXPECT_EQ(got->error, "timed out after 300 ms while in the TLS handshake");
  EXPECT_LT(WallClock::now() - start, 5s);
}

}  // namespace
}  // namespace mdl::service
