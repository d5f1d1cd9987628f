// HttpFetch without TLS, for the build that has no TLS library (the Windows
// cross build): plain HTTP as in http_fetch.cpp; an HTTPS request fails at once
// with the reason.
#include "server/update/http_fetch.h"

#include <utility>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <optional>

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
    plain_.emplace(io);
  }

  void Begin() {
    std::weak_ptr<Exchange> weak = shared_from_this();
    timer_->Start(request_.timeout, [weak] {
      if (auto self = weak.lock())
        self->Finish("no complete answer from " + self->where_ + " within " +
                     std::to_string(std::chrono::duration_cast<std::chrono::seconds>(self->request_.timeout).count()) +
                     " s");
    });
    if (request_.host.tls) {
      Finish("HTTPS to " + where_ + " is not available: this build has no TLS library");
      return;
    }
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
  tcp::socket& Lowest() { return *plain_; }

  void Connect(const tcp::resolver::results_type& results) {
    asio::async_connect(Lowest(), results,
                        [self = shared_from_this()](const boost::system::error_code& ec, const tcp::endpoint&) {
                          if (self->finished_) return;
                          if (ec) return self->Finish("cannot connect to " + self->where_ + ": " + ec.message());
                          self->Send();
                        });
  }

  void Send() {
    {
      tcp::socket& stream = *plain_;
      asio::async_write(stream, asio::buffer(text_),
                        [self = shared_from_this()](const boost::system::error_code& ec, size_t) {
                          if (self->finished_) return;
                          if (ec) return self->Finish("cannot send the request to " + self->where_ + ": " + ec.message());
                          self->Read();
                        });
    }
  }

  void Read() {
    {
      tcp::socket& stream = *plain_;
      stream.async_read_some(asio::buffer(buffer_), [self = shared_from_this()](const boost::system::error_code& ec,
                                                                                 size_t n) {
        if (self->finished_) return;
        ResponseReader::State s = self->reader_.Feed(std::string_view(self->buffer_.data(), n));
        if (s == ResponseReader::State::kReading && ec) {
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
    }
  }

  // Ends the exchange: `error` empty for a complete answer.
  void Finish(const std::string& error) {
    if (finished_) return;
    finished_ = true;
    timer_->Cancel();
    resolver_.cancel();
    if (plain_) {
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
  e->Begin();
  return e;
}

}  // namespace mdl
