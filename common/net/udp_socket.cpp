// Batched UDP receive and send over a Boost.Asio socket; the system's calls
// are in udp_system*.cpp, the send side in the batch sender.
#include "common/net/udp_socket.h"

#include <boost/asio/ip/v6_only.hpp>

#include "common/net/address.h"
#include "common/net/udp_system.h"

namespace mdl::net {

UdpSocket::UdpSocket(boost::asio::io_context& io, Clock& clock)
    : io_(io),
      clock_(clock),
      system_(std::make_unique<UdpSystem>()),
      sender_(std::make_unique<BatchSender>(*system_)),
      alive_(std::make_shared<bool>(true)) {}

UdpSocket::~UdpSocket() {
  *alive_ = false;
  Close();
}

std::error_code UdpSocket::Bind(const boost::asio::ip::address& addr, uint16_t port) {
  Close();
  boost::system::error_code ec;
  auto sock = std::make_unique<Udp::socket>(io_);
  Udp::endpoint ep(addr, port);
  sock->open(ep.protocol(), ec);
  // "::" serves both families.
  if (!ec && addr.is_v6()) sock->set_option(boost::asio::ip::v6_only(!addr.is_unspecified()), ec);
  if (!ec) sock->non_blocking(true, ec);
  if (!ec) {
    PrepareUdpSocket(*sock);
    sock->bind(ep, ec);
  }
  if (ec) {
    if (UdpPortTaken(ec)) return std::make_error_code(std::errc::address_in_use);
    return std::error_code(ec.value(), std::system_category());
  }
  local_port_ = sock->local_endpoint(ec).port();
  v6_ = addr.is_v6();
  socket_ = std::move(sock);
  system_->Attach(socket_.get());
  return {};
}

void UdpSocket::Close() {
  system_->Attach(nullptr);
  if (socket_) {
    boost::system::error_code ec;
    socket_->close(ec);
    socket_.reset();
  }
  // A pending wait completes with operation_aborted and sees the new state.
  *alive_ = false;
  alive_ = std::make_shared<bool>(true);
  waiting_ = false;
  receiver_ = nullptr;
  sender_->Reset();
}

bool UdpSocket::IsOpen() const { return socket_ != nullptr; }

void UdpSocket::Start(UdpReceiver* receiver) {
  receiver_ = receiver;
  ArmWait();
}

void UdpSocket::SetPaused(bool paused) {
  paused_ = paused;
  if (!paused_) ArmWait();
}

void UdpSocket::ArmWait() {
  if (!socket_ || !receiver_ || paused_ || waiting_) return;
  waiting_ = true;
  std::weak_ptr<bool> alive = alive_;
  if (kUdpPeekToWait && peek_next_) {
    socket_->async_receive(boost::asio::mutable_buffer(), Udp::socket::message_peek,
                           [this, alive](const boost::system::error_code& ec, size_t) {
                             if (alive.expired()) return;
                             waiting_ = false;
                             if (ec == boost::asio::error::operation_aborted) return;
                             // A socket error is reported (and cleared) by the receive;
                             // unless datagrams follow, the next wait is a plain one.
                             OnReadable();
                           });
    return;
  }
  socket_->async_wait(Udp::socket::wait_read, [this, alive](const boost::system::error_code& ec) {
    auto a = alive.lock();
    if (!a || !*a) return;
    waiting_ = false;
    if (ec) return;
    OnReadable();
  });
}

void UdpSocket::OnReadable() {
  sender_->ReadLateStamps();
  std::weak_ptr<bool> alive = alive_;
  size_t handled = 0;
  // A few batches per wake-up, then yield to the other sockets of the loop.
  for (int round = 0; round < kUdpReadRounds; ++round) {
    if (!socket_ || paused_) return;
    const std::span<Datagram> batch = system_->Read();
    if (batch.empty()) break;
    handled += batch.size();
    in_batch_ = true;
    for (Datagram& d : batch) {
      if (v6_) d.from = Unmapped(d.from);
      d.socket = this;
      if (d.arrival) d.arrival = OnClock(NsSinceUnixEpoch(*d.arrival));  // read on the system's scale
      if (receiver_) receiver_->OnDatagram(d);
      // Closed (or destroyed) by the handler: Close() lets go of the flag.
      if (alive.expired()) return;
    }
    in_batch_ = false;
    sender_->Flush();
    if (receiver_) receiver_->OnBatchEnd();
    if (alive.expired()) return;
    if (batch.size() < kBatch) break;
  }
  in_batch_ = false;
  // Under load the next datagrams are often queued by now: a peek finds them
  // without a poll. One at a time, a plain wait costs a call less.
  peek_next_ = handled >= kPeekAfter;
  // More may be waiting: come back after the other handlers had a turn.
  if (socket_) ArmWait();
}

bool UdpSocket::SendTo(std::span<const uint8_t> data, const Udp::endpoint& peer, bool stamp) {
  if (!socket_ || data.size() > kMaxDatagram) return false;
  const Udp::endpoint to = ForFamily(peer, v6_);
  if (in_batch_ && kUdpBatchedSends) return sender_->Queue(data, to, stamp);
  return sender_->SendNow(data, to, stamp);
}

bool UdpSocket::SendNowStamped(std::span<const uint8_t> data, const Udp::endpoint& peer) {
  if (!socket_ || data.size() > kMaxDatagram) return false;
  return sender_->SendQuery(data, ForFamily(peer, v6_));
}

void UdpSocket::SetStamper(Stamper stamper) {
  if (!stamper) {
    sender_->SetStamper(nullptr);
    return;
  }
  sender_->SetStamper([this, stamper = std::move(stamper)](std::span<uint8_t> datagram, int64_t leaves_ns) {
    stamper(datagram, OnClock(leaves_ns));
  });
}

std::optional<UtcTime> UdpSocket::TakeSendStamp() {
  const int64_t ns = socket_ ? sender_->TakeQueryStamp() : 0;
  if (ns <= 0) return std::nullopt;
  return OnClock(ns);
}

}  // namespace mdl::net
