// Batched, stamped UDP sends over the system's calls.
#include "common/net/batch_sender.h"

#include <algorithm>

namespace mdl::net {
namespace {

// The system returns the stamped packet with its headers: its payload is the tail.
bool TailIs(std::span<const uint8_t> packet, std::span<const uint8_t> payload) {
  return packet.size() >= payload.size() &&
         std::equal(payload.begin(), payload.end(), packet.end() - static_cast<ptrdiff_t>(payload.size()));
}

}  // namespace

struct BatchSender::Queued {
  // Left uninitialised: pages are touched only as traffic uses them.
  std::array<std::array<uint8_t, kMaxDatagram>, kCapacity> data;
  std::array<Udp::endpoint, kCapacity> to;
  std::array<Outgoing, kCapacity> out;
  std::array<bool, kCapacity> stamp;
};

BatchSender::BatchSender(SendCalls& calls) : calls_(calls), queued_(new Queued) {}  // default-initialised
BatchSender::~BatchSender() = default;

int64_t BatchSender::Leaves(int64_t at) {
  // A later datagram never carries an earlier time than the one before it
  // (the model may overshoot the end of the previous call); a step of the
  // system clock back by more than that is taken as it is.
  if (at < last_leaves_ns_ && last_leaves_ns_ - at < kMaxSendSampleNs) at = last_leaves_ns_;
  last_leaves_ns_ = at;
  return at;
}

bool BatchSender::Queue(std::span<const uint8_t> data, const Udp::endpoint& to, bool stamp) {
  if (data.size() > kMaxDatagram) return false;
  if (count_ == kCapacity && !Flush()) return false;
  Queued& q = *queued_;
  const size_t i = count_++;
  std::copy(data.begin(), data.end(), q.data[i].begin());  // an empty span may have no data()
  q.to[i] = to;
  q.out[i] = {{q.data[i].data(), data.size()}, &q.to[i], false};
  q.stamp[i] = stamp;
  return true;
}

bool BatchSender::SendNow(std::span<const uint8_t> data, const Udp::endpoint& to, bool stamp) {
  if (data.size() > kMaxDatagram) return false;
  std::array<uint8_t, kMaxDatagram> buf;
  std::copy(data.begin(), data.end(), buf.begin());
  if (stamp && stamper_)
    stamper_({buf.data(), data.size()}, Leaves(calls_.RealtimeNs() + SendOffsetNs(timing_, 1, 0)));
  const Outgoing out[1] = {{{buf.data(), data.size()}, &to, false}};
  SendFailure failure;
  if (calls_.Send(out, &failure) < 1) {
    ++errors_;
    return false;
  }
  return true;
}

bool BatchSender::SendQuery(std::span<const uint8_t> data, const Udp::endpoint& to) {
  TakeQueryStamp();  // whatever an earlier send left behind
  query_stamp_ns_ = 0;
  stale_stamps_ = false;
  query_tail_len_ = std::min(data.size(), query_tail_.size());
  std::copy(data.end() - query_tail_len_, data.end(), query_tail_.begin());
  awaiting_query_stamp_ = true;
  query_stamp_deadline_ = Deadline(std::chrono::seconds(5));
  Outgoing out[1] = {{data, &to, true}};
  SendFailure failure;
  int r = calls_.Send(out, &failure);
  if (r < 0 && failure == SendFailure::kStampsRefused) {
    // A system without per-datagram stamp requests: send it plainly.
    out[0].stamp_request = false;
    r = calls_.Send(out, &failure);
  }
  if (r < 1) {
    ++errors_;
    awaiting_query_stamp_ = false;
    return false;
  }
  TakeQueryStamp();  // on most devices the stamp is already there
  return true;
}

int64_t BatchSender::TakeQueryStamp() {
  // Read the reports empty so that they never take from the receive budget;
  // a stamp of another datagram (a late sample) is not the query's.
  for (int guard = 0; guard < 16; ++guard) {
    std::array<uint8_t, 128> data;
    size_t len = 0;
    int64_t ns = 0;
    if (!calls_.TakeStampReport(data, &len, &ns)) break;
    const std::span<const uint8_t> packet(data.data(), len);
    const std::span<const uint8_t> tail(query_tail_.data(), query_tail_len_);
    // Without the packet (cut, or a system that returns the stamp alone) it is taken.
    if (ns > 0 && (len < tail.size() || TailIs(packet, tail))) {
      query_stamp_ns_ = ns;
      awaiting_query_stamp_ = false;
    }
  }
  return query_stamp_ns_;
}

void BatchSender::ReadLateStamps() {
  if (awaiting_query_stamp_) {
    if (!query_stamp_deadline_.Passed()) {
      TakeQueryStamp();
    } else {
      awaiting_query_stamp_ = false;  // a device that does not stamp
    }
  } else if (stale_stamps_) {
    DrainStampReports();
  }
}

void BatchSender::DrainStampReports() {
  stale_stamps_ = false;
  for (int guard = 0; guard < 16; ++guard) {
    std::array<uint8_t, 128> data;
    size_t len = 0;
    int64_t ns = 0;
    if (!calls_.TakeStampReport(data, &len, &ns)) break;
  }
}

void BatchSender::Reset() {
  count_ = 0;
  sample_gap_ = kSampleGapLearning;  // the next socket may time differently
  query_stamp_ns_ = 0;
  awaiting_query_stamp_ = false;
  stale_stamps_ = false;
}

void BatchSender::ReadSampleStamps(size_t first, size_t sent, size_t want, int64_t* stamps) {
  const Queued& q = *queued_;
  // The sampled datagrams are the first and the last of the call, stamped
  // in that order; each is known by its payload.
  const size_t index[2] = {first, first + sent - 1};
  size_t next = 0;
  for (size_t got = 0; got < want && next < want; ++got) {
    std::array<uint8_t, 128 + kMaxDatagram> data;
    size_t len = 0;
    int64_t ns = 0;
    if (!calls_.TakeStampReport(data, &len, &ns)) break;
    const std::span<const uint8_t> packet(data.data(), len);
    for (size_t j = next; j < want; ++j) {
      if (TailIs(packet, q.out[index[j]].data)) {
        stamps[j] = ns;
        next = j + 1;
        break;
      }
    }
  }
  // One not read yet may come later (a device that stamps after the call).
  if (next < want) stale_stamps_ = true;
}

bool BatchSender::Flush() {
  Queued& q = *queued_;
  bool ok = true;
  // The datagrams go out together, in calls of at most kStampedPerCall
  // stamped ones (more after a partial send). A stamped one gets the time it
  // is expected to leave: the time read before the stamping plus the offset
  // of its place in the call (SendTiming), learnt from the transmit stamps of
  // the first and last datagram of a sample of calls. A query's stamp is
  // never mixed with them: no sample while one is awaited.
  size_t done = 0;
  while (done < count_) {
    size_t count = count_ - done;
    size_t stamped = 0;
    if (stamper_) {
      for (size_t i = done; i < count_; ++i) {
        if (q.stamp[i] && stamped++ == kStampedPerCall) {
          stamped = kStampedPerCall;
          count = i - done;
          break;
        }
      }
    }
    const size_t end = done + count;
    const bool sample = stamped > 0 && sampling_ && !awaiting_query_stamp_ && !stale_stamps_ &&
                        (timing_.lead_samples < kLearnSamples || ++sample_turn_ >= sample_gap_);
    if (sample) sample_turn_ = 0;
    const size_t samples = sample ? std::min<size_t>(count, 2) : 0;
    int64_t before = 0;
    if (stamped > 0) {
      before = calls_.RealtimeNs();
      for (size_t i = done; i < end; ++i) {
        if (!q.stamp[i]) continue;
        stamper_({q.data[i].data(), q.out[i].data.size()},
                 Leaves(before + SendOffsetNs(timing_, stamped, i - done)));
      }
    }
    const size_t sampled[2] = {done, end - 1};
    for (size_t j = 0; j < samples; ++j) q.out[sampled[j]].stamp_request = true;
    const int64_t call = stamped > 0 ? calls_.RealtimeNs() : 0;
    SendFailure failure = SendFailure::kFailed;
    const int r = calls_.Send({q.out.data() + done, count}, &failure);
    for (size_t j = 0; j < samples; ++j) q.out[sampled[j]].stamp_request = false;
    if (r < 0 && failure == SendFailure::kInterrupted) continue;
    if (r < 0 && samples > 0 && failure == SendFailure::kStampsRefused) {
      sampling_ = false;
      continue;
    }
    if (stamped > 0) ObservePrep(timing_, stamped, call - before);
    if (r <= 0) {
      // Skip the datagram that failed and go on (a call that sends nothing
      // without a reason counts as its failure, so that the loop ends).
      ++errors_;
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
        if (timing_.lead_samples >= kLearnSamples)
          sample_gap_ = NextSampleGap(sample_gap_, timing_.lead_ns, stamps[0] - call);
        const size_t last = want == 2 && stamps[1] > 0 ? count - 1 : 0;
        ObserveSend(timing_, 0, stamps[0] - call, last, last ? stamps[1] - call : stamps[0] - call);
      }
    }
    done += sent;
  }
  count_ = 0;
  return ok;
}

}  // namespace mdl::net
