// The TCP listener's system side on Linux: the wait is readiness of the
// listening socket, and the backlog is taken with accept4 as plain descriptors.
#include "common/net/tcp_system.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace mdl::net {

long SendSome(int fd, const uint8_t* data, size_t size) {
  for (;;) {
    const ssize_t n = ::send(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) return static_cast<long>(n);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    return -1;
  }
}

void CloseDescriptor(int fd) { ::close(fd); }

void SetNoDelay(int fd) {
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void HoldPort(Tcp::acceptor& acceptor, boost::system::error_code& ec) {
  acceptor.set_option(Tcp::acceptor::reuse_address(true), ec);
}

bool PortTaken(const boost::system::error_code& ec) { return ec == boost::asio::error::address_in_use; }

void Accepted::Close() {
  boost::system::error_code ignored;
  if (socket) socket->close(ignored);
  if (fd >= 0) ::close(fd);
  socket.reset();
  fd = -1;
}

struct AcceptQueue::Held {};

AcceptQueue::AcceptQueue(boost::asio::io_context& io, Ready ready)
    : io_(io), ready_(std::make_shared<const Ready>(std::move(ready))) {}
AcceptQueue::~AcceptQueue() = default;

void AcceptQueue::Wait(Tcp::acceptor& acceptor, uint64_t token) {
  acceptor.async_wait(Tcp::acceptor::wait_read,
                      [ready = ready_, token](const boost::system::error_code& ec) { (*ready)(ec, token); });
}

std::optional<Accepted> AcceptQueue::Take(Tcp::acceptor& acceptor, bool* out_of_resources) {
  for (;;) {
    sockaddr_storage peer{};
    socklen_t peer_len = sizeof peer;
    const int fd = ::accept4(acceptor.native_handle(), reinterpret_cast<sockaddr*>(&peer), &peer_len,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) *out_of_resources = true;
      return std::nullopt;  // backlog empty (or resources short)
    }
    Accepted a;
    a.fd = fd;
    if (peer_len <= a.remote.capacity()) {
      std::memcpy(a.remote.data(), &peer, peer_len);
      a.remote.resize(peer_len);
    }
    return a;
  }
}

void AcceptQueue::Clear() {}

}  // namespace mdl::net
