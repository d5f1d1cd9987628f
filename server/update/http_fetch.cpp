// The HTTP exchange of the update check: thin I/O around ResponseReader.
#include "server/update/http_fetch.h"

#include <utility>

#include <array>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "common/net/client_stream.h"

namespace mdl {
namespace {

namespace asio = boost::asio;
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
    net::TlsPeer peer{request_.host.host, request_.extra_ca_file};
    stream_ = net::ClientStream::Make(io, request_.host.tls ? &peer : nullptr, &setup_error_);
  }

  void Begin() {
    std::weak_ptr<Exchange> weak = shared_from_this();
    timer_->Start(request_.timeout, [weak] {
      if (auto self = weak.lock())
        self->Finish(
            "no complete answer from " + self->where_ + " within " +
            std::to_string(std::chrono::duration_cast<std::chrono::seconds>(self->request_.timeout).count()) +
            " s");
    });
    if (!stream_) {
      Finish("HTTPS to " + where_ + ": " + setup_error_);
      return;
    }
    resolver_.async_resolve(
        request_.host.host, std::to_string(request_.host.port),
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
  void Connect(const tcp::resolver::results_type& results) {
    asio::async_connect(
        stream_->socket(), results,
        [self = shared_from_this()](const boost::system::error_code& ec, const tcp::endpoint&) {
          if (self->finished_) return;
          if (ec) return self->Finish("cannot connect to " + self->where_ + ": " + ec.message());
          self->Handshake();
        });
  }

  void Handshake() {
    stream_->Handshake([self = shared_from_this()](const boost::system::error_code& ec) {
      if (self->finished_) return;
      if (ec) {
        const std::string why = self->stream_->failure();
        return self->Finish("TLS with " + self->where_ + " failed: " + (why.empty() ? ec.message() : why));
      }
      self->Send();
    });
  }

  void Send() {
    stream_->Write(asio::buffer(text_), [self = shared_from_this()](const boost::system::error_code& ec) {
      if (self->finished_) return;
      if (ec) return self->Finish("cannot send the request to " + self->where_ + ": " + ec.message());
      self->Read();
    });
  }

  void Read() {
    stream_->ReadSome(
        asio::buffer(buffer_), [self = shared_from_this()](const boost::system::error_code& ec, size_t n) {
          if (self->finished_) return;
          ResponseReader::State s = self->reader_.Feed(std::string_view(self->buffer_.data(), n));
          if (s == ResponseReader::State::kReading && ec) {
            // A TLS peer that closes without its close_notify may have been cut off.
            if (ec == asio::error::eof) {
              s = self->reader_.End();
            } else {
              const std::string why = self->stream_->failure();
              return self->Finish("reading from " + self->where_ +
                                  " failed: " + (why.empty() ? ec.message() : why));
            }
          }
          if (s == ResponseReader::State::kReading) return self->Read();
          if (s == ResponseReader::State::kFailed)
            return self->Finish(self->where_ + ": " + self->reader_.error());
          self->Finish("");
        });
  }

  // Ends the exchange: `error` empty for a complete answer.
  void Finish(const std::string& error) {
    if (finished_) return;
    finished_ = true;
    timer_->Cancel();
    resolver_.cancel();
    if (stream_) {
      boost::system::error_code ignored;
      stream_->socket().shutdown(tcp::socket::shutdown_both, ignored);
      stream_->socket().close(ignored);
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
  std::unique_ptr<net::ClientStream> stream_;  // null when TLS could not be set up
  std::string setup_error_;
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
  e->Begin();
  return e;
}

}  // namespace mdl
