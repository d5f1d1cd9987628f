// The UDP half of the socket object: bind, receive with sender and kernel
// arrival time, send to. Datagrams are read and answered in batches
// (recvmmsg/sendmmsg) behind the same per-datagram handler interface.
//
// Bound to "::", the port is a pair of system sockets: an IPv4 one and an
// IPv6-only one on the same port number. IPv4 traffic then takes the
// system's IPv4 paths, not the IPv6 socket's mapped-address detour around
// them (about 2% of the cost of a reply on loopback).
#pragma once

// First: Boost 1.74's coroutine headers use std::exchange without including <utility>.
#include <utility>

#include <array>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <system_error>
#include <vector>

#include "common/clock/clock.h"
#include "common/net/batch_sender.h"
#include "common/net/datagram_port.h"
#include "common/net/send_timing.h"
#include "common/time/utc_time.h"

namespace mdl::net {

class UdpSystem;

class UdpSocket : public DatagramPort {
 public:
  static constexpr size_t kBatch = 64;
  // Every request of the services fits (an authenticated NTP request asking
  // for eight cookies is 988 bytes); longer datagrams are cut (and marked) on
  // receipt. Sends are bounded by the batch sender's BatchSender::kMaxDatagram.
  static constexpr size_t kMaxDatagram = 1024;

  // Stamps are handed over on `clock` (Clock::from_system of the kernel's).
  UdpSocket(boost::asio::io_context& io, Clock& clock);
  ~UdpSocket() override;
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;

  // Binds to addr:port (port 0 = ephemeral); "::" takes IPv4 and IPv6 (the
  // port free in both), and IPv4 peers are seen (and addressed) as plain
  // IPv4. Address in use is reported as std::errc::address_in_use. Closes
  // first when open.
  std::error_code Bind(const boost::asio::ip::address& addr, uint16_t port) override;
  void Close() override;
  bool IsOpen() const override;
  uint16_t local_port() const override { return local_port_; }
  // Bound to an IPv6 address ("::" carries IPv4 too).
  bool is_v6() const override { return v6_; }

  // Starts delivering datagrams to `receiver` (which must outlive the socket
  // or the next Close()).
  void Start(UdpReceiver* receiver) override;
  // While paused, arriving datagrams stay unread in the kernel queue.
  void SetPaused(bool paused) override;

  // Sends one datagram. Inside a batch the send is queued and goes out with
  // the batch's other replies in one call; outside a batch it is sent at
  // once. With `stamp` set the stamper (below) writes into the buffer right
  // before the call.
  // Returns false when the datagram could not be sent or queued.
  bool SendTo(std::span<const uint8_t> data, const Udp::endpoint& to, bool stamp = false) override;
  // The time given to the stamper comes from the send timing below.
  void SetStamper(Stamper stamper) override;
  // How this socket's sends are timed, learnt from the kernel's transmit
  // stamps of a sample of stamped datagrams (of the IPv4 socket of a pair).
  const SendTiming& send_timing() const;

  // Sends one datagram at once (never queued with a batch) and asks the
  // kernel to record the moment it left (software transmit time stamp).
  bool SendNowStamped(std::span<const uint8_t> data, const Udp::endpoint& to) override;
  // The kernel's transmit time of the last SendNowStamped datagram, on the
  // clock; none while none has been reported.
  std::optional<UtcTime> TakeSendStamp() override;

  uint64_t send_errors() const;

 private:
  struct Leg;  // one system socket: its calls, send side and wait
  std::error_code BindLeg(Leg& leg, const boost::asio::ip::address& addr, uint16_t port, bool v6_only);
  std::error_code BindPair(uint16_t port);
  // The socket that reaches `to` (as that socket addresses it in *out); null when closed.
  Leg* LegFor(const Udp::endpoint& to, Udp::endpoint* out);
  void ArmWait(Leg& leg);
  void OnReadable(Leg& leg);
  // A kernel stamp (realtime ns) on the socket's clock.
  UtcTime OnClock(int64_t system_ns) const { return clock_.from_system(UtcFromNs(system_ns)); }

  boost::asio::io_context& io_;
  Clock& clock_;
  // [0]: the only socket, or the IPv4 one of a pair; [1]: a pair's IPv6 one.
  std::array<std::unique_ptr<Leg>, 2> legs_;
  Leg* query_leg_ = nullptr;  // the one of the last SendNowStamped
  UdpReceiver* receiver_ = nullptr;
  uint16_t local_port_ = 0;
  bool v6_ = false;
  bool paused_ = false;
  // The next wait is the peeking receive (kUdpPeekToWait): after a wake-up
  // that took at least kPeekAfter datagrams.
  static constexpr size_t kPeekAfter = 8;
  std::shared_ptr<bool> alive_;
};

}  // namespace mdl::net
