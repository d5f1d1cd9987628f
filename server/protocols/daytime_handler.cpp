// Daytime responder (`TCP13`, `UDP13`): one line of text, plain local time or
// the Julian-date layout.
#include "common/time/daytime_text.h"
#include "server/core/engine.h"

namespace mdl {
namespace {

constexpr std::string_view kDaytimeLogCode = "DayTime";

class DaytimeHandler : public ServiceHandler {
 public:
  using ServiceHandler::ServiceHandler;

  void OnAccept(net::TcpSlot& slot) override {
    if (!engine_.time_synced() || !engine_.service(Service::kDaytime).enabled) {
      slot.Close();
      return;
    }
    std::string host = AddressText(slot.remote().address());
    engine_.ShowRequester(Service::kDaytime, host);
    engine_.counters().Add(Service::kDaytime, Transport::kTcp);
    engine_.Indicate(Indicator::kDataIn);
    engine_.Indicate(Indicator::kTcpIn);
    // `SendDS_TCP`
    engine_.Indicate(Indicator::kDataOut);
    UtcTime now = engine_.clock().now();
    const std::string& text = Text(now);
    if (engine_.logging()) {
      engine_.log().Append({"DayTime Request", host, slot.local_port(), static_cast<uint32_t>(text.size()),
                            kDaytimeLogCode, "TCP"},
                           now, engine_.zone());
    }
    slot.Send({reinterpret_cast<const uint8_t*>(text.data()), text.size()}, /*close_after=*/true);
  }

  void OnDatagram(const net::Datagram& d) override {
    engine_.counters().Add(Service::kDaytime, Transport::kUdp);
    engine_.Indicate(Indicator::kUdpIn);
    engine_.Indicate(Indicator::kDataIn);
    std::string host = AddressText(d.from.address());
    engine_.ShowRequester(Service::kDaytime, host);
    if (!engine_.time_synced() || !engine_.service(Service::kDaytime).enabled) return;
    UtcTime now = engine_.clock().now();
    const std::string& text = Text(now);
    net::UdpSocket& udp = *engine_.service(Service::kDaytime).udp;
    if (!engine_.AllowReply(d.from.address(), d.length, text.size())) return;
    if (!udp.SendTo({reinterpret_cast<const uint8_t*>(text.data()), text.size()}, d.from)) return;
    engine_.Indicate(Indicator::kDataOut);
    if (engine_.logging()) {
      std::string_view received(reinterpret_cast<const char*>(d.data.data()), d.data.size());
      engine_.log().Append({received, host, udp.local_port(), static_cast<uint32_t>(text.size()),
                            kDaytimeLogCode, "UDP", static_cast<uint32_t>(d.length)},
                           now, engine_.zone());
    }
  }

 private:
  // Rendered into a buffer that keeps its capacity: no allocation per request.
  const std::string& Text(UtcTime now) {
    text_.clear();
    if (engine_.use_julian()) {
      AppendDaytimeJulianText(text_, now);
    } else {
      AppendDaytimePlainText(text_, now, engine_.zone());
    }
    return text_;
  }

  std::string text_;
};

}  // namespace

std::unique_ptr<ServiceHandler> MakeDaytimeHandler(ServerEngine& engine) {
  return std::make_unique<DaytimeHandler>(engine);
}

}  // namespace mdl
