// The key establishment client over Boost.Asio and OpenSSL.
#include "common/nts/ke_client.h"

// First: Boost 1.74's coroutine headers use std::exchange without including <utility>.
#include <utility>

#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <array>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>
#include <memory>
#include <optional>

#include "common/clock/timer.h"
#include "common/nts/ke_records.h"
#include "common/nts/tls_ke.h"

namespace mdl::nts {
namespace {

namespace asio = boost::asio;
namespace ssl = boost::asio::ssl;
using tcp = asio::ip::tcp;
using ErrorCode = boost::system::error_code;

class Exchange : public std::enable_shared_from_this<Exchange> {
 public:
  Exchange(asio::io_context& io, std::string host, uint16_t port, std::chrono::milliseconds timeout,
           std::function<void(KeOutcome)> done)
      : io_(io),
        host_(std::move(host)),
        port_(port),
        timeout_(timeout),
        done_(std::move(done)),
        resolver_(io),
        deadline_(MakeAsioTimer(io)) {}

  void Start(const KeTrust& trust) {
    std::string why;
    context_ = SharedKeClientTls(trust.ca_file, trust.system_store, &why);
    if (!context_) return Fail(why);
    for (AeadId a : SupportedAeads()) offered_.push_back(static_cast<uint16_t>(a));
    if (offered_.empty()) return Fail("no AEAD algorithm available");
    stream_.emplace(io_, *context_);
    if (!NameThePeer()) return;
    std::weak_ptr<Exchange> weak = shared_from_this();
    deadline_->Start(timeout_, [weak] {
      if (auto self = weak.lock())
        self->Fail("timed out after " + std::to_string(self->timeout_.count()) + " ms while " + self->stage_);
    });
    stage_ = "resolving " + host_;
    resolver_.async_resolve(host_, std::to_string(port_),
                            [self = shared_from_this()](const ErrorCode& ec, tcp::resolver::results_type r) {
                              self->OnResolved(ec, std::move(r));
                            });
  }

 private:
  // The server's certificate must name the host (or address) asked for; a
  // name also goes out as the server name indication.
  bool NameThePeer() {
    SSL* s = stream_->native_handle();
    ErrorCode ec;
    asio::ip::make_address(host_, ec);
    if (!ec) {
      if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(s), host_.c_str()) != 1) {
        Fail("cannot verify against the address " + host_);
        return false;
      }
      return true;
    }
    if (SSL_set1_host(s, host_.c_str()) != 1 || SSL_set_tlsext_host_name(s, host_.c_str()) != 1) {
      Fail("cannot verify against the name " + host_);
      return false;
    }
    return true;
  }

  void OnResolved(const ErrorCode& ec, tcp::resolver::results_type results) {
    if (finished_) return;
    if (ec) return Fail("cannot resolve " + host_ + ": " + ec.message());
    stage_ = "connecting to " + Where();
    asio::async_connect(
        stream_->next_layer(), results,
        [self = shared_from_this()](const ErrorCode& ec, const tcp::endpoint&) { self->OnConnected(ec); });
  }

  void OnConnected(const ErrorCode& ec) {
    if (finished_) return;
    if (ec) return Fail("cannot connect to " + Where() + ": " + ec.message());
    stage_ = "in the TLS handshake";
    stream_->async_handshake(ssl::stream_base::client,
                             [self = shared_from_this()](const ErrorCode& ec) { self->OnHandshake(ec); });
  }

  void OnHandshake(const ErrorCode& ec) {
    if (finished_) return;
    SSL* s = stream_->native_handle();
    if (ec) {
      const long verify = SSL_get_verify_result(s);
      if (verify != X509_V_OK)
        return Fail(std::string("TLS handshake: certificate verify failed (") +
                    X509_verify_cert_error_string(verify) + ")");
      return Fail("TLS handshake: " + ec.message());
    }
    if (!AgreedOnKe(s)) return Fail("TLS handshake: the server did not agree on ntske/1");
    request_ = BuildKeRequest(offered_);
    stage_ = "sending the request";
    asio::async_write(*stream_, asio::buffer(request_),
                      [self = shared_from_this()](const ErrorCode& ec, size_t) { self->OnWritten(ec); });
  }

  void OnWritten(const ErrorCode& ec) {
    if (finished_) return;
    if (ec) return Fail("cannot send the request: " + ec.message());
    stage_ = "waiting for the response";
    Read();
  }

  void Read() {
    stream_->async_read_some(
        asio::buffer(chunk_),
        [self = shared_from_this()](const ErrorCode& ec, size_t n) { self->OnRead(ec, n); });
  }

  void OnRead(const ErrorCode& ec, size_t n) {
    if (finished_) return;
    response_.insert(response_.end(), chunk_.begin(), chunk_.begin() + static_cast<std::ptrdiff_t>(n));
    const KeParse parse = ParseKeMessage(response_);
    if (parse.state == KeParse::State::kMalformed) return Fail("malformed response: " + parse.error);
    if (parse.state == KeParse::State::kIncomplete) {
      if (ec)
        return Fail("the server closed the connection before the end of its response (" + ec.message() + ")");
      return Read();
    }
    const KeResponseFacts facts = InterpretKeResponse(parse.records, offered_);
    if (!facts.ok) return Fail(facts.error);
    KeOutcome out;
    if (!ExportSessionKeys(stream_->native_handle(), static_cast<AeadId>(facts.aead), &out.keys))
      return Fail("cannot export the session keys");
    out.ok = true;
    out.cookies = facts.cookies;
    out.ntp_server = facts.server.empty() ? host_ : facts.server;
    out.ntp_port = facts.port.value_or(123);
    Finish(std::move(out));
  }

  std::string Where() const {
    const bool v6 = host_.find(':') != std::string::npos;
    return (v6 ? "[" + host_ + "]" : host_) + ":" + std::to_string(port_);
  }

  void Fail(std::string error) {
    KeOutcome out;
    out.error = std::move(error);
    Finish(std::move(out));
  }

  void Finish(KeOutcome out) {
    if (finished_) return;
    finished_ = true;
    deadline_->Cancel();
    resolver_.cancel();
    if (stream_) {
      ErrorCode ignored;
      stream_->lowest_layer().close(ignored);
    }
    // Called from the loop, never from inside Start.
    asio::post(io_, [done = std::move(done_), out = std::move(out)]() mutable { done(std::move(out)); });
  }

  asio::io_context& io_;
  std::string host_;
  uint16_t port_;
  std::chrono::milliseconds timeout_;
  std::function<void(KeOutcome)> done_;
  tcp::resolver resolver_;
  std::unique_ptr<Timer> deadline_;
  std::shared_ptr<ssl::context> context_;
  std::optional<ssl::stream<tcp::socket>> stream_;
  std::vector<uint16_t> offered_;
  std::vector<uint8_t> request_;
  std::vector<uint8_t> response_;
  std::array<uint8_t, 4096> chunk_{};
  std::string stage_ = "starting";
  bool finished_ = false;
};

}  // namespace

void AsyncKeExchange(asio::io_context& io, std::string host, uint16_t port, KeTrust trust,
                     std::chrono::milliseconds timeout, std::function<void(KeOutcome)> done) {
  auto exchange = std::make_shared<Exchange>(io, std::move(host), port, timeout, std::move(done));
  exchange->Start(trust);
}

}  // namespace mdl::nts
