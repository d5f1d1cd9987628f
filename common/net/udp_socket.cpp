// Batched UDP receive and send over Boost.Asio sockets; the system's calls
// are in udp_system*.cpp, the send side in the batch sender.
#include "common/net/udp_socket.h"

#include <boost/asio/ip/v6_only.hpp>

#include "common/net/address.h"
#include "common/net/udp_system.h"

namespace mdl::net {

struct UdpSocket::Leg {
  Leg() : system(std::make_unique<UdpSystem>()), sender(std::make_unique<BatchSender>(*system)) {}
  std::unique_ptr<Udp::socket> socket;
  std::unique_ptr<UdpSystem> system;
  std::unique_ptr<BatchSender> sender;
  bool v6 = false;
  bool waiting = false;
  bool peek_next = false;
  bool in_batch = false;
};

namespace {

// Tries for an ephemeral port free in both families before giving up.
constexpr int kPairAttempts = 16;

}  // namespace

UdpSocket::UdpSocket(boost::asio::io_context& io, Clock& clock)
    : io_(io),
      clock_(clock),
      legs_{std::make_unique<Leg>(), std::make_unique<Leg>()},
      alive_(std::make_shared<bool>(true)) {}

UdpSocket::~UdpSocket() {
  *alive_ = false;
  Close();
}

std::error_code UdpSocket::BindLeg(Leg& leg, const boost::asio::ip::address& addr, uint16_t port,
                                   bool v6_only) {
  boost::system::error_code ec;
  auto sock = std::make_unique<Udp::socket>(io_);
  Udp::endpoint ep(addr, port);
  sock->open(ep.protocol(), ec);
  if (!ec && addr.is_v6()) sock->set_option(boost::asio::ip::v6_only(v6_only), ec);
  if (!ec) sock->non_blocking(true, ec);
  if (!ec) {
    PrepareUdpSocket(*sock);
    sock->bind(ep, ec);
  }
  if (ec) {
    if (UdpPortTaken(ec)) return std::make_error_code(std::errc::address_in_use);
    return std::error_code(ec.value(), std::system_category());
  }
  leg.v6 = addr.is_v6();
  leg.socket = std::move(sock);
  leg.system->Attach(leg.socket.get());
  return {};
}

std::error_code UdpSocket::BindPair(uint16_t port) {
  Leg& v4 = *legs_[0];
  Leg& v6 = *legs_[1];
  for (int attempt = 0;; ++attempt) {
    // IPv6 first: on a machine without it this fails as a dual-stack socket would.
    std::error_code ec = BindLeg(v6, boost::asio::ip::address_v6::any(), port, true);
    if (ec) return ec;
    boost::system::error_code ignored;
    const uint16_t bound = v6.socket->local_endpoint(ignored).port();
    ec = BindLeg(v4, boost::asio::ip::address_v4::any(), bound, false);
    if (!ec) return {};
    Close();
    // An ephemeral port free for IPv6 may be taken for IPv4: another one.
    if (port != 0 || ec != std::errc::address_in_use || attempt + 1 == kPairAttempts) return ec;
  }
}

std::error_code UdpSocket::Bind(const boost::asio::ip::address& addr, uint16_t port) {
  Close();
  const bool pair = addr.is_v6() && addr.is_unspecified();
  std::error_code ec = pair ? BindPair(port) : BindLeg(*legs_[0], addr, port, addr.is_v6());
  if (ec) {
    Close();
    return ec;
  }
  boost::system::error_code ignored;
  local_port_ = legs_[0]->socket->local_endpoint(ignored).port();
  v6_ = addr.is_v6();
  return {};
}

void UdpSocket::Close() {
  for (auto& leg : legs_) {
    leg->system->Attach(nullptr);
    if (leg->socket) {
      boost::system::error_code ec;
      leg->socket->close(ec);
      leg->socket.reset();
    }
    leg->waiting = false;
    leg->in_batch = false;
    leg->sender->Reset();
  }
  // A pending wait completes with operation_aborted and sees the new state.
  *alive_ = false;
  alive_ = std::make_shared<bool>(true);
  receiver_ = nullptr;
  query_leg_ = nullptr;
}

bool UdpSocket::IsOpen() const { return legs_[0]->socket != nullptr; }

const SendTiming& UdpSocket::send_timing() const { return legs_[0]->sender->timing(); }

uint64_t UdpSocket::send_errors() const { return legs_[0]->sender->errors() + legs_[1]->sender->errors(); }

void UdpSocket::Start(UdpReceiver* receiver) {
  receiver_ = receiver;
  for (auto& leg : legs_) ArmWait(*leg);
}

void UdpSocket::SetPaused(bool paused) {
  paused_ = paused;
  if (!paused_)
    for (auto& leg : legs_) ArmWait(*leg);
}

void UdpSocket::ArmWait(Leg& leg) {
  if (!leg.socket || !receiver_ || paused_ || leg.waiting) return;
  leg.waiting = true;
  std::weak_ptr<bool> alive = alive_;
  if (kUdpPeekToWait && leg.peek_next) {
    leg.socket->async_receive(boost::asio::mutable_buffer(), Udp::socket::message_peek,
                              [this, &leg, alive](const boost::system::error_code& ec, size_t) {
                                if (alive.expired()) return;
                                leg.waiting = false;
                                if (ec == boost::asio::error::operation_aborted) return;
                                // A socket error is reported (and cleared) by the receive;
                                // unless datagrams follow, the next wait is a plain one.
                                OnReadable(leg);
                              });
    return;
  }
  leg.socket->async_wait(Udp::socket::wait_read, [this, &leg, alive](const boost::system::error_code& ec) {
    auto a = alive.lock();
    if (!a || !*a) return;
    leg.waiting = false;
    if (ec) return;
    OnReadable(leg);
  });
}

void UdpSocket::OnReadable(Leg& leg) {
  leg.sender->ReadLateStamps();
  std::weak_ptr<bool> alive = alive_;
  size_t handled = 0;
  // A few batches per wake-up, then yield to the other sockets of the loop.
  for (int round = 0; round < kUdpReadRounds; ++round) {
    if (!leg.socket || paused_) return;
    const std::span<Datagram> batch = leg.system->Read();
    if (batch.empty()) break;
    handled += batch.size();
    leg.in_batch = true;
    for (Datagram& d : batch) {
      if (leg.v6) d.from = Unmapped(d.from);
      d.socket = this;
      if (d.arrival) d.arrival = OnClock(NsSinceUnixEpoch(*d.arrival));  // read on the system's scale
      if (receiver_) receiver_->OnDatagram(d);
      // Closed (or destroyed) by the handler: Close() lets go of the flag.
      if (alive.expired()) return;
    }
    leg.in_batch = false;
    leg.sender->Flush();
    if (receiver_) receiver_->OnBatchEnd();
    if (alive.expired()) return;
    if (batch.size() < kBatch) break;
  }
  leg.in_batch = false;
  // Under load the next datagrams are often queued by now: a peek finds them
  // without a poll. One at a time, a plain wait costs a call less.
  leg.peek_next = handled >= kPeekAfter;
  // More may be waiting: come back after the other handlers had a turn.
  ArmWait(leg);
}

UdpSocket::Leg* UdpSocket::LegFor(const Udp::endpoint& to, Udp::endpoint* out) {
  Leg& first = *legs_[0];
  if (!first.socket) return nullptr;
  if (!legs_[1]->socket) {
    *out = ForFamily(to, first.v6);
    return &first;
  }
  *out = Unmapped(to);
  return out->address().is_v4() ? &first : legs_[1].get();
}

bool UdpSocket::SendTo(std::span<const uint8_t> data, const Udp::endpoint& peer, bool stamp) {
  Udp::endpoint to;
  Leg* leg = LegFor(peer, &to);
  if (!leg || data.size() > kMaxDatagram) return false;
  if (leg->in_batch && kUdpBatchedSends) return leg->sender->Queue(data, to, stamp);
  return leg->sender->SendNow(data, to, stamp);
}

bool UdpSocket::SendNowStamped(std::span<const uint8_t> data, const Udp::endpoint& peer) {
  Udp::endpoint to;
  Leg* leg = LegFor(peer, &to);
  if (!leg || data.size() > kMaxDatagram) return false;
  query_leg_ = leg;
  return leg->sender->SendQuery(data, to);
}

void UdpSocket::SetStamper(Stamper stamper) {
  for (auto& leg : legs_) {
    if (!stamper) {
      leg->sender->SetStamper(nullptr);
      continue;
    }
    leg->sender->SetStamper([this, stamper](std::span<uint8_t> datagram, int64_t leaves_ns) {
      stamper(datagram, OnClock(leaves_ns));
    });
  }
}

std::optional<UtcTime> UdpSocket::TakeSendStamp() {
  const int64_t ns = query_leg_ && query_leg_->socket ? query_leg_->sender->TakeQueryStamp() : 0;
  if (ns <= 0) return std::nullopt;
  return OnClock(ns);
}

}  // namespace mdl::net
