// The send side of a UDP socket: replies queued while a batch of requests is
// handled go out together, the stamped ones carrying the time they are
// expected to leave, learnt (SendTiming) from the transmit stamps the system
// reports for a sample of calls; and the single stamped send of a query whose
// own transmit stamp is read back. The system's calls come through SendCalls
// (udp_system*.cpp for a socket), so the logic runs the same over any of them.
#pragma once

// First: Boost 1.74's coroutine headers use std::exchange without including <utility>.
#include <utility>

#include <array>
#include <boost/asio/ip/udp.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include "common/clock/deadline.h"
#include "common/net/send_timing.h"

namespace mdl::net {

using Udp = boost::asio::ip::udp;

// One datagram of a send call.
struct Outgoing {
  std::span<const uint8_t> data;
  const Udp::endpoint* to = nullptr;
  // Asks the system to report when the datagram left (a transmit stamp).
  bool stamp_request = false;
};

enum class SendFailure {
  kInterrupted,    // nothing went: call again
  kStampsRefused,  // the system takes no transmit stamp requests: nothing went
  kFailed,         // the first datagram could not be sent (full buffer, unreachable peer)
};

class SendCalls {
 public:
  virtual ~SendCalls() = default;
  // Now on the system's realtime clock, ns since 1970: the scale of its stamps.
  virtual int64_t RealtimeNs() = 0;
  // Sends `out` in one call, in order: how many went (from the first), or -1
  // with the reason in *failure.
  virtual int Send(std::span<const Outgoing> out, SendFailure* failure) = 0;
  // Takes the next transmit stamp report; false when none is queued. `packet`
  // gets the stamped packet as the system returns it (headers first, so its
  // payload is the tail), `*len` its length, `*ns` the stamp (0: none came).
  virtual bool TakeStampReport(std::span<uint8_t> packet, size_t* len, int64_t* ns) = 0;
};

class BatchSender {
 public:
  static constexpr size_t kCapacity = 64;
  static constexpr size_t kMaxDatagram = 512;
  // Stamps asked for on a sample of calls once the timing is learnt: one
  // call in kSampleEvery, fewer (NextSampleGap) while the samples agree with
  // the model.
  static constexpr uint32_t kSampleEvery = kSampleGapLearning;
  static constexpr uint32_t kLearnSamples = 16;
  // Stamped datagrams per call at most: the thread may lose the processor
  // inside a call (a woken receiver on loopback), which delays the rest of
  // the call past any model; the next call is stamped afresh.
  static constexpr size_t kStampedPerCall = 8;

  // `leaves_ns`: when the datagram is expected to leave, on the realtime clock.
  using Stamper = std::function<void(std::span<uint8_t> datagram, int64_t leaves_ns)>;

  // `calls` outlives the sender.
  explicit BatchSender(SendCalls& calls);
  ~BatchSender();
  BatchSender(const BatchSender&) = delete;
  BatchSender& operator=(const BatchSender&) = delete;

  void SetStamper(Stamper stamper) { stamper_ = std::move(stamper); }

  // Queues one datagram of at most kMaxDatagram bytes (sending the queue
  // first when it is full); `stamp`: the stamper writes into it right before
  // its call. False when it could not be queued.
  bool Queue(std::span<const uint8_t> data, const Udp::endpoint& to, bool stamp);
  // Sends the queue; false when a datagram of it could not be sent.
  bool Flush();
  // Sends one datagram at once.
  bool SendNow(std::span<const uint8_t> data, const Udp::endpoint& to, bool stamp);

  // Sends a query at once with a transmit stamp request; no sample is taken
  // while its stamp is awaited, so that the two are never mixed.
  bool SendQuery(std::span<const uint8_t> data, const Udp::endpoint& to);
  // The transmit stamp of the last query (realtime ns); 0 while none came.
  int64_t TakeQueryStamp();
  // The socket is readable: a stamp that came after its call keeps it so
  // until it is read.
  void ReadLateStamps();

  // The socket closed: the queue and any awaited stamp are dropped.
  void Reset();

  const SendTiming& timing() const { return timing_; }
  // Calls from one sample to the next, once the timing is learnt.
  uint32_t sample_gap() const { return sample_gap_; }
  uint64_t errors() const { return errors_; }

 private:
  struct Queued;
  int64_t Leaves(int64_t at);
  // Reads up to `want` stamps of the datagrams [first, first + sent) of the
  // call just made, into `stamps` (0: none came for it).
  void ReadSampleStamps(size_t first, size_t sent, size_t want, int64_t* stamps);
  void DrainStampReports();

  SendCalls& calls_;
  std::unique_ptr<Queued> queued_;
  size_t count_ = 0;
  Stamper stamper_;
  SendTiming timing_;
  int64_t last_leaves_ns_ = 0;  // the send time given to the last stamped datagram
  uint32_t sample_turn_ = 0;    // calls since the last sample
  uint32_t sample_gap_ = kSampleGapLearning;
  bool sampling_ = true;                  // off when the system refuses stamp requests
  bool stale_stamps_ = false;             // a sampled stamp may still come
  std::array<uint8_t, 64> query_tail_{};  // of the last query
  size_t query_tail_len_ = 0;
  int64_t query_stamp_ns_ = 0;
  bool awaiting_query_stamp_ = false;
  // Waiting for the kernel's report, not a schedule: on the machine's monotonic clock.
  Deadline query_stamp_deadline_{Nanoseconds(0)};
  uint64_t errors_ = 0;
};

}  // namespace mdl::net
