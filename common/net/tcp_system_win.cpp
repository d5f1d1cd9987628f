// The TCP listener's system side on Winsock. Winsock does not report a
// pending connection as readiness of the listening socket to Asio's wait on
// every system (Wine among them), so the wait is an accept (AcceptEx) whose
// connection is handed out first; the rest of the backlog is then taken with
// plain accepts. Ports are held with SO_EXCLUSIVEADDRUSE: SO_REUSEADDR would
// let another socket take the port over.
#include "common/net/tcp_system.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <boost/asio/post.hpp>
#include <cstring>

namespace mdl::net {

long SendSome(int fd, const uint8_t* data, size_t size) {
  const int n = ::send(static_cast<SOCKET>(fd), reinterpret_cast<const char*>(data),
                       static_cast<int>(std::min<size_t>(size, 1 << 30)), 0);
  if (n > 0) return n;
  if (n == SOCKET_ERROR && ::WSAGetLastError() == WSAEWOULDBLOCK) return 0;
  return -1;
}

void CloseDescriptor(int fd) { ::closesocket(static_cast<SOCKET>(fd)); }

void SetNoDelay(int fd) {
  BOOL one = TRUE;
  ::setsockopt(static_cast<SOCKET>(fd), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
               sizeof one);
}

void HoldPort(Tcp::acceptor& acceptor, boost::system::error_code&) {
  BOOL exclusive = TRUE;
  ::setsockopt(acceptor.native_handle(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
               reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
}

bool PortTaken(const boost::system::error_code& ec) {
  return ec == boost::asio::error::address_in_use || ec == boost::asio::error::access_denied;
}

void Accepted::Close() {
  boost::system::error_code ignored;
  if (socket) socket->close(ignored);
  if (fd >= 0) ::closesocket(static_cast<SOCKET>(fd));
  socket.reset();
  fd = -1;
}

struct AcceptQueue::Held {
  std::shared_ptr<Tcp::socket> socket;
  uint64_t generation = 0;  // advanced by Clear(): a later completion's connection is not ours to keep
};

AcceptQueue::AcceptQueue(boost::asio::io_context& io, Ready ready)
    : io_(io), ready_(std::make_shared<const Ready>(std::move(ready))), held_(std::make_shared<Held>()) {}
AcceptQueue::~AcceptQueue() { Clear(); }

void AcceptQueue::Wait(Tcp::acceptor& acceptor, uint64_t token) {
  if (held_->socket) {
    // Accepted before a pause: taken now that the listener runs again.
    boost::asio::post(io_, [ready = ready_, token] { (*ready)({}, token); });
    return;
  }
  auto incoming = std::make_shared<Tcp::socket>(io_);
  acceptor.async_accept(*incoming, [held = held_, generation = held_->generation, incoming, ready = ready_,
                                    token](const boost::system::error_code& ec) {
    if (!ec && generation == held->generation) {
      held->socket = incoming;
    } else {
      boost::system::error_code ignored;
      incoming->close(ignored);
    }
    (*ready)(ec, token);
  });
}

std::optional<Accepted> AcceptQueue::Take(Tcp::acceptor& acceptor, bool* out_of_resources) {
  for (;;) {
    Accepted a;
    if (held_->socket) {
      std::shared_ptr<Tcp::socket> first = std::move(held_->socket);
      boost::system::error_code ec;
      a.remote = first->remote_endpoint(ec);
      if (ec) {
        first->close(ec);
        continue;
      }
      a.socket = std::move(first);
      return a;
    }
    sockaddr_storage peer{};
    int peer_len = sizeof peer;
    const SOCKET accepted = ::accept(acceptor.native_handle(), reinterpret_cast<sockaddr*>(&peer), &peer_len);
    if (accepted == INVALID_SOCKET) {
      const int error = ::WSAGetLastError();
      if (error == WSAECONNRESET || error == WSAEINTR) continue;
      if (error == WSAEMFILE || error == WSAENOBUFS) *out_of_resources = true;
      return std::nullopt;  // backlog empty (or resources short)
    }
    u_long non_blocking = 1;
    ::ioctlsocket(accepted, FIONBIO, &non_blocking);
    // Socket handles fit in 32 bits (they are shared with 32-bit processes).
    a.fd = static_cast<int>(accepted);
    if (peer_len > 0 && static_cast<size_t>(peer_len) <= a.remote.capacity()) {
      std::memcpy(a.remote.data(), &peer, static_cast<size_t>(peer_len));
      a.remote.resize(static_cast<size_t>(peer_len));
    }
    return a;
  }
}

void AcceptQueue::Clear() {
  ++held_->generation;
  if (held_->socket) {
    boost::system::error_code ignored;
    held_->socket->close(ignored);
  }
  held_->socket.reset();
}

}  // namespace mdl::net
