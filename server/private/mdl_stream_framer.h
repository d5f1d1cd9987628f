// Cuts the byte stream of one private-protocol TCP connection into 24-byte
// requests and tells the handler when to give up on the connection.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "server/private/mdl_core.h"

namespace mdl {

enum class MdlFrameVerdict {
  kWait,      // part of a request is buffered; wait for the rest
  kRequests,  // `requests` holds one or more whole 24-byte requests
  kClose,     // not this protocol's stream: close without a reply
};

struct MdlFrameResult {
  MdlFrameVerdict verdict = MdlFrameVerdict::kWait;
  // Whole requests back to back; valid until the next Feed.
  std::span<const uint8_t> requests;
};

// TCP may split a 24-byte request over two reads or merge two requests into
// one. The framer accepts both: whole requests are released as soon as the
// buffered bytes end on a request boundary, and a partial request is given
// kCompleteWithinMs to complete. Anything else closes the connection:
// a read that leaves a partial request behind whole ones (a 25-byte
// request), a partial request that waits too long (a 23-byte request closes
// after the wait), or more than kMaxBuffered bytes at once. The handler owns
// the timer: it arms it at deadline_ms() and closes when Expired().
class MdlStreamFramer {
 public:
  static constexpr size_t kMaxBuffered = kMdlMessageSize * 64;
  static constexpr int64_t kCompleteWithinMs = 2000;

  // Takes the bytes of one read, received at `now_ms` (monotonic).
  MdlFrameResult Feed(std::span<const uint8_t> data, int64_t now_ms);

  // Whether a partial request has waited too long.
  bool Expired(int64_t now_ms) const;
  // When the buffered partial request expires; empty when none is buffered.
  std::optional<int64_t> deadline_ms() const;
  size_t buffered() const { return size_; }

 private:
  std::array<uint8_t, kMaxBuffered> buffer_{};
  size_t size_ = 0;
  int64_t partial_since_ms_ = 0;
};

}  // namespace mdl
