// The system's side of the UDP socket: socket options, how a batch of
// datagrams is read with its arrival stamps, and the send calls under the
// batch sender (udp_system*.cpp, one per platform).
#pragma once

// First: Boost 1.74's coroutine headers use std::exchange without including <utility>.
#include <utility>

#include <boost/asio/ip/udp.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "common/net/batch_sender.h"
#include "common/net/udp_socket.h"

namespace mdl::net {

// Batches read per wake-up before the loop's other sockets get a turn.
extern const int kUdpReadRounds;
// Replies to a batch wait for its end and leave in one call (where the system
// has one); otherwise each leaves at once.
extern const bool kUdpBatchedSends;
// The socket is waited on with a receive that peeks at nothing: it completes
// at once when a datagram is already queued (no poll of the loop, no
// re-registration), else it waits as a plain wait does.
extern const bool kUdpPeekToWait;

// After open, before bind: arrival stamps, a deep receive queue, the port held alone.
void PrepareUdpSocket(Udp::socket& socket);
// The bind failed because the port is another socket's.
bool UdpPortTaken(const boost::system::error_code& ec);

// The calls of one socket (none while detached).
class UdpSystem final : public SendCalls {
 public:
  UdpSystem();
  ~UdpSystem() override;
  UdpSystem(const UdpSystem&) = delete;
  UdpSystem& operator=(const UdpSystem&) = delete;

  void Attach(Udp::socket* socket);
  // Reads the datagrams queued now, up to UdpSocket::kBatch: their data (cut
  // to kMaxDatagram), real length, sender as the socket sees it, and arrival
  // stamps where the system gives them. Valid until the next Read.
  std::span<Datagram> Read();

  int64_t RealtimeNs() override;
  int Send(std::span<const Outgoing> out, SendFailure* failure) override;
  bool TakeStampReport(std::span<uint8_t> packet, size_t* len, int64_t* ns) override;

 private:
  struct Buffers;  // the platform's receive (and send call) buffers
  Udp::socket* socket_ = nullptr;
  std::unique_ptr<Buffers> buffers_;
};

}  // namespace mdl::net
