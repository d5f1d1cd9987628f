// Framing of private-protocol requests on a TCP stream.
#include "server/private/mdl_stream_framer.h"

#include <gtest/gtest.h>

#include <vector>

namespace mdl {
namespace {

std::vector<uint8_t> Requests(size_t count) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t one[kMdlMessageSize] = {'M', 'D', 'L', 'C', '5', 'U', 'T', 'C', static_cast<uint8_t>(i)};
    bytes.insert(bytes.end(), one, one + kMdlMessageSize);
  }
  return bytes;
}

std::span<const uint8_t> Slice(const std::vector<uint8_t>& v, size_t from, size_t to) {
  return std::span<const uint8_t>(v).subspan(from, to - from);
}

TEST(MdlStreamFramer, OneWholeRequestIsReleasedAtOnce) {
  MdlStreamFramer framer;
  const auto bytes = Requests(1);
  const MdlFrameResult r = framer.Feed(bytes, 0);
  ASSERT_EQ(r.verdict, MdlFrameVerdict::kRequests);
  EXPECT_TRUE(std::equal(r.requests.begin(), r.requests.end(), bytes.begin(), bytes.end()));
  EXPECT_EQ(framer.buffered(), 0u);
  EXPECT_FALSE(framer.deadline_ms().has_value());
}

TEST(MdlStreamFramer, SplitRequestIsJoined) {
  MdlStreamFramer framer;
  const auto bytes = Requests(1);
  EXPECT_EQ(framer.Feed(Slice(bytes, 0, 10), 100).verdict, MdlFrameVerdict::kWait);
  EXPECT_EQ(framer.deadline_ms(), 100 + MdlStreamFramer::kCompleteWithinMs);
  const MdlFrameResult r = framer.Feed(Slice(bytes, 10, 24), 150);
  ASSERT_EQ(r.verdict, MdlFrameVerdict::kRequests);
  EXPECT_TRUE(std::equal(r.requests.begin(), r.requests.end(), bytes.begin(), bytes.end()))
      << "joined request differs from what was sent";
}

TEST(MdlStreamFramer, MergedRequestsAreAllReleased) {
  MdlStreamFramer framer;
  const auto bytes = Requests(3);
  const MdlFrameResult r = framer.Feed(bytes, 0);
  ASSERT_EQ(r.verdict, MdlFrameVerdict::kRequests);
  EXPECT_EQ(r.requests.size(), 3 * kMdlMessageSize);
  EXPECT_EQ(r.requests[2 * kMdlMessageSize + 8], 2) << "third request out of place";
}

TEST(MdlStreamFramer, MalformedStreamsClose) {
  struct Case {
    std::vector<size_t> reads;  // sizes of consecutive reads, at time 0
    const char* what;
  };
  const Case cases[] = {
      {{25}, "25-byte request"},
      {{47}, "one request and a partial one in the same read"},
      {{20, 10}, "partial request overrun by the next read"},
      {{MdlStreamFramer::kMaxBuffered + kMdlMessageSize}, "more than the buffer at once"},
  };
  for (const Case& c : cases) {
    MdlStreamFramer framer;
    size_t total = 0;
    for (size_t n : c.reads) total += n;
    const auto bytes = Requests(total / kMdlMessageSize + 1);
    MdlFrameVerdict last = MdlFrameVerdict::kWait;
    size_t at = 0;
    for (size_t n : c.reads) {
      last = framer.Feed(Slice(bytes, at, at + n), 0).verdict;
      at += n;
    }
    EXPECT_EQ(last, MdlFrameVerdict::kClose) << c.what;
    EXPECT_EQ(framer.buffered(), 0u) << c.what << ": bytes kept after close";
  }
}

TEST(MdlStreamFramer, PartialRequestExpiresAfterTheWait) {
  MdlStreamFramer framer;
  const auto bytes = Requests(1);
  ASSERT_EQ(framer.Feed(Slice(bytes, 0, 23), 1000).verdict, MdlFrameVerdict::kWait);
  EXPECT_FALSE(framer.Expired(1000 + MdlStreamFramer::kCompleteWithinMs - 1));
  EXPECT_TRUE(framer.Expired(1000 + MdlStreamFramer::kCompleteWithinMs))
      << "a 23-byte request must not hold the connection open for ever";
  EXPECT_EQ(framer.Feed(Slice(bytes, 23, 24), 1000 + MdlStreamFramer::kCompleteWithinMs).verdict,
            MdlFrameVerdict::kClose)
      << "the last byte came after the deadline";
}

TEST(MdlStreamFramer, SeveralRequestsOnOneConnectionEachGetReleased) {
  MdlStreamFramer framer;
  const auto bytes = Requests(2);
  EXPECT_EQ(framer.Feed(Slice(bytes, 0, 24), 0).verdict, MdlFrameVerdict::kRequests);
  EXPECT_EQ(framer.Feed(Slice(bytes, 24, 30), 5000).verdict, MdlFrameVerdict::kWait)
      << "time since the first request must not count against the second";
  EXPECT_EQ(framer.Feed(Slice(bytes, 30, 48), 5100).verdict, MdlFrameVerdict::kRequests);
}

TEST(MdlStreamFramer, EmptyReadChangesNothing) {
  MdlStreamFramer framer;
  EXPECT_EQ(framer.Feed({}, 0).verdict, MdlFrameVerdict::kWait);
  EXPECT_FALSE(framer.Expired(1'000'000));
}

}  // namespace
}  // namespace mdl
