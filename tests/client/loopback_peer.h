// Helpers of the client tests: a reply server on 127.0.0.1, a closed port,
// a clock that refuses to be set and a bounded I/O pump.
#pragma once

#include <array>
#include <chrono>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include "common/clock/virtual_clock.h"
#include "common/time/mdl_stamp.h"

namespace mdl::test {

namespace asio = boost::asio;
using asio::ip::tcp;

inline std::string LoopbackHost(uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

// A port on 127.0.0.1 that nothing listens on.
inline uint16_t ClosedPort() {
  asio::io_context io;
  tcp::acceptor probe(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
  return probe.local_endpoint().port();
}

// The server's answer to `request`: identification "MDLS5" and `server_time`.
inline std::array<uint8_t, 24> MakeReply(const std::array<uint8_t, 24>& request, UtcTime server_time) {
  std::array<uint8_t, 24> reply = request;
  std::copy_n("MDLS5", 5, reply.begin());
  const auto stamp = MdlStampFromUtc(server_time);
  std::copy(stamp.begin(), stamp.end(), reply.begin() + 16);
  return reply;
}

// Answers every connection with a reply carrying `server_time` and closes
// it: 24 bytes, or 23 when `short_reply` is set. Counts the requests.
class ReplyServer {
 public:
  ReplyServer(asio::io_context& io, UtcTime server_time, uint16_t port = 0)
      : acceptor_(io, tcp::endpoint(asio::ip::address_v4::loopback(), port)), server_time_(server_time) {
    Accept();
  }
  std::string host() const { return LoopbackHost(acceptor_.local_endpoint().port()); }
  int requests() const { return requests_; }
  bool short_reply = false;

 private:
  void Accept() {
    auto socket = std::make_shared<tcp::socket>(acceptor_.get_executor());
    acceptor_.async_accept(*socket, [this, socket](const boost::system::error_code& ec) {
      if (ec) return;
      auto buf = std::make_shared<std::array<uint8_t, 24>>();
      asio::async_read(*socket, asio::buffer(*buf),
                       [this, socket, buf](const boost::system::error_code& ec2, std::size_t) {
                         if (ec2) return;
                         ++requests_;
                         *buf = MakeReply(*buf, server_time_);
                         boost::system::error_code ignored;
                         asio::write(*socket, asio::buffer(*buf, short_reply ? 23 : 24), ignored);
                         socket->close(ignored);
                       });
      Accept();
    });
  }
  tcp::acceptor acceptor_;
  UtcTime server_time_;
  int requests_ = 0;
};

// A clock without the right to be set.
class LockedClock : public VirtualClock {
 public:
  using VirtualClock::VirtualClock;
  std::error_code set(UtcTime) override { return std::make_error_code(std::errc::operation_not_permitted); }
};

// Runs `io` until `done` holds: at most 500 waits of up to 10 ms, each ending
// as soon as a handler ran.
template <class Pred>
bool Pump(asio::io_context& io, Pred done) {
  for (int i = 0; i < 500; ++i) {
    if (done()) return true;
    io.restart();
    io.run_one_for(std::chrono::milliseconds(10));
    io.poll();
  }
  return done();
}

}  // namespace mdl::test
