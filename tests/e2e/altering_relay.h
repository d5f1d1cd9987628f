// A UDP relay on loopback that can alter the replies passing through it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>

#include <atomic>
#include <thread>

#include "tests/e2e/harness.h"

namespace mdl::e2e {

// Relays datagrams between a client and an NTP port on 127.0.0.1, changing one
// byte of each reply while `alter` holds. Stops by itself after 90 s.
class AlteringRelay {
 public:
  AlteringRelay(const std::string& front_address, uint16_t port, uint16_t upstream_port) {
    front_ = Bound(front_address, port);
    back_ = Bound("127.0.0.1", 0);
    upstream_.sin_family = AF_INET;
    upstream_.sin_port = htons(upstream_port);
    ::inet_pton(AF_INET, "127.0.0.1", &upstream_.sin_addr);
    thread_ = std::thread([this] { Run(); });
  }
  ~AlteringRelay() {
    stop_ = true;
    thread_.join();
  }
  bool ok() const { return front_.get() >= 0 && back_.get() >= 0; }
  std::atomic<bool> alter{true};
  std::atomic<int> altered{0};
  std::atomic<int> relayed{0};  // replies passed on, altered or not

 private:
  static testing::UniqueFd Bound(const std::string& address, uint16_t port) {
    testing::UniqueFd fd(::socket(AF_INET, SOCK_DGRAM, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return testing::UniqueFd();
    return fd;
  }
  void Run() {
    const auto end = Clock::now() + 90s;
    sockaddr_in client{};
    uint8_t buf[2048];
    while (!stop_ && Clock::now() < end && ok()) {
      pollfd fds[2] = {{front_.get(), POLLIN, 0}, {back_.get(), POLLIN, 0}};
      if (::poll(fds, 2, 100) <= 0) continue;
      if (fds[0].revents & POLLIN) {
        socklen_t len = sizeof client;
        const ssize_t n =
            ::recvfrom(front_.get(), buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&client), &len);
        if (n > 0)
          ::sendto(back_.get(), buf, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&upstream_),
                   sizeof upstream_);
      }
      if (fds[1].revents & POLLIN) {
        const ssize_t n = ::recv(back_.get(), buf, sizeof buf, 0);
        if (n > 48 && client.sin_port != 0) {
          if (alter) {
            buf[41] ^= 0x01;  // the transmit timestamp: a time half a minute off
            ++altered;
          }
          ::sendto(front_.get(), buf, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&client),
                   sizeof client);
          ++relayed;
        }
      }
    }
  }
  testing::UniqueFd front_, back_;
  sockaddr_in upstream_{};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace mdl::e2e
