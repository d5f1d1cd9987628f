// MetricsEndpoint over Boost.Asio: an acceptor and its connections, all on
// the endpoint's own thread.
#include "server/hosting/metrics_endpoint.h"

// First: Boost 1.74's coroutine headers use std::exchange without including <utility>.
#include <utility>

#include <array>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/write.hpp>
#include <string>
#include <thread>

#include "common/clock/timer.h"
#include "common/net/tcp_system.h"

namespace mdl::service {
namespace {

using boost::asio::ip::tcp;
using ErrorCode = boost::system::error_code;

}  // namespace

struct MetricsEndpoint::Impl {
  Impl(MetricsSource s, MetricsEndpointOptions o) : source(std::move(s)), options(o) {}

  // One connection: read the head, write the response, then read what the
  // client still sends until it closes (so that a response is not cut off
  // by a reset), all within the deadline.
  struct Connection : std::enable_shared_from_this<Connection> {
    Connection(Impl& impl, tcp::socket s)
        : owner(impl), socket(std::move(s)), deadline(MakeAsioTimer(*impl.io)) {}
    ~Connection() { --owner.open; }

    void Start() {
      std::weak_ptr<Connection> weak = shared_from_this();
      deadline->Start(owner.options.deadline, [weak] {
        if (auto self = weak.lock()) self->Shut();
      });
      Read();
    }
    void Read() {
      socket.async_read_some(
          boost::asio::buffer(chunk),
          [self = shared_from_this()](const ErrorCode& ec, size_t n) { self->OnRead(ec, n); });
    }
    void OnRead(const ErrorCode& ec, size_t n) {
      if (ec) return Shut();
      if (responded) return Read();  // draining until the client closes
      const size_t room = owner.options.request_limit - request.size();
      request.append(chunk.data(), std::min(n, room));
      const HttpRequestHead head = ParseHttpRequestHead(request, owner.options.request_limit);
      if (head.state == HttpRequestHead::State::kIncomplete) return Read();
      Respond(MetricsResponse(head, owner.source));
    }
    void Respond(std::string text) {
      responded = true;
      request.clear();
      request.shrink_to_fit();
      response = std::move(text);
      boost::asio::async_write(socket, boost::asio::buffer(response),
                               [self = shared_from_this()](const ErrorCode& ec, size_t) {
                                 if (ec) return self->Shut();
                                 ErrorCode ignored;
                                 self->socket.shutdown(tcp::socket::shutdown_send, ignored);
                                 self->response.clear();
                                 self->response.shrink_to_fit();
                                 self->Read();
                               });
    }
    void Shut() {
      deadline->Cancel();
      ErrorCode ignored;
      socket.close(ignored);
    }

    Impl& owner;
    tcp::socket socket;
    std::unique_ptr<Timer> deadline;
    std::array<char, 2048> chunk{};
    std::string request;
    std::string response;
    bool responded = false;
  };

  void Accept() {
    acceptor->async_accept([this](const ErrorCode& ec, tcp::socket s) {
      if (ec == boost::asio::error::operation_aborted || !acceptor->is_open()) return;
      if (ec) {
        // Out of descriptors or memory: try again a little later rather than spin.
        retry->Start(std::chrono::milliseconds(100), [this] { Accept(); });
        return;
      }
      if (open >= options.max_connections) {
        ErrorCode ignored;
        s.close(ignored);
      } else {
        ++open;
        std::make_shared<Connection>(*this, std::move(s))->Start();
      }
      Accept();
    });
  }

  MetricsSource source;
  MetricsEndpointOptions options;
  size_t open = 0;  // connections alive (on the endpoint's thread)
  uint16_t port = 0;
  std::unique_ptr<boost::asio::io_context> io;
  std::unique_ptr<tcp::acceptor> acceptor;
  std::unique_ptr<Timer> retry;
  std::thread thread;
};

MetricsEndpoint::MetricsEndpoint(MetricsSource source, MetricsEndpointOptions options)
    : impl_(std::make_unique<Impl>(std::move(source), options)) {}

MetricsEndpoint::~MetricsEndpoint() { Close(); }

std::error_code MetricsEndpoint::Open(const boost::asio::ip::address& address, uint16_t port) {
  Close();
  Impl& m = *impl_;
  m.io = std::make_unique<boost::asio::io_context>(1);
  m.acceptor = std::make_unique<tcp::acceptor>(*m.io);
  m.retry = MakeAsioTimer(*m.io);
  const tcp::endpoint where(address, port);
  ErrorCode ec;
  m.acceptor->open(where.protocol(), ec);
  if (!ec) net::HoldPort(*m.acceptor, ec);
  if (!ec && address.is_v6()) m.acceptor->set_option(boost::asio::ip::v6_only(false), ec);
  if (!ec) m.acceptor->bind(where, ec);
  if (!ec) m.acceptor->listen(64, ec);
  if (!ec) m.port = m.acceptor->local_endpoint(ec).port();
  if (ec) {
    m.retry.reset();
    m.acceptor.reset();
    m.io.reset();
    m.port = 0;
    return std::error_code(ec.value(), ec.category());
  }
  m.Accept();
  m.thread = std::thread([io = m.io.get()] { io->run(); });
  return {};
}

uint16_t MetricsEndpoint::port() const { return impl_->port; }

void MetricsEndpoint::Close() {
  Impl& m = *impl_;
  if (!m.io) return;
  m.io->stop();
  if (m.thread.joinable()) m.thread.join();
  // The acceptor first, then the loop with the connections its handlers hold.
  m.retry.reset();
  m.acceptor.reset();
  m.io.reset();
  m.port = 0;
}

}  // namespace mdl::service
