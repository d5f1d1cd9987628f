#include "server/protocols/nts_responder.h"

#include <algorithm>
#include <array>
#include <vector>

#include "common/net/batch_sender.h"
#include "common/nts/ntp_auth.h"
#include "common/time/ntp_timestamp.h"
#include "server/protocols/ntp_core.h"

namespace mdl {

bool ServeNtsDatagram(ServingContext& ctx, const net::Datagram& d) {
  const nts::CookieKeySet* keys = ctx.nts_keys();
  if (keys == nullptr || keys->current() == nullptr || d.truncated || d.data.size() <= kNtpPacketSize) {
    return false;
  }
  const std::span<const uint8_t, kNtpPacketSize> header(d.data.data(), kNtpPacketSize);
  if (ClassifyNtpRequest(header) != NtpRequestKind::kClient || !nts::LooksLikeNtsRequest(d.data))
    return false;
  if (!ctx.enabled(Service::kNtp)) return true;
  if (ctx.LimitRate(d.from.address()) != RateVerdict::kAnswer) {
    ctx.Drop(UdpDrop::kRateLimit, Service::kNtp, d.from);
    return true;
  }
  const nts::NtsServerRequest request = nts::ReadNtsRequest(d.data, *keys);
  if (request.verdict != nts::NtsVerdict::kAuthentic && request.verdict != nts::NtsVerdict::kNak) {
    ctx.Drop(UdpDrop::kNtpNotClient, Service::kNtp, d.from);
    if (ctx.logging()) {
      const std::string text = NtpErrorText(d.length, 0);
      ctx.Log(Service::kNtp, Transport::kUdp, d.from.address(),
              LogLine{text, 0, static_cast<uint32_t>(d.length)});
    }
    return true;
  }
  ctx.Accepted(Service::kNtp, d.from.address());
  const UtcTime received = d.arrival.value_or(ctx.clock().now());
  if (!ctx.synced()) {
    ctx.Log(Service::kNtp, Transport::kUdp, d.from.address(),
            LogLine{kNtsRequestLogText, 0, static_cast<uint32_t>(d.length), kLogNotServed});
    return true;
  }
  thread_local std::vector<uint8_t> out;  // reused: no allocation per reply
  if (request.verdict == nts::NtsVerdict::kNak) {
    nts::BuildNtsNak(header, request.unique_id, &out);
    ctx.SendKiss(Service::kNtp, d, out, &ServingStats::nts_naks);
    return true;
  }
  std::array<uint8_t, kNtpPacketSize> head;
  BuildNtpReplyHead(header, ctx.ntp_reference(), NtpFromUtc(received).ToBytes(), head);
  // The transmit stamp lies under the authenticator: final before sealing.
  const GrabbedTime transmit = GrabTime(ctx.clock().now());
  PatchTransmit(transmit.stamp.ToBytes(), head);
  ctx.ntp_reference().last_millis = static_cast<int>(transmit.last_millis);
  // Never larger than the request, nor than a reply the socket sends.
  const size_t room = std::min(d.data.size(), net::BatchSender::kMaxDatagram);
  if (!nts::BuildNtsReply(head, request, *keys->current(), room, &out)) {
    ctx.Drop(UdpDrop::kNtpNotClient, Service::kNtp, d.from);
    return true;
  }
  const LogLine line{kNtsRequestLogText, static_cast<uint32_t>(out.size()), static_cast<uint32_t>(d.length)};
  if (ctx.SendUdp(Service::kNtp, d, out, &line, /*stamp=*/false)) ctx.CountNtsReply();
  return true;
}

}  // namespace mdl
