// UDP over Boost.Asio on Winsock. Windows has neither recvmmsg/sendmmsg nor
// kernel receive and transmit stamps on UDP sockets: datagrams are read one
// by one after a readiness wait (up to a batch per wake-up, as on Linux),
// replies go out at once, Datagram::age stays 0 and arrival and
// TakeSendStamp() stay empty, so that the callers stamp with their clock when
// they read (the user-space stamps the interface allows for).
#include "common/net/udp_socket.h"

#include <winsock2.h>
#include <mswsock.h>
#include <ws2tcpip.h>

#include <boost/asio/ip/v6_only.hpp>
#include <algorithm>
#include <cstring>

#include "common/net/address.h"

namespace mdl::net {

struct UdpSocket::Batch {
  // Room for the largest datagram, so that a cut one still tells its length.
  std::array<char, 65536> rx_data;
};

UdpSocket::UdpSocket(boost::asio::io_context& io, Clock& clock)
    : io_(io), clock_(clock), alive_(std::make_shared<bool>(true)) {}

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
  if (!ec && addr.is_v6()) sock->set_option(boost::asio::ip::v6_only(!addr.is_unspecified()), ec);
  if (!ec) sock->non_blocking(true, ec);
  if (!ec) {
    // Without this an ICMP "port unreachable" for an earlier reply makes the
    // next receive fail with WSAECONNRESET.
    BOOL off = FALSE;
    DWORD returned = 0;
    ::WSAIoctl(sock->native_handle(), SIO_UDP_CONNRESET, &off, sizeof off, nullptr, 0, &returned, nullptr,
               nullptr);
    // Windows lets a second socket bind a busy port with SO_REUSEADDR; this
    // one holds its port alone.
    BOOL exclusive = TRUE;
    ::setsockopt(sock->native_handle(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
                 sizeof exclusive);
    int depth = 4 * 1024 * 1024;
    ::setsockopt(sock->native_handle(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&depth), sizeof depth);
    sock->bind(ep, ec);
  }
  if (ec) {
    if (ec == boost::asio::error::address_in_use || ec == boost::asio::error::access_denied) {
      return std::make_error_code(std::errc::address_in_use);
    }
    return std::error_code(ec.value(), std::system_category());
  }
  local_port_ = sock->local_endpoint(ec).port();
  v6_ = addr.is_v6();
  socket_ = std::move(sock);
  if (!batch_) batch_ = std::make_unique<Batch>();
  return {};
}

void UdpSocket::Close() {
  if (socket_) {
    boost::system::error_code ec;
    socket_->close(ec);
    socket_.reset();
  }
  *alive_ = false;
  alive_ = std::make_shared<bool>(true);
  waiting_ = false;
  receiver_ = nullptr;
  send_stamp_.reset();
  awaiting_send_stamp_ = false;
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
  socket_->async_wait(Udp::socket::wait_read, [this, alive](const boost::system::error_code& ec) {
    auto a = alive.lock();
    if (!a || !*a) return;
    waiting_ = false;
    if (ec) return;
    OnReadable();
  });
}

void UdpSocket::OnReadable() {
  Batch& b = *batch_;
  std::weak_ptr<bool> alive = alive_;
  size_t n = 0;
  in_batch_ = true;
  for (; n < kBatch; ++n) {
    if (!socket_ || paused_) break;
    sockaddr_storage peer{};
    int peer_len = sizeof peer;
    const int got = ::recvfrom(socket_->native_handle(), b.rx_data.data(), static_cast<int>(b.rx_data.size()), 0,
                               reinterpret_cast<sockaddr*>(&peer), &peer_len);
    if (got == SOCKET_ERROR) {
      // WSAEWOULDBLOCK: the queue is empty. WSAEMSGSIZE cannot happen with
      // a buffer of the largest datagram.
      break;
    }
    Datagram d;
    d.length = static_cast<size_t>(got);
    d.truncated = d.length > kMaxDatagram;
    d.data = {reinterpret_cast<const uint8_t*>(b.rx_data.data()), std::min(d.length, kMaxDatagram)};
    Udp::endpoint from;
    if (peer_len <= 0 || static_cast<size_t>(peer_len) > from.capacity()) continue;
    std::memcpy(from.data(), &peer, static_cast<size_t>(peer_len));
    from.resize(static_cast<size_t>(peer_len));
    d.from = v6_ ? Unmapped(from) : from;
    d.socket = this;
    if (receiver_) receiver_->OnDatagram(d);
    auto a = alive.lock();
    if (!a || !*a) return;  // closed by the handler
  }
  if (n > 0 && receiver_) {
    receiver_->OnBatchEnd();
    auto a = alive.lock();
    if (!a || !*a) return;
  }
  in_batch_ = false;
  if (socket_) ArmWait();
}

bool UdpSocket::SendTo(std::span<const uint8_t> data, const Udp::endpoint& peer, bool stamp) {
  if (!socket_ || data.size() > kMaxDatagram) return false;
  const Udp::endpoint to = ForFamily(peer, v6_);
  std::array<uint8_t, kMaxDatagram> buf;
  std::memcpy(buf.data(), data.data(), data.size());
  // The datagram leaves with the call that follows.
  if (stamp && stamper_) stamper_({buf.data(), data.size()}, clock_.now());
  boost::system::error_code ec;
  socket_->send_to(boost::asio::buffer(buf.data(), data.size()), to, 0, ec);
  if (ec) {
    ++send_errors_;
    return false;
  }
  return true;
}

bool UdpSocket::SendNowStamped(std::span<const uint8_t> data, const Udp::endpoint& peer) {
  send_stamp_.reset();  // no transmit stamps on Windows
  return SendTo(data, peer, false);
}

std::optional<UtcTime> UdpSocket::TakeSendStamp() { return send_stamp_; }

bool UdpSocket::FlushSends() { return true; }

}  // namespace mdl::net
