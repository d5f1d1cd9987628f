// The two 4-byte responders: Time (`TCP37`, `UDP37`, seconds since 1900) and
// UnixTime (`TCP519`, `UDP519`, seconds since 1970), both in UTC.
#include "common/time/ntp_timestamp.h"
#include "server/protocols/handlers.h"
#include "server/protocols/time_core.h"

namespace mdl {
namespace {

struct SecondsService {
  Service service;
  std::array<uint8_t, 4> (*reply)(UtcTime now);
  std::string_view log_text;
  // Time shows a UDP requester once answered; UnixTime as soon as it asks.
  bool udp_requester_on_arrival;
};

constexpr SecondsService kTime{Service::kTime, [](UtcTime now) { return TimeReply(SecondsSince1900(now)); },
                               kTimeLogText, false};
constexpr SecondsService kUnixTime{Service::kUnixTime,
                                   [](UtcTime now) { return UnixTimeReply(SecondsSince1970Low32(now)); },
                                   kUnixTimeLogText, true};

class SecondsHandler : public ServiceHandler {
 public:
  SecondsHandler(ServingContext& context, const SecondsService& kind)
      : ServiceHandler(context), kind_(kind) {}

  void OnAccept(net::TcpSlot& slot) override {
    // Before the first synchronisation nothing is served.
    if (!ctx_.AdmitConnection(kind_.service, slot)) return;
    auto reply = kind_.reply(ctx_.clock().now());
    LogLine line{kind_.log_text, 4};
    ctx_.SendTcp(kind_.service, slot, reply, &line, /*close_after=*/true, /*accepting=*/true);
  }

  void OnDatagram(const net::Datagram& d) override {
    if (!ctx_.AdmitDatagram(kind_.service, d)) return;
    ctx_.Received(kind_.service, Transport::kUdp);
    if (kind_.udp_requester_on_arrival) ctx_.Accepted(kind_.service, d.from.address());
    if (!ctx_.Serves(kind_.service)) return;
    auto reply = kind_.reply(ctx_.clock().now());
    LogLine line{kind_.log_text, 4};
    if (ctx_.SendUdp(kind_.service, d, reply, &line) && !kind_.udp_requester_on_arrival)
      ctx_.Accepted(kind_.service, d.from.address());
  }

 private:
  const SecondsService& kind_;
};

}  // namespace

std::unique_ptr<ServiceHandler> MakeTimeHandler(ServingContext& context) {
  return std::make_unique<SecondsHandler>(context, kTime);
}

std::unique_ptr<ServiceHandler> MakeUnixTimeHandler(ServingContext& context) {
  return std::make_unique<SecondsHandler>(context, kUnixTime);
}

}  // namespace mdl
