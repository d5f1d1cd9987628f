// Daytime responder (`TCP13`, `UDP13`): one line of text, plain local time or
// the Julian-date layout.
#include "common/time/daytime_text.h"
#include "server/protocols/handlers.h"

namespace mdl {
namespace {

class DaytimeHandler : public ServiceHandler {
 public:
  using ServiceHandler::ServiceHandler;

  void OnAccept(net::TcpSlot& slot) override {
    if (!ctx_.AdmitConnection(Service::kDaytime, slot)) return;
    // `SendDS_TCP`
    const std::string& text = Text(ctx_.clock().now());
    LogLine line{"DayTime Request", static_cast<uint32_t>(text.size())};
    ctx_.SendTcp(Service::kDaytime, slot, Bytes(text), &line, /*close_after=*/true, /*accepting=*/true);
  }

  void OnDatagram(const net::Datagram& d) override {
    if (!ctx_.AdmitDatagram(Service::kDaytime, d)) return;
    ctx_.Received(Service::kDaytime, Transport::kUdp);
    ctx_.Accepted(Service::kDaytime, d.from.address());
    if (!ctx_.Serves(Service::kDaytime)) return;
    const std::string& text = Text(ctx_.clock().now());
    std::string_view received(reinterpret_cast<const char*>(d.data.data()), d.data.size());
    LogLine line{received, static_cast<uint32_t>(text.size()), static_cast<uint32_t>(d.length)};
    ctx_.SendUdp(Service::kDaytime, d, Bytes(text), &line);
  }

 private:
  static std::span<const uint8_t> Bytes(const std::string& text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
  }

  // Rendered into a buffer that keeps its capacity: no allocation per request.
  const std::string& Text(UtcTime now) {
    text_.clear();
    if (ctx_.use_julian()) {
      AppendDaytimeJulianText(text_, now);
    } else {
      AppendDaytimePlainText(text_, now, ctx_.zone());
    }
    return text_;
  }

  std::string text_;
};

}  // namespace

std::unique_ptr<ServiceHandler> MakeDaytimeHandler(ServingContext& context) {
  return std::make_unique<DaytimeHandler>(context);
}

}  // namespace mdl
