// Private protocol responder (`TCP3777`, `UDP3777`): 24-byte messages.
#include <vector>

#include "common/time/mdl_stamp.h"
#include "server/core/engine.h"
#include "server/private/mdl_core.h"

namespace mdl {
namespace {

class PrivateHandler : public ServiceHandler {
 public:
  using ServiceHandler::ServiceHandler;

  void OnAccept(net::TcpSlot& slot) override {
    // The TCP path serves only once the clock is synchronised.
    if (!engine_.time_synced() || !engine_.service(Service::kPrivate).enabled) {
      slot.Close();
      return;
    }
    Buffer(slot).clear();
    engine_.ShowRequester(Service::kPrivate, AddressText(slot.remote().address()));
    engine_.counters().Add(Service::kPrivate, Transport::kTcp);
    engine_.Indicate(Indicator::kDataIn);
    engine_.Indicate(Indicator::kTcpIn);
  }

  void OnData(net::TcpSlot& slot, std::span<const uint8_t> data) override {
    std::vector<uint8_t>& buf = Buffer(slot);
    buf.insert(buf.end(), data.begin(), data.end());
    // Several requests on one connection are each answered; a request split
    // over several segments is joined first.
    size_t used = 0;
    while (buf.size() - used >= kMdlMessageSize && slot.IsOpen()) {
      std::span<const uint8_t, kMdlMessageSize> request(buf.data() + used, kMdlMessageSize);
      used += kMdlMessageSize;
      UtcTime now = engine_.clock().now();
      auto stamp = MdlStampFromUtc(now);
      if (CheckMdlRequest(request) != MdlCheck::kOk) continue;  // no reply; the connection stays
      auto reply = BuildMdlReply(request, stamp, kVersionDigit, engine_.options().service_build);
      slot.Touch();
      std::string host = AddressText(slot.remote().address());
      if (engine_.logging()) {
        std::string text = MdlLogText(MdlTransport::kTcp, request[4]);
        engine_.log().Write({text, host, slot.local_port(), 24, kMdlLogCode, "TCP"}, now, engine_.zone());
      }
      slot.Send(reply);
      engine_.Indicate(Indicator::kDataOut);
    }
    buf.erase(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(std::min(used, buf.size())));
  }

  void OnClosed(net::TcpSlot& slot) override { Buffer(slot).clear(); }

  void OnDatagram(const net::Datagram& d) override {
    if (d.truncated || d.data.size() != kMdlMessageSize) return;  // no reply, no count
    if (!engine_.service(Service::kPrivate).enabled) return;
    engine_.Indicate(Indicator::kDataIn);
    engine_.Indicate(Indicator::kUdpIn);
    std::string host = AddressText(d.from.address());
    engine_.ShowRequester(Service::kPrivate, host);
    UtcTime now = engine_.clock().now();
    auto stamp = MdlStampFromUtc(now);
    std::span<const uint8_t, kMdlMessageSize> request(d.data.data(), kMdlMessageSize);
    if (CheckMdlRequest(request) != MdlCheck::kOk) return;
    auto reply = BuildMdlReply(request, stamp, kVersionDigit, /*service_build_tcp=*/false);
    net::UdpSocket& udp = *engine_.service(Service::kPrivate).udp;
    if (!udp.SendTo(reply, d.from)) return;
    engine_.counters().Add(Service::kPrivate, Transport::kUdp);
    if (engine_.logging()) {
      std::string text = MdlLogText(MdlTransport::kUdp, request[4]);
      engine_.log().Append({text, host, udp.local_port(), 24, kMdlLogCode, "UDP"}, now, engine_.zone());
    }
    engine_.Indicate(Indicator::kDataOut);
  }

 private:
  static constexpr char kVersionDigit = '5';

  std::vector<uint8_t>& Buffer(net::TcpSlot& slot) {
    size_t i = static_cast<size_t>(slot.index());
    if (buffers_.size() <= i) buffers_.resize(i + 1);
    return buffers_[i];
  }

  std::vector<std::vector<uint8_t>> buffers_;
};

}  // namespace

std::unique_ptr<ServiceHandler> MakePrivateHandler(ServerEngine& engine) {
  return std::make_unique<PrivateHandler>(engine);
}

}  // namespace mdl
