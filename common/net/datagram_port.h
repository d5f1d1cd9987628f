// A port that sends and receives datagrams with their time stamps: the UDP
// socket, or a test's network on a manual clock. Stamps are handed over on
// the clock the port was made with, so a user pairs them with that clock's
// now() and monotonic() alone.
#pragma once

// First: Boost 1.74's coroutine headers use std::exchange without including <utility>.
#include <utility>

#include <boost/asio/ip/udp.hpp>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <system_error>

#include "common/time/utc_time.h"

namespace mdl::net {

using Udp = boost::asio::ip::udp;

class DatagramPort;

struct Datagram {
  std::span<const uint8_t> data;
  Udp::endpoint from;
  // How long ago the datagram arrived (0 when no arrival stamp came with it).
  Nanoseconds age{0};
  // When it arrived, on the port's clock (none without an arrival stamp).
  std::optional<UtcTime> arrival;
  // Its real length; larger than data.size() when it did not fit the
  // receive buffer and was cut (truncated).
  size_t length = 0;
  bool truncated = false;
  // The port it came in on: replies go out on it.
  DatagramPort* socket = nullptr;
};

class UdpReceiver {
 public:
  virtual ~UdpReceiver() = default;
  virtual void OnDatagram(const Datagram& d) = 0;
  // Called after each batch of datagrams, once the batch's replies went out
  // (slow work here, such as a file write, never holds a reply back).
  virtual void OnBatchEnd() {}
};

class DatagramPort {
 public:
  virtual ~DatagramPort() = default;

  // Binds to addr:port (port 0 = ephemeral); "::" takes IPv4 and IPv6.
  // Address in use is std::errc::address_in_use. Closes first when open.
  virtual std::error_code Bind(const boost::asio::ip::address& addr, uint16_t port) = 0;
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;
  virtual uint16_t local_port() const = 0;
  // Bound to an IPv6 address ("::" carries IPv4 too).
  virtual bool is_v6() const = 0;

  // Starts delivering datagrams to `receiver` (which must outlive the port
  // or the next Close()).
  virtual void Start(UdpReceiver* receiver) = 0;
  // While paused, arriving datagrams wait unread (and keep their arrival time).
  virtual void SetPaused(bool paused) = 0;

  // Sends one datagram (inside a batch it may be queued with the batch's
  // other replies). With `stamp` set the stamper writes into the buffer
  // right before it leaves. False when it could not be sent or queued.
  virtual bool SendTo(std::span<const uint8_t> data, const Udp::endpoint& to, bool stamp = false) = 0;
  // `leaves`: when the datagram is expected to leave, on the port's clock.
  using Stamper = std::function<void(std::span<uint8_t> datagram, UtcTime leaves)>;
  virtual void SetStamper(Stamper stamper) = 0;

  // Sends one datagram at once and notes the moment it left.
  virtual bool SendNowStamped(std::span<const uint8_t> data, const Udp::endpoint& to) = 0;
  // When the last SendNowStamped datagram left, on the port's clock; none
  // while it is not known.
  virtual std::optional<UtcTime> TakeSendStamp() = 0;
};

// Makes the datagram ports of an engine (real sockets unless a test gives its network).
using PortMaker = std::function<std::unique_ptr<DatagramPort>()>;

}  // namespace mdl::net
