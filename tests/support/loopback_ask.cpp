// Bounded loopback clients: poll() with a deadline around every wait.
#include "tests/support/loopback_ask.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tests/support/ports.h"

namespace mdl::testing {

namespace {

using Steady = std::chrono::steady_clock;

// 127.0.0.1:port, or [::1]:port.
socklen_t LoopbackAddress(uint16_t port, bool v6, sockaddr_storage& out) {
  out = {};
  if (!v6) {
    const sockaddr_in a = Loopback(port);
    std::memcpy(&out, &a, sizeof a);
    return sizeof a;
  }
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_port = htons(port);
  a.sin6_addr = in6addr_loopback;
  std::memcpy(&out, &a, sizeof a);
  return sizeof a;
}

milliseconds Left(Steady::time_point end) {
  return std::max(milliseconds(0), std::chrono::duration_cast<milliseconds>(end - Steady::now()));
}

template <typename Buffer>
std::optional<Buffer> Udp(uint16_t port, const void* request, size_t size, milliseconds timeout, bool v6) {
  UniqueFd s(::socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_storage to;
  const socklen_t to_len = LoopbackAddress(port, v6, to);
  // Connected: only the peer's replies count, and a refusal ends the wait at once.
  if (!s.valid() || ::connect(s.get(), reinterpret_cast<sockaddr*>(&to), to_len) != 0) return std::nullopt;
  if (::send(s.get(), request, size, 0) != static_cast<ssize_t>(size)) return std::nullopt;
  if (!WaitReadable(s.get(), timeout)) return std::nullopt;
  Buffer reply(65536, 0);
  const ssize_t n = ::recv(s.get(), reply.data(), reply.size(), 0);
  if (n < 0) return std::nullopt;
  reply.resize(static_cast<size_t>(n));
  return reply;
}

template <typename Buffer>
std::optional<BasicTcpReply<Buffer>> Tcp(uint16_t port, const void* request, size_t size,
                                         milliseconds timeout, size_t stop_after, bool v6) {
  const auto end = Steady::now() + timeout;
  UniqueFd s = TcpConnect(port, timeout, v6);
  if (!s.valid()) return std::nullopt;
  if (size > 0 && ::send(s.get(), request, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size))
    return std::nullopt;
  BasicTcpReply<Buffer> reply;
  char buf[4096];
  while (reply.data.size() < stop_after && WaitReadable(s.get(), Left(end))) {
    const ssize_t n = ::recv(s.get(), buf, std::min(sizeof buf, stop_after - reply.data.size()), 0);
    if (n == 0) reply.closed_by_server = true;
    if (n <= 0) break;
    reply.data.insert(reply.data.end(), buf, buf + n);
  }
  return reply;
}

}  // namespace

bool WaitReadable(int fd, milliseconds timeout) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, static_cast<int>(timeout.count())) == 1;
}

std::optional<Bytes> UdpAsk(uint16_t port, const Bytes& request, milliseconds timeout, bool v6) {
  return Udp<Bytes>(port, request.data(), request.size(), timeout, v6);
}

std::optional<std::string> UdpAskText(uint16_t port, std::string_view request, milliseconds timeout,
                                      bool v6) {
  return Udp<std::string>(port, request.data(), request.size(), timeout, v6);
}

UniqueFd TcpConnect(uint16_t port, milliseconds timeout, bool v6) {
  UniqueFd s(::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!s.valid()) return UniqueFd();
  sockaddr_storage to;
  const socklen_t to_len = LoopbackAddress(port, v6, to);
  if (::connect(s.get(), reinterpret_cast<sockaddr*>(&to), to_len) != 0) {
    if (errno != EINPROGRESS) return UniqueFd();
    pollfd p{s.get(), POLLOUT, 0};
    int err = 0;
    socklen_t len = sizeof err;
    if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1 ||
        ::getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0)
      return UniqueFd();
  }
  ::fcntl(s.get(), F_SETFL, ::fcntl(s.get(), F_GETFL) & ~O_NONBLOCK);
  return s;
}

std::optional<TcpReply> TcpAsk(uint16_t port, const Bytes& request, milliseconds timeout, size_t stop_after,
                               bool v6) {
  return Tcp<Bytes>(port, request.data(), request.size(), timeout, stop_after, v6);
}

std::optional<TcpTextReply> TcpAskText(uint16_t port, std::string_view request, milliseconds timeout,
                                       size_t stop_after, bool v6) {
  return Tcp<std::string>(port, request.data(), request.size(), timeout, stop_after, v6);
}

}  // namespace mdl::testing
