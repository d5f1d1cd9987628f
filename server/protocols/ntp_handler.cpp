// NTP/SNTP responder (`UDP123`, `TCP123`). The UDP socket also carries the
// upstream synchronisation's query and reply, which its tap takes first.
#include <vector>

#include "common/time/ntp_timestamp.h"
#include "server/protocols/handlers.h"
#include "server/protocols/ntp_core.h"
#include "server/protocols/nts_responder.h"

namespace mdl {
namespace {

class NtpHandler : public ServiceHandler {
 public:
  using ServiceHandler::ServiceHandler;

  void OnDatagram(const net::Datagram& d) override {
    ctx_.Received(Service::kNtp, Transport::kUdp);
    if (DatagramTap* tap = ctx_.tap(Service::kNtp); tap && tap->Take(d)) return;
    // After the tap: the upstream server may lie in a denied network.
    if (!ctx_.AdmitDatagram(Service::kNtp, d, /*counted=*/true)) return;
    NtpRequestKind kind = d.truncated ? NtpRequestKind::kBadLength : ClassifyNtpRequest(d.data);
    // Longer than the header: an authenticated request while NTS is on.
    if (kind == NtpRequestKind::kBadLength && ctx_.nts_keys() && ServeNtsDatagram(ctx_, d)) return;
    if (kind != NtpRequestKind::kClient) {
      // Only client requests are answered, whatever our replies' first byte is set to.
      ctx_.Drop(UdpDrop::kNtpNotClient, Service::kNtp, d.from);
      LogRejected(d.length, d.from.address(), Transport::kUdp);
      return;
    }
    if (!ctx_.enabled(Service::kNtp)) return;
    const std::span<const uint8_t, kNtpPacketSize> request(d.data.data(), kNtpPacketSize);
    if (const RateVerdict v = ctx_.LimitRate(d.from.address()); v != RateVerdict::kAnswer) {
      // Over the limit: counted (the drop line sums them up), no log line each.
      ctx_.Drop(UdpDrop::kRateLimit, Service::kNtp, d.from);
      if (v == RateVerdict::kKiss && ctx_.synced() && NtpKissAllowed(request)) {
        std::array<uint8_t, kNtpPacketSize> kiss;
        BuildNtpKissRate(request, ctx_.rate_limit_poll(), kiss);
        ctx_.SendKiss(Service::kNtp, d, kiss);
      }
      return;
    }
    ctx_.Accepted(Service::kNtp, d.from.address());
    const UtcTime received = d.arrival.value_or(ctx_.clock().now());
    if (!ctx_.synced()) {
      // Logged, but nothing is served before the first synchronisation: no
      // bytes sent, and a status that says so.
      ctx_.Log(Service::kNtp, Transport::kUdp, d.from.address(),
               LogLine{kNtpRequestLogText, 0, static_cast<uint32_t>(kNtpPacketSize), kLogNotServed});
      return;
    }
    LogLine line{kNtpRequestLogText, 48};
    std::array<uint8_t, kNtpPacketSize> reply;
    BuildNtpReplyHead(request, ctx_.ntp_reference(), NtpFromUtc(received).ToBytes(), reply);
    // The socket's stamper writes the transmit time right before the send.
    ctx_.SendUdp(Service::kNtp, d, reply, &line, /*stamp=*/true);
  }

  void OnAccept(net::TcpSlot& slot) override {
    // Counted when its 48 bytes are in.
    if (!ctx_.AdmitConnection(Service::kNtp, slot, /*count=*/false)) return;
    Buffer(slot).clear();
    // The whole request must be in soon, not within the idle time-out.
    slot.ExpireAfter(kRequestDeadline);
  }

  void OnData(net::TcpSlot& slot, std::span<const uint8_t> data) override {
    UtcTime now = ctx_.clock().now();
    std::vector<uint8_t>& buf = Buffer(slot);
    buf.insert(buf.end(), data.begin(), data.end());
    // A request may arrive in pieces; one request is 48 bytes.
    if (buf.size() < kNtpPacketSize) return;
    ctx_.Received(Service::kNtp, Transport::kTcp);
    NtpRequestKind kind = ClassifyNtpRequest(buf);
    if (kind != NtpRequestKind::kClient) {
      LogRejected(buf.size(), slot.remote().address(), Transport::kTcp, /*write_now=*/true);
      buf.clear();
      slot.Close();
      return;
    }
    ctx_.Accepted(Service::kNtp, slot.remote().address());
    std::array<uint8_t, kNtpPacketSize> reply;
    BuildNtpReplyHead(std::span<const uint8_t, kNtpPacketSize>(buf.data(), kNtpPacketSize),
                      ctx_.ntp_reference(), NtpFromUtc(now).ToBytes(), reply);
    buf.clear();
    const UtcTime transmit = ctx_.clock().now();
    PatchTransmit(NtpFromUtc(transmit).ToBytes(), reply);
    ctx_.ntp_reference().last_millis = static_cast<int>(MillisOfSecond(transmit));
    LogLine line{kNtpRequestLogText, 48};
    // The slot closes when the send completes.
    ctx_.SendTcp(Service::kNtp, slot, reply, &line, /*close_after=*/true, /*accepting=*/false);
  }

  void OnClosed(net::TcpSlot& slot) override {
    std::vector<uint8_t>& buf = Buffer(slot);
    // Closed (by the deadline or the peer) with part of a request: a wrong length.
    if (!buf.empty()) LogRejected(buf.size(), slot.remote().address(), Transport::kTcp, /*write_now=*/true);
    buf.clear();
  }

 private:
  static constexpr std::chrono::milliseconds kRequestDeadline{2000};

  void LogRejected(size_t bytes, const boost::asio::ip::address& from, Transport t, bool write_now = false) {
    if (!ctx_.logging()) return;
    std::string text = NtpErrorText(bytes, 0);
    ctx_.Log(Service::kNtp, t, from, LogLine{text, 0, static_cast<uint32_t>(bytes)}, write_now);
  }

  std::vector<uint8_t>& Buffer(net::TcpSlot& slot) {
    size_t i = static_cast<size_t>(slot.index());
    if (tcp_buffers_.size() <= i) tcp_buffers_.resize(i + 1);
    return tcp_buffers_[i];
  }

  std::vector<std::vector<uint8_t>> tcp_buffers_;
};

}  // namespace

std::unique_ptr<ServiceHandler> MakeNtpHandler(ServingContext& context) {
  return std::make_unique<NtpHandler>(context);
}

}  // namespace mdl
