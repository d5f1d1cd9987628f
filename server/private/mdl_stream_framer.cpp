// Stream framing of the private protocol over TCP.
#include "server/private/mdl_stream_framer.h"

#include <algorithm>

namespace mdl {

MdlFrameResult MdlStreamFramer::Feed(std::span<const uint8_t> data, int64_t now_ms) {
  if (data.empty()) return {};
  if (Expired(now_ms) || data.size() > kMaxBuffered - size_) {
    size_ = 0;
    return {MdlFrameVerdict::kClose, {}};
  }
  if (size_ == 0) partial_since_ms_ = now_ms;
  std::copy(data.begin(), data.end(), buffer_.begin() + size_);
  size_ += data.size();

  if (size_ % kMdlMessageSize == 0) {
    const size_t whole = size_;
    size_ = 0;
    return {MdlFrameVerdict::kRequests, std::span<const uint8_t>(buffer_.data(), whole)};
  }
  if (size_ < kMdlMessageSize) return {};
  size_ = 0;
  return {MdlFrameVerdict::kClose, {}};
}

bool MdlStreamFramer::Expired(int64_t now_ms) const {
  return size_ > 0 && now_ms - partial_since_ms_ >= kCompleteWithinMs;
}

std::optional<int64_t> MdlStreamFramer::deadline_ms() const {
  if (size_ == 0) return std::nullopt;
  return partial_since_ms_ + kCompleteWithinMs;
}

}  // namespace mdl
