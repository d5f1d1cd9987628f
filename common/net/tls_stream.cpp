// The TLS client stream over OpenSSL.
#include "common/net/tls_stream.h"

#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>
#include <optional>

namespace mdl::net {
namespace {

namespace asio = boost::asio;
namespace ssl = boost::asio::ssl;
using tcp = asio::ip::tcp;

class TlsStream : public ClientStream {
 public:
  explicit TlsStream(asio::io_context& io) : io_(io), context_(ssl::context::tls_client) {}

  // The stream is made after its context is set up: an SSL object takes the
  // context's verification settings when it is created.
  bool SetUp(const TlsPeer& peer, std::string* why) {
    boost::system::error_code ec;
    context_.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                             ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1,
                         ec);
    if (!ec) context_.set_verify_mode(ssl::verify_peer, ec);
    // The system's store always counts; the extra file adds to it.
    if (!ec) context_.set_default_verify_paths(ec);
    if (ec) {
      stream_.emplace(io_, context_);
      *why = "cannot load the system's trusted certificates: " + ec.message();
      return false;
    }
    if (!peer.extra_ca_file.empty()) context_.load_verify_file(peer.extra_ca_file, ec);
    stream_.emplace(io_, context_);
    if (ec) {
      *why = "cannot load the trusted certificates: " + peer.extra_ca_file + ": " + ec.message();
      return false;
    }
    stream_->set_verify_mode(ssl::verify_peer);
    // The first fault found is kept in words: OpenSSL's handshake error says only "verify failed".
    stream_->set_verify_callback(
        [this, host = peer.host, name_check = ssl::host_name_verification(peer.host)](
            bool preverified, ssl::verify_context& ctx) mutable {
          X509_STORE_CTX* store = ctx.native_handle();
          if (!preverified) {
            if (failure_.empty())
              failure_ = std::string("certificate not trusted: ") +
                         X509_verify_cert_error_string(X509_STORE_CTX_get_error(store));
            return false;
          }
          if (X509_STORE_CTX_get_error_depth(store) > 0) return true;
          if (!name_check(true, ctx)) {
            if (failure_.empty()) failure_ = "certificate does not name " + host;
            return false;
          }
          return true;
        });
    boost::system::error_code addr_ec;
    asio::ip::make_address(peer.host, addr_ec);
    if (addr_ec && !SSL_set_tlsext_host_name(stream_->native_handle(), peer.host.c_str())) {
      *why = "cannot set the TLS server name";
      return false;
    }
    return true;
  }

  tcp::socket& socket() override { return stream_->next_layer(); }
  std::string failure() const override { return failure_; }
  void Handshake(Done done) override { stream_->async_handshake(ssl::stream_base::client, std::move(done)); }
  void Write(asio::const_buffer bytes, Done done) override {
    asio::async_write(
        *stream_, bytes,
        [done = std::move(done)](const boost::system::error_code& ec, std::size_t) { done(ec); });
  }
  void ReadSome(asio::mutable_buffer into, ReadDone done) override {
    stream_->async_read_some(into, std::move(done));
  }

 private:
  asio::io_context& io_;
  ssl::context context_;
  std::optional<ssl::stream<tcp::socket>> stream_;
  std::string failure_;
};

}  // namespace

std::unique_ptr<ClientStream> MakeTlsStream(asio::io_context& io, const TlsPeer& peer, std::string* why) {
  auto s = std::make_unique<TlsStream>(io);
  if (!s->SetUp(peer, why)) return nullptr;
  return s;
}

}  // namespace mdl::net
