// The UDP half of the socket object: bind, receive with sender and kernel
// arrival time, send to. Datagrams are read and answered in batches
// (recvmmsg/sendmmsg) behind the same per-datagram handler interface.
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

#include "common/net/batch_sender.h"
#include "common/net/send_timing.h"
#include "common/time/utc_time.h"

namespace mdl::net {

using Udp = boost::asio::ip::udp;

class UdpSocket;
class UdpSystem;

struct Datagram {
  std::span<const uint8_t> data;
  Udp::endpoint from;
  // How long ago the kernel received the datagram (0 when no kernel time
  // stamp came with it). The receive time on any clock is its now() - age.
  Nanoseconds age{0};
  // The kernel's receive time stamp on the system's realtime clock (0 when
  // none came); Clock::from_system() turns it into any clock's time.
  int64_t arrival_ns = 0;
  // Its real length; larger than data.size() when it did not fit the
  // receive buffer and was cut (truncated).
  size_t length = 0;
  bool truncated = false;
  // The socket it came in on: replies go out on it.
  UdpSocket* socket = nullptr;
};

class UdpReceiver {
 public:
  virtual ~UdpReceiver() = default;
  virtual void OnDatagram(const Datagram& d) = 0;
  // Called after each batch of datagrams, once the batch's replies went out
  // (slow work here, such as a file write, never holds a reply back).
  virtual void OnBatchEnd() {}
};

class UdpSocket {
 public:
  static constexpr size_t kBatch = 64;
  // Every request and reply of the services fits; longer datagrams are cut
  // (and marked) on receipt.
  static constexpr size_t kMaxDatagram = 512;

  explicit UdpSocket(boost::asio::io_context& io);
  ~UdpSocket();
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;

  // Binds to addr:port (port 0 = ephemeral); "::" takes IPv4 and IPv6, and
  // IPv4 peers are seen (and addressed) as plain IPv4. Address in use is
  // reported as std::errc::address_in_use. Closes first when open.
  std::error_code Bind(const boost::asio::ip::address& addr, uint16_t port);
  void Close();
  bool IsOpen() const;
  uint16_t local_port() const { return local_port_; }
  // Bound to an IPv6 address ("::" carries IPv4 too).
  bool is_v6() const { return v6_; }

  // Starts delivering datagrams to `receiver` (which must outlive the socket
  // or the next Close()).
  void Start(UdpReceiver* receiver);
  // While paused, arriving datagrams stay unread in the kernel queue.
  void SetPaused(bool paused);

  // Sends one datagram. Inside a batch the send is queued and goes out with
  // the batch's other replies in one call; outside a batch it is sent at
  // once. With `stamp` set the stamper (below) writes into the buffer right
  // before the call.
  // Returns false when the datagram could not be sent or queued.
  bool SendTo(std::span<const uint8_t> data, const Udp::endpoint& to, bool stamp = false);
  // `leaves_ns`: when the datagram is expected to leave, on the system's
  // realtime clock (as Datagram::arrival_ns), from the send timing below.
  using Stamper = BatchSender::Stamper;
  void SetStamper(Stamper stamper) { sender_->SetStamper(std::move(stamper)); }
  // How this socket's sends are timed, learnt from the kernel's transmit
  // stamps of a sample of stamped datagrams.
  const SendTiming& send_timing() const { return sender_->timing(); }

  // Sends one datagram at once (never queued with a batch) and asks the
  // kernel to record the moment it left (software transmit time stamp).
  bool SendNowStamped(std::span<const uint8_t> data, const Udp::endpoint& to);
  // The kernel's transmit time (realtime clock, ns) of the last
  // SendNowStamped datagram; 0 while none has been reported.
  int64_t TakeSendStamp();

  uint64_t send_errors() const { return sender_->errors(); }

 private:
  void ArmWait();
  void OnReadable();

  boost::asio::io_context& io_;
  std::unique_ptr<Udp::socket> socket_;
  std::unique_ptr<UdpSystem> system_;
  std::unique_ptr<BatchSender> sender_;
  UdpReceiver* receiver_ = nullptr;
  uint16_t local_port_ = 0;
  bool v6_ = false;
  bool paused_ = false;
  bool waiting_ = false;
  bool in_batch_ = false;
  std::shared_ptr<bool> alive_;
};

}  // namespace mdl::net
