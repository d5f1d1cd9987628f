// A scripted HTTP server on a free loopback port for the update tests: it
// answers connections one at a time on its own thread with the pieces its
// handler returns (sent as separate writes), or stalls until it is destroyed.
#pragma once

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/ports.h"

namespace mdl::testing {

struct PeerReply {
  std::vector<std::string> pieces;
  bool stall = false;  // send the pieces, then stay silent until the client closes
};

// "HTTP/1.1 200 OK" with Content-Length and `body`.
inline PeerReply Ok(const std::string& body) {
  return {{"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body}};
}

class HttpPeer {
 public:
  using Handler = std::function<PeerReply(const std::string& request)>;

  explicit HttpPeer(Handler handler) : handler_(std::move(handler)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = Loopback(0);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    ::listen(fd_, 16);
    thread_ = std::thread([this] { Serve(); });
  }
  ~HttpPeer() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
  }
  HttpPeer(const HttpPeer&) = delete;
  HttpPeer& operator=(const HttpPeer&) = delete;

  uint16_t port() const { return port_; }
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
  std::vector<std::string> requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  bool Wait(int fd, short events, int ms) {
    pollfd p{fd, events, 0};
    return ::poll(&p, 1, ms) > 0;
  }
  void Serve() {
    while (!stop_) {
      if (!Wait(fd_, POLLIN, 20)) continue;
      int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      int one = 1;
      ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      std::string request;
      char buf[4096];
      const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (request.find("\r\n\r\n") == std::string::npos && std::chrono::steady_clock::now() < end &&
             !stop_) {
        if (!Wait(c, POLLIN, 20)) continue;
        ssize_t n = ::recv(c, buf, sizeof buf, 0);
        if (n <= 0) break;
        request.append(buf, static_cast<size_t>(n));
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
      }
      PeerReply reply = handler_(request);
      for (const std::string& piece : reply.pieces) {
        ::send(c, piece.data(), piece.size(), MSG_NOSIGNAL);
        // Separate writes reach the reader as separate segments.
        if (reply.pieces.size() > 1) std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      // A stall ends when the client goes away or the peer is destroyed (at most a test's length).
      while (reply.stall && !stop_) {
        if (Wait(c, POLLIN, 10) && ::recv(c, buf, sizeof buf, 0) <= 0) break;
      }
      ::shutdown(c, SHUT_WR);
      ::close(c);
    }
  }

  Handler handler_;
  int fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
  std::thread thread_;
};

}  // namespace mdl::testing
