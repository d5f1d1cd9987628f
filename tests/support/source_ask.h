// Bounded blocking clients that send from a chosen local address (127.0.0.2,
// ::1, ...) to a loopback port: one UDP datagram and its reply, or one TCP
// connection read until the peer closes. Every call ends within its time-out.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/unique_fd.h"

namespace mdl::testing {

struct SourceAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;
};

// "127.0.0.2" or "::1" with a port; length 0 when the text is no address.
inline SourceAddress MakeSourceAddress(const std::string& text, uint16_t port) {
  SourceAddress a;
  if (text.find(':') == std::string::npos) {
    auto& in = reinterpret_cast<sockaddr_in&>(a.storage);
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    if (::inet_pton(AF_INET, text.c_str(), &in.sin_addr) == 1) a.length = sizeof in;
  } else {
    auto& in6 = reinterpret_cast<sockaddr_in6&>(a.storage);
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(port);
    if (::inet_pton(AF_INET6, text.c_str(), &in6.sin6_addr) == 1) a.length = sizeof in6;
  }
  return a;
}

// A socket of `type` bound to `from` (any port); invalid when that failed.
inline UniqueFd SocketFrom(const std::string& from, int type) {
  const SourceAddress a = MakeSourceAddress(from, 0);
  if (a.length == 0) return UniqueFd();
  UniqueFd s(::socket(a.storage.ss_family, type | SOCK_CLOEXEC, 0));
  if (s.valid() && ::bind(s.get(), reinterpret_cast<const sockaddr*>(&a.storage), a.length) != 0) s.Reset();
  return s;
}

inline bool Readable(int fd, std::chrono::milliseconds timeout) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, static_cast<int>(timeout.count())) == 1;
}

// Sends `request` from `from` to `to`:port; the first reply within `timeout`, if any.
inline std::optional<std::vector<uint8_t>> UdpAskFrom(const std::string& from, const std::string& to,
                                                      uint16_t port, const std::vector<uint8_t>& request,
                                                      std::chrono::milliseconds timeout) {
  UniqueFd s = SocketFrom(from, SOCK_DGRAM);
  const SourceAddress dest = MakeSourceAddress(to, port);
  if (!s.valid() || dest.length == 0) return std::nullopt;
  if (::sendto(s.get(), request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&dest.storage),
               dest.length) < 0)
    return std::nullopt;
  if (!Readable(s.get(), timeout)) return std::nullopt;
  std::vector<uint8_t> reply(2048);
  const ssize_t n = ::recv(s.get(), reply.data(), reply.size(), 0);
  if (n < 0) return std::nullopt;
  reply.resize(static_cast<size_t>(n));
  return reply;
}

struct TcpFromReply {
  std::vector<uint8_t> data;      // everything read
  bool closed_by_server = false;  // end of stream or reset within the time-out
};

// Connects from `from` to `to`:port, sends `request` (when not empty) and
// reads until the peer closes, `stop_after` bytes came or `timeout` passed.
// nullopt when the connection failed.
inline std::optional<TcpFromReply> TcpAskFrom(const std::string& from, const std::string& to, uint16_t port,
                                              const std::vector<uint8_t>& request,
                                              std::chrono::milliseconds timeout,
                                              size_t stop_after = SIZE_MAX) {
  UniqueFd s = SocketFrom(from, SOCK_STREAM);
  const SourceAddress dest = MakeSourceAddress(to, port);
  if (!s.valid() || dest.length == 0) return std::nullopt;
  if (::connect(s.get(), reinterpret_cast<const sockaddr*>(&dest.storage), dest.length) != 0)
    return std::nullopt;
  if (!request.empty()) (void)::send(s.get(), request.data(), request.size(), MSG_NOSIGNAL);
  TcpFromReply r;
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (r.data.size() < stop_after) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !Readable(s.get(), left)) break;
    uint8_t buf[512];
    const ssize_t n = ::recv(s.get(), buf, sizeof buf, 0);
    if (n <= 0) {
      r.closed_by_server = true;
      break;
    }
    r.data.insert(r.data.end(), buf, buf + n);
  }
  return r;
}

}  // namespace mdl::testing
