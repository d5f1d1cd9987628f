// The UDP socket's system side on Linux: batches read with recvmmsg, each
// datagram with the kernel's arrival stamp; replies sent with sendmmsg, a
// sample of them with software transmit stamps read back from the error queue.
//
// Replies leave through a second socket bound to the same address and port
// that is never waited on: the loop's poll keeps a waiter on the receiving
// socket, and the kernel checks that waiter for every datagram the socket
// sends (a wake-up attempt for write space, about 5% of the cost of a reply
// on loopback). The two share a port group whose selector sends every
// arrival to its first member, the receiving socket. Where the system has
// no such group, replies leave through the receiving socket.
#include "common/net/udp_system.h"

#include "common/clock/system_clock.h"

#include <linux/filter.h>
#include <linux/net_tstamp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

namespace mdl::net {

const int kUdpReadRounds = 8;
const bool kUdpBatchedSends = true;
const bool kUdpPeekToWait = true;

void PrepareUdpSocket(Udp::socket& socket) {
  int one = 1;
  ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
  // A deep receive queue rides out bursts; beyond the system's limit only
  // with the privilege to force it.
  int depth = 4 * 1024 * 1024;
  if (::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVBUFFORCE, &depth, sizeof depth) != 0)
    ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVBUF, &depth, sizeof depth);
  // The port group with its selector, made before the bind: a socket that
  // brings a group of its own joins no other, so a port already held (also
  // by another group) is refused as before.
  const int fd = socket.native_handle();
  sock_filter first[] = {BPF_STMT(BPF_RET | BPF_K, 0)};
  sock_fprog selector{1, first};
  if (::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) == 0 &&
      ::setsockopt(fd, SOL_SOCKET, SO_ATTACH_REUSEPORT_CBPF, &selector, sizeof selector) != 0) {
    int zero = 0;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &zero, sizeof zero);
  }
}

bool UdpPortTaken(const boost::system::error_code& ec) { return ec == boost::asio::error::address_in_use; }

struct UdpSystem::Buffers {
  static constexpr size_t kBatch = UdpSocket::kBatch;
  static constexpr size_t kMaxDatagram = UdpSocket::kMaxDatagram;
  // Left uninitialised: pages are touched only as traffic uses them.
  std::array<mmsghdr, kBatch> rx_msgs;
  std::array<iovec, kBatch> rx_iov;
  std::array<sockaddr_storage, kBatch> rx_addr;
  std::array<std::array<char, CMSG_SPACE(sizeof(timespec)) + 64>, kBatch> rx_ctrl;
  std::array<std::array<uint8_t, kMaxDatagram>, kBatch> rx_data;
  std::array<Datagram, kBatch> received;
  std::array<mmsghdr, kBatch> tx_msgs;
  std::array<iovec, kBatch> tx_iov;
  // The transmit stamp request of a datagram that asks for one.
  struct alignas(cmsghdr) StampRequest {
    char bytes[CMSG_SPACE(sizeof(uint32_t))];
  };
  std::array<StampRequest, kBatch> tx_ctrl;
  // The socket replies leave through (and whose error queue holds their
  // transmit stamps); -1: the receiving socket's.
  int send_fd = -1;
};

namespace {

// A socket that joins `fd`'s port group as a sender, or -1.
int OpenSender(int fd) {
  sockaddr_storage local{};
  socklen_t local_len = sizeof local;
  int reuse = 0;
  socklen_t reuse_len = sizeof reuse;
  if (::getsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &reuse, &reuse_len) != 0 || !reuse ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &local_len) != 0)
    return -1;
  const int s = ::socket(local.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (s < 0) return -1;
  int one = 1;
  bool ok = ::setsockopt(s, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) == 0 &&
            ::setsockopt(s, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one) == 0;
  if (ok && local.ss_family == AF_INET6) {
    int v6only = 0;
    socklen_t len = sizeof v6only;
    ok = ::getsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, &len) == 0 &&
         ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only) == 0;
  }
  // Nothing arrives here (the selector picks the first member); its error
  // queue takes the transmit stamps of the replies.
  if (!ok || ::bind(s, reinterpret_cast<const sockaddr*>(&local), local_len) != 0) {
    ::close(s);
    return -1;
  }
  return s;
}

}  // namespace

UdpSystem::UdpSystem() = default;

UdpSystem::~UdpSystem() { Attach(nullptr); }

void UdpSystem::Attach(Udp::socket* socket) {
  socket_ = socket;
  if (buffers_ && buffers_->send_fd >= 0) {
    ::close(buffers_->send_fd);
    buffers_->send_fd = -1;
  }
  if (!socket_) return;
  if (!buffers_) buffers_.reset(new Buffers);  // default-initialised on purpose
  buffers_->send_fd = OpenSender(socket_->native_handle());
}

int64_t UdpSystem::RealtimeNs() { return SystemRealtimeNs(); }

std::span<Datagram> UdpSystem::Read() {
  if (!socket_) return {};
  Buffers& b = *buffers_;
  constexpr size_t kBatch = Buffers::kBatch;
  constexpr size_t kMaxDatagram = Buffers::kMaxDatagram;
  for (size_t i = 0; i < kBatch; ++i) {
    b.rx_iov[i] = {b.rx_data[i].data(), kMaxDatagram};
    msghdr& h = b.rx_msgs[i].msg_hdr;
    h = {};
    h.msg_name = &b.rx_addr[i];
    h.msg_namelen = sizeof(sockaddr_storage);
    h.msg_iov = &b.rx_iov[i];
    h.msg_iovlen = 1;
    h.msg_control = b.rx_ctrl[i].data();
    h.msg_controllen = b.rx_ctrl[i].size();
  }
  // MSG_TRUNC: msg_len is the datagram's real length even when it was cut.
  const int n =
      ::recvmmsg(socket_->native_handle(), b.rx_msgs.data(), kBatch, MSG_DONTWAIT | MSG_TRUNC, nullptr);
  if (n <= 0) return {};
  const int64_t read_ns = RealtimeNs();  // every datagram of the batch was queued by now
  for (int i = 0; i < n; ++i) {
    msghdr& h = b.rx_msgs[i].msg_hdr;
    Datagram& d = b.received[i];
    d = {};
    d.length = b.rx_msgs[i].msg_len;
    d.data = {b.rx_data[i].data(), std::min<size_t>(d.length, kMaxDatagram)};
    d.truncated = d.length > kMaxDatagram || (h.msg_flags & MSG_TRUNC) != 0;
    std::memcpy(d.from.data(), &b.rx_addr[i], h.msg_namelen);
    d.from.resize(h.msg_namelen);
    for (cmsghdr* c = CMSG_FIRSTHDR(&h); c; c = CMSG_NXTHDR(&h, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
        timespec ts;
        std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
        const int64_t arrival_ns = int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
        d.arrival = UtcFromNs(arrival_ns);  // the system's scale: UdpSocket takes it onto its clock
        const int64_t age = read_ns - arrival_ns;
        d.age = Nanoseconds(age > 0 ? age : 0);
      }
    }
  }
  return {b.received.data(), static_cast<size_t>(n)};
}

int UdpSystem::Send(std::span<const Outgoing> out, SendFailure* failure) {
  *failure = SendFailure::kFailed;
  if (!socket_ || out.empty() || out.size() > Buffers::kBatch) return -1;
  Buffers& b = *buffers_;
  bool stamp_requests = false;
  for (size_t i = 0; i < out.size(); ++i) {
    b.tx_iov[i] = {const_cast<uint8_t*>(out[i].data.data()), out[i].data.size()};
    msghdr& h = b.tx_msgs[i].msg_hdr;
    h = {};
    h.msg_name = const_cast<void*>(static_cast<const void*>(out[i].to->data()));
    h.msg_namelen = static_cast<socklen_t>(out[i].to->size());
    h.msg_iov = &b.tx_iov[i];
    h.msg_iovlen = 1;
    if (out[i].stamp_request) {
      stamp_requests = true;
      h.msg_control = b.tx_ctrl[i].bytes;
      h.msg_controllen = sizeof b.tx_ctrl[i].bytes;
      cmsghdr* c = CMSG_FIRSTHDR(&h);
      c->cmsg_level = SOL_SOCKET;
      c->cmsg_type = SO_TIMESTAMPING;
      c->cmsg_len = CMSG_LEN(sizeof(uint32_t));
      const uint32_t flags = SOF_TIMESTAMPING_TX_SOFTWARE;
      std::memcpy(CMSG_DATA(c), &flags, sizeof flags);
    }
  }
  const int r = ::sendmmsg(b.send_fd >= 0 ? b.send_fd : socket_->native_handle(), b.tx_msgs.data(),
                           static_cast<unsigned>(out.size()), MSG_DONTWAIT);
  if (r < 0) {
    if (errno == EINTR) *failure = SendFailure::kInterrupted;
    // A kernel without per-datagram time stamp requests.
    if (errno == EINVAL && stamp_requests) *failure = SendFailure::kStampsRefused;
  }
  return r;
}

// Transmit stamps only: IP_RECVERR is off, so the error queue holds nothing else.
bool UdpSystem::TakeStampReport(std::span<uint8_t> packet, size_t* len, int64_t* ns) {
  if (!socket_) return false;
  alignas(cmsghdr) char control[256];
  iovec iov{packet.data(), packet.size()};
  msghdr h{};
  h.msg_iov = &iov;
  h.msg_iovlen = 1;
  h.msg_control = control;
  h.msg_controllen = sizeof control;
  const int fd = buffers_->send_fd >= 0 ? buffers_->send_fd : socket_->native_handle();
  const ssize_t r = ::recvmsg(fd, &h, MSG_ERRQUEUE | MSG_DONTWAIT);
  if (r < 0) return false;
  *len = std::min<size_t>(static_cast<size_t>(r), packet.size());
  *ns = 0;
  for (cmsghdr* c = CMSG_FIRSTHDR(&h); c; c = CMSG_NXTHDR(&h, c)) {
    if (c->cmsg_level != SOL_SOCKET) continue;
    if (c->cmsg_type != SCM_TIMESTAMPNS && c->cmsg_type != SCM_TIMESTAMPING) continue;
    timespec ts{};
    std::memcpy(&ts, CMSG_DATA(c), sizeof ts);  // SCM_TIMESTAMPING: [0] is the software stamp
    const int64_t v = int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
    if (v > 0) *ns = v;
  }
  return true;
}

}  // namespace mdl::net
