// The update check over TLS against a loopback server with a certificate of
// a local CA made by the test: verified with that CA named by
// UpdateTrustedCertificates or in the system's store, refused with neither and
// for a certificate of another name, each with its reason.
#include <gtest/gtest.h>
#include <poll.h>

#include <utility>

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>
#include <cstdlib>
#include <optional>
#include <thread>

#include "common/clock/virtual_clock.h"
#include "server/update/update_check.h"
#include "tests/support/temp_dir.h"

namespace mdl {
namespace {

namespace asio = boost::asio;
namespace ssl = boost::asio::ssl;
using tcp = asio::ip::tcp;
using testing::TempDir;

// openssl: a CA, and a server certificate it signs for `san`.
bool MakeCertificates(const std::filesystem::path& dir, const std::string& san) {
  const std::string d = dir.string();
  const std::string cmd =
      "cd '" + d + "' && printf 'subjectAltName=" + san + "\\n' > ext && " +
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout ca.key -out ca.pem "
      "-days 2 -subj '/CN=Meridel test CA' >log 2>&1 && "
      "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout server.key -out "
      "server.csr "
      "-subj '/CN=test server' >>log 2>&1 && "
      "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 "
      "-extfile ext >>log 2>&1";
  return std::system(cmd.c_str()) == 0;
}

// Serves `body` over TLS to one connection after another until destroyed.
class TlsPeer {
 public:
  // `old_only`: TLS 1.0 and 1.1 only, which a client must refuse.
  TlsPeer(const std::filesystem::path& dir, std::string body, bool old_only = false)
      : body_(std::move(body)) {
    if (old_only) {
      SSL_CTX_set_security_level(context_.native_handle(), 0);
      SSL_CTX_set_min_proto_version(context_.native_handle(), TLS1_VERSION);
      SSL_CTX_set_max_proto_version(context_.native_handle(), TLS1_1_VERSION);
    }
    context_.use_certificate_chain_file((dir / "server.pem").string());
    context_.use_private_key_file((dir / "server.key").string(), ssl::context::pem);
    acceptor_.open(tcp::v4());
    acceptor_.bind(tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    acceptor_.listen();
    port_ = acceptor_.local_endpoint().port();
    thread_ = std::thread([this] { Serve(); });
  }
  ~TlsPeer() {
    stop_ = true;
    thread_.join();
  }
  uint16_t port() const { return port_; }

 private:
  void Serve() {
    while (!stop_) {
      pollfd p{acceptor_.native_handle(), POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      boost::system::error_code ec;
      ssl::stream<tcp::socket> s(io_, context_);
      acceptor_.accept(s.next_layer(), ec);
      if (ec) continue;
      timeval tv{2, 0};
      ::setsockopt(s.next_layer().native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      s.handshake(ssl::stream_base::server, ec);
      if (ec) continue;
      asio::streambuf request;
      asio::read_until(s, request, "\r\n\r\n", ec);
      if (ec) continue;
      const std::string reply =
          "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body_.size()) + "\r\n\r\n" + body_;
      asio::write(s, asio::buffer(reply), ec);
      s.shutdown(ec);
    }
  }

  std::string body_;
  asio::io_context io_;
  ssl::context context_{ssl::context::tls_server};
  tcp::acceptor acceptor_{io_};
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

struct Outcome {
  bool done = false;
  bool asked = false;
  std::vector<std::string> lines;
};

Outcome RunCheck(const std::filesystem::path& home, const std::string& host, const std::string& trusted) {
  asio::io_context io;
  VirtualClock clock{UtcFromNs(1'796'634'000'000'000'000)};
  Outcome out;
  UpdateCheckOptions o;
  o.home = home;
  o.version = "5.1.10";
  o.can_ask = true;
  UpdateHooks h;
  h.diagnostic = [&](const std::string& l) { out.lines.push_back(l); };
  h.ask = [&](const UpdateQuestion&) { out.asked = true; };
  UpdateCheck check(io, clock, o, h);
  check.Configure(host, "", trusted);
  check.Start();
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (check.running() && !out.asked && std::chrono::steady_clock::now() < end)
    io.run_for(std::chrono::milliseconds(5));
  out.done = !check.running() || out.asked;
  return out;
}

bool Has(const Outcome& o, const std::string& part) {
  for (const auto& l : o.lines)
    if (l.find(part) != std::string::npos) return true;
  return false;
}

TEST(UpdateOverTls, VerifiedAgainstTheTrustedCaAndTheHostName) {
  TempDir certs{"mdl-tls"};
  ASSERT_TRUE(MakeCertificates(certs.path(), "DNS:localhost,IP:127.0.0.1"))
      << "openssl failed (install the Debian package 'openssl'): " << testing::ReadFile(certs.path() / "log");
  TempDir home{"mdl-tls-home"};
  testing::WriteFile(home.path() / "QOR_MDLS4.MDL", "1\n2\n3\n4\n5\nh:::H - NA:::2:::x\n");  // 24 bytes
  TlsPeer peer(certs.path(), "MDL-:-5.1.10-:-a-:-b-:-999-:-c");
  const std::string ca = (certs.path() / "ca.pem").string();
  const std::string port = std::to_string(peer.port());

  // Trusted: the version file arrives and the list of another size is offered.
  for (const std::string& host : {"https://127.0.0.1:" + port, "https://localhost:" + port}) {
    Outcome ok = RunCheck(home.path(), host, ca);
    EXPECT_TRUE(ok.done && ok.asked) << host << ": " << (ok.lines.empty() ? "" : ok.lines.back());
  }
  // The system's store does not know the test's CA.
  Outcome untrusted = RunCheck(home.path(), "https://127.0.0.1:" + port, "");
  EXPECT_TRUE(untrusted.done && !untrusted.asked) << untrusted.done << untrusted.asked;
  EXPECT_TRUE(Has(untrusted, "TLS with 127.0.0.1:" + port + " failed: certificate not trusted"))
      << (untrusted.lines.empty() ? "" : untrusted.lines.back());
  // Plain HTTP to a TLS port is no answer either.
  Outcome plain = RunCheck(home.path(), "127.0.0.1:" + port, "");
  EXPECT_TRUE(plain.done && !plain.asked);
}

TEST(UpdateOverTls, CertificateOfAnotherNameIsRefused) {
  TempDir certs{"mdl-tls"};
  ASSERT_TRUE(MakeCertificates(certs.path(), "DNS:updates.other.example"))
      << "openssl failed: " << testing::ReadFile(certs.path() / "log");
  TempDir home{"mdl-tls-home"};
  TlsPeer peer(certs.path(), "MDL-:-5.1.10-:-a-:-b-:-999-:-c");
  Outcome wrong = RunCheck(home.path(), "https://localhost:" + std::to_string(peer.port()),
                           (certs.path() / "ca.pem").string());
  EXPECT_TRUE(wrong.done && !wrong.asked);
  EXPECT_TRUE(Has(wrong, "failed: certificate does not name localhost"))
      << (wrong.lines.empty() ? "" : wrong.lines.back());
  EXPECT_FALSE(std::filesystem::exists(home.path() / "QOR_MDLS4.MDL"));
}

TEST(UpdateOverTls, ProtocolsBeforeTls12AreRefused) {
  TempDir certs{"mdl-tls"};
  ASSERT_TRUE(MakeCertificates(certs.path(), "DNS:localhost"))
      << "openssl failed: " << testing::ReadFile(certs.path() / "log");
  TempDir home{"mdl-tls-home"};
  TlsPeer peer(certs.path(), "MDL-:-5.1.10-:-a-:-b-:-999-:-c", true);
  Outcome old = RunCheck(home.path(), "https://localhost:" + std::to_string(peer.port()),
                         (certs.path() / "ca.pem").string());
  EXPECT_TRUE(old.done && !old.asked);
  EXPECT_TRUE(Has(old, "TLS with localhost:" + std::to_string(peer.port()) + " failed"))
      << (old.lines.empty() ? "" : old.lines.back());
  EXPECT_FALSE(std::filesystem::exists(home.path() / "QOR_MDLS4.MDL"));
}

// OpenSSL's default paths honour SSL_CERT_FILE: the test's CA stands in for
// the system's store, set for the scope of the test only.
class SystemStoreFile {
 public:
  explicit SystemStoreFile(const std::filesystem::path& pem) {
    if (const char* old = std::getenv("SSL_CERT_FILE")) old_ = old;
    ::setenv("SSL_CERT_FILE", pem.c_str(), 1);
  }
  ~SystemStoreFile() {
    if (old_) {
      ::setenv("SSL_CERT_FILE", old_->c_str(), 1);
    } else {
      ::unsetenv("SSL_CERT_FILE");
    }
  }

 private:
  std::optional<std::string> old_;
};

TEST(UpdateOverTls, ExtraCertificatesAddToTheSystemStore) {
  TempDir certs{"mdl-tls"};
  TempDir other{"mdl-tls-other"};
  ASSERT_TRUE(MakeCertificates(certs.path(), "DNS:localhost"))
      << "openssl failed: " << testing::ReadFile(certs.path() / "log");
  ASSERT_TRUE(MakeCertificates(other.path(), "DNS:localhost"))
      << "openssl failed: " << testing::ReadFile(other.path() / "log");
  TempDir home{"mdl-tls-home"};
  testing::WriteFile(home.path() / "QOR_MDLS4.MDL", "1\n2\n3\n4\n5\nh:::H - NA:::2:::x\n");
  TlsPeer peer(certs.path(), "MDL-:-5.1.10-:-a-:-b-:-999-:-c");
  const std::string host = "https://localhost:" + std::to_string(peer.port());
  const std::string other_ca = (other.path() / "ca.pem").string();

  // Another CA in the value does not vouch for the server.
  Outcome alone = RunCheck(home.path(), host, other_ca);
  EXPECT_TRUE(alone.done && !alone.asked);
  EXPECT_TRUE(Has(alone, "certificate not trusted")) << (alone.lines.empty() ? "" : alone.lines.back());
  {
    // The server's CA in the system's store: accepted with an unrelated extra file too.
    SystemStoreFile system(certs.path() / "ca.pem");
    Outcome both = RunCheck(home.path(), host, other_ca);
    EXPECT_TRUE(both.done && both.asked) << (both.lines.empty() ? "" : both.lines.back());
    Outcome system_only = RunCheck(home.path(), host, "");
    EXPECT_TRUE(system_only.done && system_only.asked)
        << (system_only.lines.empty() ? "" : system_only.lines.back());
  }
  // A file that cannot be read is named with the reason; nothing is fetched.
  Outcome missing = RunCheck(home.path(), host, (home.path() / "absent.pem").string());
  EXPECT_TRUE(missing.done && !missing.asked);
  EXPECT_TRUE(Has(missing, "cannot load the trusted certificates: " + (home.path() / "absent.pem").string()))
      << (missing.lines.empty() ? "" : missing.lines.back());
}

}  // namespace
}  // namespace mdl
