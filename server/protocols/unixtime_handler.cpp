// UnixTime responder (`TCP519`, `UDP519`): seconds since 1970 in UTC.
#include "common/time/ntp_timestamp.h"
#include "server/core/engine.h"
#include "server/protocols/time_core.h"

namespace mdl {
namespace {

class UnixTimeHandler : public ServiceHandler {
 public:
  using ServiceHandler::ServiceHandler;

  void OnAccept(net::TcpSlot& slot) override {
    if (!engine_.time_synced() || !engine_.service(Service::kUnixTime).enabled) {
      slot.Close();
      return;
    }
    engine_.counters().Add(Service::kUnixTime, Transport::kTcp);
    std::string host = AddressText(slot.remote().address());
    engine_.ShowRequester(Service::kUnixTime, host);
    engine_.Indicate(Indicator::kDataIn);
    engine_.Indicate(Indicator::kTcpIn);
    UtcTime now = engine_.clock().now();
    auto reply = UnixTimeReply(SecondsSince1970Low32(now));
    if (engine_.logging()) {
      engine_.log().Append({kUnixTimeLogText, host, slot.local_port(), 4, kUnixTimeLogCode, "TCP"}, now,
                           engine_.zone());
    }
    slot.Send(reply, /*close_after=*/true);
    engine_.Indicate(Indicator::kDataOut);
  }

  void OnDatagram(const net::Datagram& d) override {
    engine_.counters().Add(Service::kUnixTime, Transport::kUdp);
    engine_.Indicate(Indicator::kUdpIn);
    engine_.Indicate(Indicator::kDataIn);
    std::string host = AddressText(d.from.address());
    engine_.ShowRequester(Service::kUnixTime, host);
    if (!engine_.time_synced() || !engine_.service(Service::kUnixTime).enabled) return;
    UtcTime now = engine_.clock().now();
    auto reply = UnixTimeReply(SecondsSince1970Low32(now));
    net::UdpSocket& udp = *engine_.service(Service::kUnixTime).udp;
    if (!udp.SendTo(reply, d.from)) return;
    if (engine_.logging()) {
      engine_.log().Append({kUnixTimeLogText, host, udp.local_port(), 4, kUnixTimeLogCode, "UDP"}, now,
                           engine_.zone());
    }
    engine_.Indicate(Indicator::kDataOut);
  }
};

}  // namespace

std::unique_ptr<ServiceHandler> MakeUnixTimeHandler(ServerEngine& engine) {
  return std::make_unique<UnixTimeHandler>(engine);
}

}  // namespace mdl
