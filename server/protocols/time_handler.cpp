// Time protocol responder (`TCP37`, `UDP37`): seconds since 1900 in UTC.
#include "common/time/ntp_timestamp.h"
#include "server/core/engine.h"
#include "server/protocols/time_core.h"

namespace mdl {
namespace {

class TimeHandler : public ServiceHandler {
 public:
  using ServiceHandler::ServiceHandler;

  void OnAccept(net::TcpSlot& slot) override {
    // Before the first synchronisation nothing is served.
    if (!engine_.time_synced() || !engine_.service(Service::kTime).enabled) {
      slot.Close();
      return;
    }
    std::string host = AddressText(slot.remote().address());
    engine_.ShowRequester(Service::kTime, host);
    engine_.counters().Add(Service::kTime, Transport::kTcp);
    engine_.Indicate(Indicator::kDataIn);
    engine_.Indicate(Indicator::kTcpIn);
    // `SendNTP_TCP`
    UtcTime now = engine_.clock().now();
    auto reply = TimeReply(SecondsSince1900(now));
    if (engine_.logging()) {
      engine_.log().Append({kTimeLogText, host, slot.local_port(), 4, kTimeLogCode, "TCP"}, now,
                           engine_.zone());
    }
    engine_.Indicate(Indicator::kDataOut);
    slot.Send(reply, /*close_after=*/true);
  }

  void OnDatagram(const net::Datagram& d) override {
    engine_.Indicate(Indicator::kUdpIn);
    engine_.Indicate(Indicator::kDataIn);
    engine_.counters().Add(Service::kTime, Transport::kUdp);
    // `SendNTP_UDP`
    if (!engine_.time_synced() || !engine_.service(Service::kTime).enabled) return;
    UtcTime now = engine_.clock().now();
    auto reply = TimeReply(SecondsSince1900(now));
    net::UdpSocket& udp = *engine_.service(Service::kTime).udp;
    if (!udp.SendTo(reply, d.from)) return;
    engine_.Indicate(Indicator::kDataOut);
    std::string host = AddressText(d.from.address());
    engine_.ShowRequester(Service::kTime, host);
    if (engine_.logging()) {
      engine_.log().Append({kTimeLogText, host, udp.local_port(), 4, kTimeLogCode, "UDP"}, now,
                           engine_.zone());
    }
  }
};

}  // namespace

std::unique_ptr<ServiceHandler> MakeTimeHandler(ServerEngine& engine) {
  return std::make_unique<TimeHandler>(engine);
}

}  // namespace mdl
