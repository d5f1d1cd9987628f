// The UDP socket's system side on Winsock. Windows has neither
// recvmmsg/sendmmsg nor kernel receive and transmit stamps on UDP sockets:
// a batch is read datagram by datagram (one batch per wake-up), replies go
// out at once, Datagram::age stays 0 and its arrival and the query's
// transmit stamp stay empty, so that the callers stamp with their clock when they read (the
// user-space stamps the interface allows for).
#include "common/net/udp_system.h"

#include "common/clock/system_clock.h"

#include <mswsock.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace mdl::net {

const int kUdpReadRounds = 1;
const bool kUdpBatchedSends = false;
const bool kUdpPeekToWait = false;

void PrepareUdpSocket(Udp::socket& socket) {
  // Without this an ICMP "port unreachable" for an earlier reply makes the
  // next receive fail with WSAECONNRESET.
  BOOL off = FALSE;
  DWORD returned = 0;
  ::WSAIoctl(socket.native_handle(), SIO_UDP_CONNRESET, &off, sizeof off, nullptr, 0, &returned, nullptr,
             nullptr);
  // Windows lets a second socket bind a busy port with SO_REUSEADDR; this
  // one holds its port alone.
  BOOL exclusive = TRUE;
  ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
               reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
  int depth = 4 * 1024 * 1024;
  ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&depth),
               sizeof depth);
}

bool UdpPortTaken(const boost::system::error_code& ec) {
  return ec == boost::asio::error::address_in_use || ec == boost::asio::error::access_denied;
}

struct UdpSystem::Buffers {
  static constexpr size_t kBatch = UdpSocket::kBatch;
  static constexpr size_t kMaxDatagram = UdpSocket::kMaxDatagram;
  // Room for the largest datagram, so that a cut one still tells its length.
  std::array<char, 65536> scratch;
  std::array<std::array<uint8_t, kMaxDatagram>, kBatch> data;
  std::array<Datagram, kBatch> received;
};

UdpSystem::UdpSystem() = default;
UdpSystem::~UdpSystem() = default;

void UdpSystem::Attach(Udp::socket* socket) {
  socket_ = socket;
  if (socket_ && !buffers_) buffers_ = std::make_unique<Buffers>();
}

// The system's realtime clock, ns since 1970 (the scale of the stamper's send time).
int64_t UdpSystem::RealtimeNs() { return SystemRealtimeNs(); }

std::span<Datagram> UdpSystem::Read() {
  if (!socket_) return {};
  Buffers& b = *buffers_;
  size_t n = 0;
  for (size_t reads = 0; reads < Buffers::kBatch; ++reads) {
    sockaddr_storage peer{};
    int peer_len = sizeof peer;
    const int got = ::recvfrom(socket_->native_handle(), b.scratch.data(), static_cast<int>(b.scratch.size()),
                               0, reinterpret_cast<sockaddr*>(&peer), &peer_len);
    // WSAEWOULDBLOCK: the queue is empty. WSAEMSGSIZE cannot happen with a
    // buffer of the largest datagram.
    if (got == SOCKET_ERROR) break;
    Datagram& d = b.received[n];
    d = {};
    if (peer_len <= 0 || static_cast<size_t>(peer_len) > d.from.capacity()) continue;
    d.length = static_cast<size_t>(got);
    d.truncated = d.length > Buffers::kMaxDatagram;
    const size_t kept = std::min(d.length, Buffers::kMaxDatagram);
    std::memcpy(b.data[n].data(), b.scratch.data(), kept);
    d.data = {b.data[n].data(), kept};
    std::memcpy(d.from.data(), &peer, static_cast<size_t>(peer_len));
    d.from.resize(static_cast<size_t>(peer_len));
    ++n;
  }
  return {b.received.data(), n};
}

int UdpSystem::Send(std::span<const Outgoing> out, SendFailure* failure) {
  *failure = SendFailure::kFailed;
  if (!socket_) return -1;
  // No transmit stamps to ask for: each datagram is sent as it is.
  for (size_t i = 0; i < out.size(); ++i) {
    boost::system::error_code ec;
    socket_->send_to(boost::asio::buffer(out[i].data.data(), out[i].data.size()), *out[i].to, 0, ec);
    if (ec) return i == 0 ? -1 : static_cast<int>(i);
  }
  return static_cast<int>(out.size());
}

bool UdpSystem::TakeStampReport(std::span<uint8_t>, size_t*, int64_t*) { return false; }

}  // namespace mdl::net
