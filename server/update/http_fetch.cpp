// The HTTP exchange of the update check: thin I/O around ResponseReader.
#include "server/update/http_fetch.h"

#include <utility>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>
#include <optional>

namespace mdl {
namespace {

namespace asio = boost::asio;
namespace ssl = boost::asio::ssl;
using tcp = asio::ip::tcp;

class Exchange : public HttpFetch, public std::enable_shared_from_this<Exchange> {
 public:
  Exchange(asio::io_context& io, Clock& clock, FetchRequest request, std::function<void(FetchResult)> done)
      : request_(std::move(request)),
        done_(std::move(done)),
        resolver_(io),
        timer_(clock.MakeTimer(io)),
        reader_(request_.body_limit),
        text_(BuildUpdateRequest(request_.path, request_.host.host_header, request_.version)),
        where_(request_.host.host_header) {
    if (request_.host.tls) {
      tls_context_.emplace(ssl::context::tls_client);
    } else {
      plain_.emplace(io);
    }
  }

  void Begin(asio::io_context& io) {
    std::weak_ptr<Exchange> weak = shared_from_this();
    timer_->Start(request_.timeout, [weak] {
      if (auto self = weak.lock())
        self->Finish("no complete answer from " + self->where_ + " within " +
                     std::to_string(std::chrono::duration_cast<std::chrono::seconds>(self->request_.timeout).count()) +
                     " s");
    });
    if (tls_context_ && !SetUpTls(io)) return;
    resolver_.async_resolve(request_.host.host, std::to_string(request_.host.port),
                            [self = shared_from_this()](const boost::system::error_code& ec,
                                                        tcp::resolver::results_type results) {
                              if (self->finished_) return;
                              if (ec) return self->Finish("cannot resolve " + self->request_.host.host + ": " + ec.message());
                              self->Connect(results);
                            });
  }

  void Cancel() override {
    done_ = nullptr;
    Finish("cancelled");
  }

 private:
  tcp::socket& Lowest() { return tls_ ? tls_->next_layer() : *plain_; }

  // The stream is made after its context is set up: an SSL object takes the
  // context's verification settings when it is created.
  bool SetUpTls(asio::io_context& io) {
    boost::system::error_code ec;
    tls_context_->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                                  ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1,
                              ec);
    if (!ec) tls_context_->set_verify_mode(ssl::verify_peer, ec);
    if (!ec) {
      if (request_.ca_file.empty()) {
        tls_context_->set_default_verify_paths(ec);
      } else {
        tls_context_->load_verify_file(request_.ca_file, ec);
      }
    }
    tls_.emplace(io, *tls_context_);
    if (ec) {
      Finish("cannot load the trusted certificates: " + ec.message());
      return false;
    }
    tls_->set_verify_mode(ssl::verify_peer);
    // The name the certificate must carry, and the name sent for virtual hosting.
    tls_->set_verify_callback(ssl::host_name_verification(request_.host.host));
    boost::system::error_code addr_ec;
    asio::ip::make_address(request_.host.host, addr_ec);
    if (addr_ec && !SSL_set_tlsext_host_name(tls_->native_handle(), request_.host.host.c_str())) {
      Finish("cannot set the TLS server name");
      return false;
    }
    return true;
  }

  void Connect(const tcp::resolver::results_type& results) {
    asio::async_connect(Lowest(), results,
                        [self = shared_from_this()](const boost::system::error_code& ec, const tcp::endpoint&) {
                          if (self->finished_) return;
                          if (ec) return self->Finish("cannot connect to " + self->where_ + ": " + ec.message());
                          if (self->tls_) {
                            self->Handshake();
                          } else {
                            self->Send();
                          }
                        });
  }

  void Handshake() {
    tls_->async_handshake(ssl::stream_base::client, [self = shared_from_this()](const boost::system::error_code& ec) {
      if (self->finished_) return;
      if (ec) return self->Finish("TLS with " + self->where_ + " failed: " + ec.message());
      self->Send();
    });
  }

  template <typename F>
  void WithStream(F f) {
    if (tls_) {
      f(*tls_);
    } else {
      f(*plain_);
    }
  }

  void Send() {
    WithStream([this](auto& stream) {
      asio::async_write(stream, asio::buffer(text_),
                        [self = shared_from_this()](const boost::system::error_code& ec, size_t) {
                          if (self->finished_) return;
                          if (ec) return self->Finish("cannot send the request to " + self->where_ + ": " + ec.message());
                          self->Read();
                        });
    });
  }

  void Read() {
    WithStream([this](auto& stream) {
      stream.async_read_some(asio::buffer(buffer_), [self = shared_from_this()](const boost::system::error_code& ec,
                                                                                 size_t n) {
        if (self->finished_) return;
        ResponseReader::State s = self->reader_.Feed(std::string_view(self->buffer_.data(), n));
        if (s == ResponseReader::State::kReading && ec) {
          // A TLS peer that closes without its close_notify may have been cut off.
          if (ec == asio::error::eof) {
            s = self->reader_.End();
          } else {
            return self->Finish("reading from " + self->where_ + " failed: " + ec.message());
          }
        }
        if (s == ResponseReader::State::kReading) return self->Read();
        if (s == ResponseReader::State::kFailed) return self->Finish(self->where_ + ": " + self->reader_.error());
        self->Finish("");
      });
    });
  }

  // Ends the exchange: `error` empty for a complete answer.
  void Finish(const std::string& error) {
    if (finished_) return;
    finished_ = true;
    timer_->Cancel();
    resolver_.cancel();
    if (tls_ || plain_) {
      boost::system::error_code ignored;
      Lowest().shutdown(tcp::socket::shutdown_both, ignored);
      Lowest().close(ignored);
    }
    if (!done_) return;
    FetchResult r;
    r.ok = error.empty();
    if (r.ok) {
      r.body = reader_.body();
    } else {
      r.error = error;
      r.too_large = reader_.too_large();
    }
    auto done = std::move(done_);
    done_ = nullptr;
    done(std::move(r));
  }

  FetchRequest request_;
  std::function<void(FetchResult)> done_;
  tcp::resolver resolver_;
  std::unique_ptr<Timer> timer_;
  std::optional<ssl::context> tls_context_;
  std::optional<ssl::stream<tcp::socket>> tls_;
  std::optional<tcp::socket> plain_;
  ResponseReader reader_;
  std::string text_;
  std::string where_;
  std::array<char, 16 * 1024> buffer_{};
  bool finished_ = false;
};

}  // namespace

std::shared_ptr<HttpFetch> HttpFetch::Start(asio::io_context& io, Clock& clock, FetchRequest request,
                                            std::function<void(FetchResult)> done) {
  auto e = std::make_shared<Exchange>(io, clock, std::move(request), std::move(done));
  e->Begin(io);
  return e;
}

}  // namespace mdl
