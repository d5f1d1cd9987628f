// NTP/SNTP responder (`UDP123`, `TCP123`). The UDP socket also carries the
// upstream synchronisation's query and reply, which are recognised first.
#include <vector>

#include "common/time/ntp_timestamp.h"
#include "server/core/engine.h"
#include "server/protocols/ntp_core.h"
#include "server/upstream/sync_handler.h"

namespace mdl {
namespace {

class NtpHandler : public ServiceHandler {
 public:
  using ServiceHandler::ServiceHandler;

  void OnDatagram(const net::Datagram& d) override {
    engine_.counters().Add(Service::kNtp, Transport::kUdp);
    engine_.Indicate(Indicator::kUdpIn);
    // The awaited upstream reply (or a one-byte arrival while a query is
    // pending) belongs to the synchronisation.
    if (engine_.sync().OnNtpDatagram(d)) return;
    net::UdpSocket& udp = *engine_.service(Service::kNtp).udp;
    std::string host = AddressText(d.from.address());
    NtpRequestKind kind = d.truncated ? NtpRequestKind::kBadLength : ClassifyNtpRequest(d.data);
    if (kind != NtpRequestKind::kClient) {
      LogRejected(d.length, host, udp.local_port(), "UDP");
      return;
    }
    if (!engine_.service(Service::kNtp).enabled) return;
    engine_.ShowRequester(Service::kNtp, host);
    engine_.Indicate(Indicator::kDataIn);
    UtcTime now = engine_.clock().now();
    UtcTime received = d.arrival_ns != 0 ? engine_.clock().from_system(UtcFromNs(d.arrival_ns)) : now;
    if (engine_.logging()) {
      engine_.log().Append({kNtpRequestLogText, host, udp.local_port(), 48, kNtpLogCode, "UDP"}, now,
                           engine_.zone());
    }
    std::array<uint8_t, kNtpPacketSize> reply;
    BuildNtpReplyHead(std::span<const uint8_t, kNtpPacketSize>(d.data.data(), kNtpPacketSize),
                      engine_.sync().reference(), NtpFromUtc(received).ToBytes(), reply);
    engine_.Indicate(Indicator::kDataOut);
    if (!engine_.time_synced()) return;
    // The socket's stamper writes the transmit time right before the send.
    udp.SendTo(reply, d.from, /*stamp=*/true);
  }

  void OnAccept(net::TcpSlot& slot) override {
    if (!engine_.time_synced() || !engine_.service(Service::kNtp).enabled) {
      slot.Close();
      return;
    }
    Buffer(slot).clear();
    engine_.ShowRequester(Service::kNtp, AddressText(slot.remote().address()));
    engine_.Indicate(Indicator::kDataIn);
    engine_.Indicate(Indicator::kTcpIn);
  }

  void OnData(net::TcpSlot& slot, std::span<const uint8_t> data) override {
    UtcTime now = engine_.clock().now();
    std::vector<uint8_t>& buf = Buffer(slot);
    buf.insert(buf.end(), data.begin(), data.end());
    // A request may arrive in pieces; one request is 48 bytes.
    if (buf.size() < kNtpPacketSize) return;
    engine_.counters().Add(Service::kNtp, Transport::kTcp);
    std::string host = AddressText(slot.remote().address());
    NtpRequestKind kind = ClassifyNtpRequest(buf);
    if (kind != NtpRequestKind::kClient) {
      LogRejected(buf.size(), host, slot.local_port(), "TCP");
      buf.clear();
      slot.Close();
      return;
    }
    engine_.Indicate(Indicator::kDataIn);
    if (engine_.logging()) {
      engine_.log().Write({kNtpRequestLogText, host, slot.local_port(), 48, kNtpLogCode, "TCP"}, now,
                          engine_.zone());
    }
    std::array<uint8_t, kNtpPacketSize> reply;
    BuildNtpReplyHead(std::span<const uint8_t, kNtpPacketSize>(buf.data(), kNtpPacketSize),
                      engine_.sync().reference(), NtpFromUtc(now).ToBytes(), reply);
    buf.clear();
    PatchTransmit(NtpFromUtc(engine_.clock().now()).ToBytes(), reply);
    engine_.Indicate(Indicator::kDataOut);
    // The slot closes when the send completes.
    slot.Send(reply, /*close_after=*/true);
  }

  void OnClosed(net::TcpSlot& slot) override { Buffer(slot).clear(); }

 private:
  void LogRejected(size_t bytes, const std::string& host, uint16_t port, std::string_view type) {
    if (!engine_.logging()) return;
    std::string text = NtpErrorText(bytes, 0);
    engine_.log().Append({text, host, port, 0, kNtpLogCode, type, static_cast<uint32_t>(bytes)},
                         engine_.clock().now(), engine_.zone());
  }

  std::vector<uint8_t>& Buffer(net::TcpSlot& slot) {
    size_t i = static_cast<size_t>(slot.index());
    if (tcp_buffers_.size() <= i) tcp_buffers_.resize(i + 1);
    return tcp_buffers_[i];
  }

  std::vector<std::vector<uint8_t>> tcp_buffers_;
};

}  // namespace

std::unique_ptr<ServiceHandler> MakeNtpHandler(ServerEngine& engine) {
  return std::make_unique<NtpHandler>(engine);
}

}  // namespace mdl
