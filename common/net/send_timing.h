// When the datagrams of one batched send leave the host, so that each can
// carry a true transmit time although the whole batch is stamped before the
// call. Pure: the socket feeds it the kernel's transmit stamps of sampled
// datagrams and the time its stamping took.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mdl::net {

// Datagram k of a call of n stamped datagrams leaves at
//   (time read before stamping) + n * prep + lead + k * step
// prep: stamping one datagram before the call; lead: call start to the first
// datagram's kernel transmit stamp; step: between two datagrams of one call.
struct SendTiming {
  int64_t prep_ns = 0;
  int64_t lead_ns = 0;
  int64_t step_ns = 0;
  uint32_t prep_samples = 0;
  uint32_t lead_samples = 0;
  uint32_t step_samples = 0;
};

// Samples further than this from the start of their call are not taken
// (the thread was preempted, or the stamp belongs to another send).
inline constexpr int64_t kMaxSendSampleNs = 1'000'000;

// Offset after the time read before stamping at which datagram k of a call
// that stamps `stamped` datagrams leaves.
int64_t SendOffsetNs(const SendTiming& t, size_t stamped, size_t k);

// Calls between two sampled calls: kSampleGapLearning while the model is
// young or a sample strays from it by more than kSampleStrayNs; each sample
// that agrees with it doubles the gap, up to kSampleGapStable.
inline constexpr uint32_t kSampleGapLearning = 16;
inline constexpr uint32_t kSampleGapStable = 256;
inline constexpr int64_t kSampleStrayNs = 2'000;
uint32_t NextSampleGap(uint32_t gap, int64_t modelled_ns, int64_t observed_ns);

// Stamping `stamped` datagrams took `prep_ns`.
void ObservePrep(SendTiming& t, size_t stamped, int64_t prep_ns);

// The kernel stamped datagram `first` of a call at `first_ns` after the call
// began and datagram `last` (> first, or equal: no step sample) at `last_ns`.
void ObserveSend(SendTiming& t, size_t first, int64_t first_ns, size_t last, int64_t last_ns);

}  // namespace mdl::net
