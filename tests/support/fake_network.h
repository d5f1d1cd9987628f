// Datagram ports of one process joined by a network on a manual clock: a
// datagram arrives a set delay after it was sent, in send order, stamped
// with the clock's time of sending and of arrival. Engine tests give its
// ports to the engine (EngineOptions::make_port) and talk to them from ports
// of their own, so exchanges step through virtual time exactly.
#pragma once

#include <boost/asio/io_context.hpp>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "common/clock/clock.h"
#include "common/net/datagram_port.h"

namespace mdl::testing {

class FakePort;

class FakeNetwork {
 public:
  // Timers come from `clock` (a frozen VirtualClock fires them in advance()).
  FakeNetwork(Clock& clock, boost::asio::io_context& io);
  ~FakeNetwork();
  FakeNetwork(const FakeNetwork&) = delete;
  FakeNetwork& operator=(const FakeNetwork&) = delete;

  std::unique_ptr<net::DatagramPort> MakePort();
  net::PortMaker Maker() {
    return [this] { return MakePort(); };
  }

  // One-way delay of the datagrams sent from now on (default 1 ms).
  void set_delay(Nanoseconds d) { delay_ = d; }
  Nanoseconds delay() const { return delay_; }
  // While held, arrived datagrams wait at their port (as in a busy loop's
  // receive queue) and are read, with their arrival time, on Release().
  void Hold() { held_ = true; }
  void Release();

  size_t in_flight() const { return flight_.size(); }
  uint64_t sent() const { return sent_; }
  // Sent to an address no port is bound to.
  uint64_t lost() const { return lost_; }

 private:
  friend class FakePort;
  struct InFlight {
    UtcTime due_at;
    Nanoseconds due{0};  // monotonic
    std::vector<uint8_t> data;
    net::Udp::endpoint from;
    net::Udp::endpoint to;
  };
  void Send(std::vector<uint8_t> data, const net::Udp::endpoint& from, const net::Udp::endpoint& to);
  void Arm();
  void DeliverDue();
  FakePort* Find(const net::Udp::endpoint& to) const;
  uint16_t NextEphemeral();

  Clock& clock_;
  std::unique_ptr<Timer> timer_;
  Nanoseconds delay_{std::chrono::milliseconds(1)};
  bool held_ = false;
  std::deque<InFlight> flight_;
  std::vector<FakePort*> ports_;
  uint16_t next_ephemeral_ = 40000;
  uint64_t sent_ = 0;
  uint64_t lost_ = 0;
};

// What a test's own port received.
struct Received {
  std::vector<uint8_t> data;
  net::Udp::endpoint from;
  UtcTime arrival;
  Nanoseconds age{0};  // when it was read
};

class Inbox : public net::UdpReceiver {
 public:
  void OnDatagram(const net::Datagram& d) override {
    got.push_back({{d.data.begin(), d.data.end()}, d.from, d.arrival.value_or(UtcTime{}), d.age});
  }
  // The oldest datagram not yet taken.
  std::optional<Received> Take() {
    if (got.empty()) return std::nullopt;
    Received r = std::move(got.front());
    got.pop_front();
    return r;
  }
  std::deque<Received> got;
};

}  // namespace mdl::testing
