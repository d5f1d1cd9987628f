// Private protocol responder (`TCP3777`, `UDP3777`): 24-byte messages.
#include <vector>

#include "common/time/mdl_stamp.h"
#include "server/core/engine.h"
#include "server/private/mdl_core.h"
#include "server/private/mdl_stream_framer.h"

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
    Framer(slot) = MdlStreamFramer{};
    engine_.ShowRequester(Service::kPrivate, AddressText(slot.remote().address()));
    engine_.counters().Add(Service::kPrivate, Transport::kTcp);
    engine_.Indicate(Indicator::kDataIn);
    engine_.Indicate(Indicator::kTcpIn);
  }

  void OnData(net::TcpSlot& slot, std::span<const uint8_t> data) override {
    int64_t now_ms = engine_.clock().tick_ms();
    MdlFrameResult frame = Framer(slot).Feed(data, now_ms);
    if (frame.verdict == MdlFrameVerdict::kClose) {
      slot.Close();
      return;
    }
    if (frame.verdict == MdlFrameVerdict::kWait) {
      // The rest of a split request must come soon.
      if (auto deadline = Framer(slot).deadline_ms())
        slot.ExpireAfter(std::chrono::milliseconds(std::max<int64_t>(1, *deadline - now_ms)));
      return;
    }
    slot.Touch();
    // Several requests on one connection are each answered.
    for (size_t at = 0; at + kMdlMessageSize <= frame.requests.size() && slot.IsOpen();
         at += kMdlMessageSize) {
      std::span<const uint8_t, kMdlMessageSize> request(frame.requests.data() + at, kMdlMessageSize);
      UtcTime now = engine_.clock().now();
      auto stamp = MdlStampFromUtc(now);
      if (CheckMdlRequest(request) != MdlCheck::kOk) continue;  // no reply; the connection stays
      auto reply = BuildMdlReply(request, stamp, kVersionDigit, engine_.options().service_build);
      std::string host = AddressText(slot.remote().address());
      if (engine_.logging()) {
        std::string text = MdlLogText(MdlTransport::kTcp, request[4]);
        engine_.log().Write({text, host, slot.local_port(), 24, kMdlLogCode, "TCP"}, now, engine_.zone());
      }
      slot.Send(reply);
      engine_.Indicate(Indicator::kDataOut);
    }
  }

  void OnClosed(net::TcpSlot& slot) override { Framer(slot) = MdlStreamFramer{}; }

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

  MdlStreamFramer& Framer(net::TcpSlot& slot) {
    size_t i = static_cast<size_t>(slot.index());
    if (framers_.size() <= i) framers_.resize(i + 1);
    return *framers_[i];
  }

  // One framer per slot, made when the slot is first used.
  struct FramerBox {
    std::unique_ptr<MdlStreamFramer> framer = std::make_unique<MdlStreamFramer>();
    MdlStreamFramer& operator*() { return *framer; }
  };
  std::vector<FramerBox> framers_;
};

}  // namespace

std::unique_ptr<ServiceHandler> MakePrivateHandler(ServerEngine& engine) {
  return std::make_unique<PrivateHandler>(engine);
}

}  // namespace mdl
