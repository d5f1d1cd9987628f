// Fuzz target: any datagram through the server's reading of an authenticated
// NTP request (fixed cookie key), its reply or NAK, and the client's check
// of a reply. An authentic request must give a reply no larger than itself
// that the client accepts; nothing may crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "common/nts/ntp_auth.h"

namespace {

using namespace mdl::nts;

const CookieKeySet& Keys() {
  static const CookieKeySet set = [] {
    CookieKeySet s;
    CookieKey k;
    k.id = 1;
    for (size_t i = 0; i < k.key.size(); ++i) k.key[i] = static_cast<uint8_t>(i);
    s.keys.push_back(k);
    return s;
  }();
  return set;
}

// The session keys the seed corpus was made with.
const SessionKeys& Session() {
  static const SessionKeys keys{AeadId::kAesSivCmac256, std::vector<uint8_t>(32, 0x11),
                                std::vector<uint8_t>(32, 0x22)};
  return keys;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> datagram(data, size);
  const NtsServerRequest read = ReadNtsRequest(datagram, Keys());
  // The responder's cheap test lets through everything that is not plain.
  if (read.verdict != NtsVerdict::kPlain && !LooksLikeNtsRequest(datagram)) std::abort();
  if (size >= kNtpHeaderLength) {
    const std::span<const uint8_t, kNtpHeaderLength> header(data, kNtpHeaderLength);
    std::vector<uint8_t> out;
    if (read.verdict == NtsVerdict::kAuthentic) {
      if (read.cookies_wanted == 0) std::abort();
      if (BuildNtsReply(header, read, *Keys().current(), size, &out)) {
        if (out.size() > size) std::abort();
        const auto reply = VerifyNtsReply(out, read.unique_id, read.keys);
        if (!reply) std::abort();
        for (const auto& cookie : reply->cookies) {
          if (!OpenCookie(Keys(), cookie)) std::abort();
        }
      }
    } else if (read.verdict == NtsVerdict::kNak) {
      BuildNtsNak(header, read.unique_id, &out);
      if (out.size() > size || !IsNtsNak(out, read.unique_id)) std::abort();
      if (VerifyNtsReply(out, read.unique_id, Session())) std::abort();
    }
  }
  // The same bytes as a reply to a client holding the seed keys.
  const std::vector<uint8_t> uid(32, 0x5a);
  if (const auto reply = VerifyNtsReply(datagram, uid, Session())) {
    if (reply->cookies.size() > kMaxExtensionFields) std::abort();
  }
  (void)IsNtsNak(datagram, uid);
  return 0;
}
