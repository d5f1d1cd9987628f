// Batched UDP receive and send over a Boost.Asio socket.
#include "common/net/udp_socket.h"

#include "common/clock/system_clock.h"
#include "common/net/address.h"

#include <boost/asio/ip/v6_only.hpp>

#include <linux/net_tstamp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <boost/asio/post.hpp>
#include <algorithm>
#include <cerrno>
#include <cstring>

namespace mdl::net {
namespace {

// One entry of the error queue (transmit stamps only: IP_RECVERR is off):
// false when it is empty. `data` gets the tail of the stamped packet as the
// kernel returns it (headers first), `len` its length; `ns` the software
// stamp (0 when none came with it).
bool ReadErrorEntry(int fd, std::span<uint8_t> data, size_t* len, int64_t* ns) {
  alignas(cmsghdr) char control[256];
  iovec iov{data.data(), data.size()};
  msghdr h{};
  h.msg_iov = &iov;
  h.msg_iovlen = 1;
  h.msg_control = control;
  h.msg_controllen = sizeof control;
  const ssize_t r = ::recvmsg(fd, &h, MSG_ERRQUEUE | MSG_DONTWAIT);
  if (r < 0) return false;
  *len = std::min<size_t>(static_cast<size_t>(r), data.size());
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

// The kernel returns the stamped packet with its headers: its payload is the tail.
bool TailIs(std::span<const uint8_t> packet, std::span<const uint8_t> payload) {
  return packet.size() >= payload.size() &&
         std::memcmp(packet.data() + packet.size() - payload.size(), payload.data(), payload.size()) == 0;
}

// Stamps asked for on a sample of calls once the timing is learnt.
constexpr uint32_t kSampleEvery = 16;
constexpr uint32_t kLearnSamples = 16;
// Stamped datagrams per call at most: the thread may lose the processor
// inside a call (a woken receiver on loopback), which delays the rest of the
// call past any model; the next call is stamped afresh.
constexpr size_t kStampedPerCall = 8;

}  // namespace

struct UdpSocket::Batch {
  // Receive side.
  // Left uninitialised: pages are touched only as traffic uses them.
  std::array<mmsghdr, kBatch> rx_msgs;
  std::array<iovec, kBatch> rx_iov;
  std::array<sockaddr_storage, kBatch> rx_addr;
  std::array<std::array<char, CMSG_SPACE(sizeof(timespec)) + 64>, kBatch> rx_ctrl;
  std::array<std::array<uint8_t, kMaxDatagram>, kBatch> rx_data;
  // Send side.
  std::array<mmsghdr, kBatch> tx_msgs;
  std::array<iovec, kBatch> tx_iov;
  std::array<sockaddr_storage, kBatch> tx_addr;
  std::array<std::array<uint8_t, kMaxDatagram>, kBatch> tx_data;
  std::array<bool, kBatch> tx_stamp;
  // The transmit stamp request of a sampled datagram.
  struct alignas(cmsghdr) StampRequest {
    char bytes[CMSG_SPACE(sizeof(uint32_t))];
  };
  std::array<StampRequest, 2> tx_ctrl;
  size_t tx_count = 0;
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
  // "::" serves both families.
  if (!ec && addr.is_v6()) sock->set_option(boost::asio::ip::v6_only(!addr.is_unspecified()), ec);
  if (!ec) sock->non_blocking(true, ec);
  if (!ec) {
    int one = 1;
    ::setsockopt(sock->native_handle(), SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
    // A deep receive queue rides out bursts; beyond the system's limit only
    // with the privilege to force it.
    int depth = 4 * 1024 * 1024;
    if (::setsockopt(sock->native_handle(), SOL_SOCKET, SO_RCVBUFFORCE, &depth, sizeof depth) != 0)
      ::setsockopt(sock->native_handle(), SOL_SOCKET, SO_RCVBUF, &depth, sizeof depth);
    sock->bind(ep, ec);
  }
  if (ec) {
    if (ec == boost::asio::error::address_in_use) return std::make_error_code(std::errc::address_in_use);
    return std::error_code(ec.value(), std::system_category());
  }
  local_port_ = sock->local_endpoint(ec).port();
  v6_ = addr.is_v6();
  socket_ = std::move(sock);
  if (!batch_) batch_.reset(new Batch);  // default-initialised on purpose
  return {};
}

void UdpSocket::Close() {
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
  send_stamp_.reset();
  awaiting_send_stamp_ = false;
  stale_stamps_ = false;
  if (batch_) batch_->tx_count = 0;
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
  // A transmit stamp that came after the send call returned sits in the
  // error queue and keeps the socket signalled until it is read.
  if (awaiting_send_stamp_) {
    if (clock_.monotonic() < send_stamp_deadline_) {
      TakeSendStamp();
    } else {
      awaiting_send_stamp_ = false;  // a device that does not stamp
    }
  } else if (stale_stamps_) {
    DrainErrorQueue();
  }
  Batch& b = *batch_;
  std::weak_ptr<bool> alive = alive_;
  // A few batches per wake-up, then yield to the other sockets of the loop.
  for (int round = 0; round < 8; ++round) {
    if (!socket_ || paused_) return;
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
    int n = ::recvmmsg(socket_->native_handle(), b.rx_msgs.data(), kBatch, MSG_DONTWAIT | MSG_TRUNC, nullptr);
    if (n <= 0) break;
    in_batch_ = true;
    const int64_t read_ns = SystemRealtimeNs();  // every datagram of the batch was queued by now
    for (int i = 0; i < n; ++i) {
      msghdr& h = b.rx_msgs[i].msg_hdr;
      Datagram d;
      d.length = b.rx_msgs[i].msg_len;
      d.data = {b.rx_data[i].data(), std::min<size_t>(d.length, kMaxDatagram)};
      d.truncated = d.length > kMaxDatagram || (h.msg_flags & MSG_TRUNC) != 0;
      std::memcpy(d.from.data(), &b.rx_addr[i], h.msg_namelen);
      d.from.resize(h.msg_namelen);
      if (v6_) d.from = Unmapped(d.from);
      d.socket = this;
      for (cmsghdr* c = CMSG_FIRSTHDR(&h); c; c = CMSG_NXTHDR(&h, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
          timespec ts;
          std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
          const int64_t arrival_ns = int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
          d.arrival = OnClock(arrival_ns);
          int64_t age = read_ns - arrival_ns;
          d.age = Nanoseconds(age > 0 ? age : 0);
        }
      }
      if (receiver_) receiver_->OnDatagram(d);
      auto a = alive.lock();
      if (!a || !*a) return;  // closed by the handler
    }
    in_batch_ = false;
    FlushSends();
    if (receiver_) receiver_->OnBatchEnd();
    {
      auto a = alive.lock();
      if (!a || !*a) return;
    }
    if (n < static_cast<int>(kBatch)) break;
  }
  in_batch_ = false;
  if (socket_) {
    // More may be waiting: come back after the other handlers had a turn.
    ArmWait();
  }
}

bool UdpSocket::SendTo(std::span<const uint8_t> data, const Udp::endpoint& peer, bool stamp) {
  if (!socket_ || data.size() > kMaxDatagram) return false;
  const Udp::endpoint to = ForFamily(peer, v6_);
  Batch& b = *batch_;
  if (in_batch_) {
    if (b.tx_count == kBatch && !FlushSends()) return false;
    size_t i = b.tx_count++;
    std::memcpy(b.tx_data[i].data(), data.data(), data.size());
    std::memcpy(&b.tx_addr[i], to.data(), to.size());
    b.tx_iov[i] = {b.tx_data[i].data(), data.size()};
    msghdr& h = b.tx_msgs[i].msg_hdr;
    h = {};
    h.msg_name = &b.tx_addr[i];
    h.msg_namelen = static_cast<socklen_t>(to.size());
    h.msg_iov = &b.tx_iov[i];
    h.msg_iovlen = 1;
    b.tx_stamp[i] = stamp;
    return true;
  }
  std::array<uint8_t, kMaxDatagram> buf;
  std::memcpy(buf.data(), data.data(), data.size());
  if (stamp && stamper_) {
    int64_t leaves = SystemRealtimeNs() + SendOffsetNs(timing_, 1, 0);
    if (leaves < last_leaves_ns_ && last_leaves_ns_ - leaves < kMaxSendSampleNs) leaves = last_leaves_ns_;
    last_leaves_ns_ = leaves;
    stamper_({buf.data(), data.size()}, OnClock(leaves));
  }
  ssize_t r = ::sendto(socket_->native_handle(), buf.data(), data.size(), MSG_DONTWAIT,
                       reinterpret_cast<const sockaddr*>(to.data()), static_cast<socklen_t>(to.size()));
  if (r < 0) {
    ++send_errors_;
    return false;
  }
  return true;
}

bool UdpSocket::SendNowStamped(std::span<const uint8_t> data, const Udp::endpoint& peer) {
  if (!socket_ || data.size() > kMaxDatagram) return false;
  const Udp::endpoint to = ForFamily(peer, v6_);
  TakeSendStamp();  // whatever an earlier send left behind
  send_stamp_.reset();
  stale_stamps_ = false;
  query_tail_len_ = std::min(data.size(), query_tail_.size());
  std::memcpy(query_tail_.data(), data.data() + data.size() - query_tail_len_, query_tail_len_);
  awaiting_send_stamp_ = true;
  send_stamp_deadline_ = clock_.monotonic() + std::chrono::seconds(5);
  iovec iov{const_cast<uint8_t*>(data.data()), data.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint32_t))] = {};
  msghdr h{};
  h.msg_name = const_cast<void*>(static_cast<const void*>(to.data()));
  h.msg_namelen = static_cast<socklen_t>(to.size());
  h.msg_iov = &iov;
  h.msg_iovlen = 1;
  h.msg_control = control;
  h.msg_controllen = sizeof control;
  cmsghdr* c = CMSG_FIRSTHDR(&h);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SO_TIMESTAMPING;
  c->cmsg_len = CMSG_LEN(sizeof(uint32_t));
  uint32_t flags = SOF_TIMESTAMPING_TX_SOFTWARE;
  std::memcpy(CMSG_DATA(c), &flags, sizeof flags);
  ssize_t r = ::sendmsg(socket_->native_handle(), &h, MSG_DONTWAIT);
  if (r < 0 && errno == EINVAL) {
    // A kernel without per-datagram time stamp requests: send it plainly.
    h.msg_control = nullptr;
    h.msg_controllen = 0;
    r = ::sendmsg(socket_->native_handle(), &h, MSG_DONTWAIT);
  }
  if (r < 0) {
    ++send_errors_;
    awaiting_send_stamp_ = false;
    return false;
  }
  TakeSendStamp();  // on most devices the stamp is already there
  return true;
}

std::optional<UtcTime> UdpSocket::TakeSendStamp() {
  if (!socket_) return send_stamp_;
  // Read the error queue empty so that it never takes from the receive
  // budget; a stamp of another datagram (a late sample) is not the query's.
  for (int guard = 0; guard < 16; ++guard) {
    std::array<uint8_t, 128> data;
    size_t len = 0;
    int64_t ns = 0;
    if (!ReadErrorEntry(socket_->native_handle(), data, &len, &ns)) break;
    const std::span<const uint8_t> packet(data.data(), len);
    const std::span<const uint8_t> tail(query_tail_.data(), query_tail_len_);
    // Without the packet (cut, or a kernel that returns the stamp alone) it is taken.
    if (ns > 0 && (len < tail.size() || TailIs(packet, tail))) {
      send_stamp_ = OnClock(ns);
      awaiting_send_stamp_ = false;
    }
  }
  return send_stamp_;
}

void UdpSocket::DrainErrorQueue() {
  stale_stamps_ = false;
  if (!socket_) return;
  for (int guard = 0; guard < 16; ++guard) {
    std::array<uint8_t, 128> data;
    size_t len = 0;
    int64_t ns = 0;
    if (!ReadErrorEntry(socket_->native_handle(), data, &len, &ns)) break;
  }
}

void UdpSocket::ReadSampleStamps(size_t first, size_t sent, size_t want, int64_t* stamps) {
  Batch& b = *batch_;
  // The sampled datagrams are the first and the last of the call, stamped
  // in that order; each is known by its payload.
  const size_t index[2] = {first, first + sent - 1};
  size_t next = 0;
  for (size_t got = 0; got < want && next < want; ++got) {
    std::array<uint8_t, 128 + kMaxDatagram> data;
    size_t len = 0;
    int64_t ns = 0;
    if (!ReadErrorEntry(socket_->native_handle(), data, &len, &ns)) break;
    const std::span<const uint8_t> packet(data.data(), len);
    for (size_t j = next; j < want; ++j) {
      const size_t i = index[j];
      if (TailIs(packet, {b.tx_data[i].data(), b.tx_iov[i].iov_len})) {
        stamps[j] = ns;
        next = j + 1;
        break;
      }
    }
  }
  // One not read yet may come later (a device that stamps after the call).
  if (next < want) stale_stamps_ = true;
}

bool UdpSocket::FlushSends() {
  Batch& b = *batch_;
  if (b.tx_count == 0 || !socket_) {
    b.tx_count = 0;
    return true;
  }
  bool ok = true;
  // The datagrams go out together, in calls of at most kStampedPerCall
  // stamped ones (more after a partial send). A stamped one gets the time it
  // is expected to leave: the time read before the
  // stamping plus the offset of its place in the call (SendTiming), learnt
  // from the kernel's transmit stamps of the first and last datagram of a
  // sample of calls. An upstream query's stamp is never mixed with them: no
  // sample while one is awaited.
  size_t done = 0;
  while (done < b.tx_count) {
    size_t count = b.tx_count - done;
    size_t stamped = 0;
    if (stamper_) {
      for (size_t i = done; i < b.tx_count; ++i) {
        if (b.tx_stamp[i] && stamped++ == kStampedPerCall) {
          stamped = kStampedPerCall;
          count = i - done;
          break;
        }
      }
    }
    const size_t end = done + count;
    const bool sample = stamped > 0 && sampling_ && !awaiting_send_stamp_ && !stale_stamps_ &&
                        (timing_.lead_samples < kLearnSamples || ++sample_turn_ % kSampleEvery == 0);
    const size_t samples = sample ? std::min<size_t>(count, 2) : 0;
    int64_t before = 0;
    if (stamped > 0) {
      before = SystemRealtimeNs();
      for (size_t i = done; i < end; ++i) {
        if (!b.tx_stamp[i]) continue;
        int64_t leaves = before + SendOffsetNs(timing_, stamped, i - done);
        // A later datagram never carries an earlier time than the one before it
        // (the model may overshoot the end of the previous call); a step of the
        // system clock back by more than that is taken as it is.
        if (leaves < last_leaves_ns_ && last_leaves_ns_ - leaves < kMaxSendSampleNs) leaves = last_leaves_ns_;
        last_leaves_ns_ = leaves;
        stamper_({b.tx_data[i].data(), b.tx_iov[i].iov_len}, OnClock(leaves));
      }
    }
    const size_t sampled[2] = {done, end - 1};
    for (size_t j = 0; j < samples; ++j) {
      msghdr& h = b.tx_msgs[sampled[j]].msg_hdr;
      h.msg_control = b.tx_ctrl[j].bytes;
      h.msg_controllen = sizeof b.tx_ctrl[j].bytes;
      cmsghdr* c = CMSG_FIRSTHDR(&h);
      c->cmsg_level = SOL_SOCKET;
      c->cmsg_type = SO_TIMESTAMPING;
      c->cmsg_len = CMSG_LEN(sizeof(uint32_t));
      const uint32_t flags = SOF_TIMESTAMPING_TX_SOFTWARE;
      std::memcpy(CMSG_DATA(c), &flags, sizeof flags);
    }
    const int64_t call = stamped > 0 ? SystemRealtimeNs() : 0;
    int r = ::sendmmsg(socket_->native_handle(), b.tx_msgs.data() + done, static_cast<unsigned>(count),
                       MSG_DONTWAIT);
    const int err = errno;
    for (size_t j = 0; j < samples; ++j) {
      msghdr& h = b.tx_msgs[sampled[j]].msg_hdr;
      h.msg_control = nullptr;
      h.msg_controllen = 0;
    }
    if (r < 0 && err == EINTR) continue;
    if (r < 0 && samples > 0 && err == EINVAL) {
      sampling_ = false;  // a kernel without per-datagram stamp requests
      continue;
    }
    if (stamped > 0) ObservePrep(timing_, stamped, call - before);
    if (r < 0) {
      // Skip the datagram that failed (full buffer, unreachable peer) and go on.
      ++send_errors_;
      ++done;
      ok = false;
      continue;
    }
    const size_t sent = static_cast<size_t>(r);
    if (samples > 0 && sent > 0) {
      // The last one counts only when the call sent it.
      const size_t want = sent == count ? samples : 1;
      int64_t stamps[2] = {0, 0};
      ReadSampleStamps(done, sent, want, stamps);
      if (stamps[0] > 0) {
        const size_t last = want == 2 && stamps[1] > 0 ? count - 1 : 0;
        ObserveSend(timing_, 0, stamps[0] - call, last, last ? stamps[1] - call : stamps[0] - call);
      }
    }
    done += sent;
  }
  b.tx_count = 0;
  return ok;
}

}  // namespace mdl::net
