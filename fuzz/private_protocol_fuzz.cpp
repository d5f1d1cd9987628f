// Fuzz target: the private protocol's server side. The input is fed to the
// stream framer in chunks whose sizes come from the input itself; every
// released request is checked and answered. Nothing may crash, and every
// reply must carry the server identification and echo bytes 8..15.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "server/private/mdl_core.h"
#include "server/private/mdl_stream_framer.h"

namespace {

void Answer(std::span<const uint8_t, mdl::kMdlMessageSize> request, bool service_tcp) {
  const std::array<uint8_t, 8> stamp = {0, 0, 0, 1, 0x80, 0, 0, 0};
  const auto reply = mdl::BuildMdlReply(request, stamp, '5', service_tcp);
  if (reply[0] != 'M' || reply[1] != 'D' || reply[2] != 'L' || reply[3] != 'S') std::abort();
  if (!std::equal(request.begin() + 8, request.begin() + 16, reply.begin() + 8)) std::abort();
  if (mdl::CheckMdlRequest(reply) == mdl::MdlCheck::kOk) std::abort();  // no reply loops
  (void)mdl::MdlLogText(service_tcp ? mdl::Transport::kTcp : mdl::Transport::kUdp, request[4]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Datagram path: the whole input is one datagram.
  const std::span<const uint8_t> all(data, size);
  if (mdl::CheckMdlRequest(all) == mdl::MdlCheck::kOk) {
    Answer(std::span<const uint8_t, mdl::kMdlMessageSize>(data, mdl::kMdlMessageSize), false);
  }

  // Stream path: the first byte picks chunk sizes and pauses.
  if (size == 0) return 0;
  const uint8_t shape = data[0];
  mdl::MdlStreamFramer framer;
  int64_t now_ms = 0;
  size_t at = 1;
  while (at < size) {
    const size_t chunk = std::min<size_t>(size - at, 1 + (data[at] ^ shape) % 60);
    const mdl::MdlFrameResult r = framer.Feed(all.subspan(at, chunk), now_ms);
    at += chunk;
    now_ms += (shape & 0x0F) * 250;
    if (r.verdict == mdl::MdlFrameVerdict::kClose) {
      if (framer.buffered() != 0) std::abort();
      framer = mdl::MdlStreamFramer();
      continue;
    }
    if (r.verdict != mdl::MdlFrameVerdict::kRequests) continue;
    if (r.requests.empty() || r.requests.size() % mdl::kMdlMessageSize != 0) std::abort();
    for (size_t i = 0; i < r.requests.size(); i += mdl::kMdlMessageSize) {
      const auto one = r.requests.subspan(i, mdl::kMdlMessageSize);
      if (mdl::CheckMdlRequest(one) == mdl::MdlCheck::kOk) {
        Answer(std::span<const uint8_t, mdl::kMdlMessageSize>(one.data(), mdl::kMdlMessageSize), true);
      }
    }
    if (framer.Expired(now_ms)) framer = mdl::MdlStreamFramer();
  }
  return 0;
}
