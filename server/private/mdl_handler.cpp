// Private protocol responder (`TCP3777`, `UDP3777`): 24-byte messages.
#include <vector>

#include "common/time/mdl_stamp.h"
#include "server/private/mdl_core.h"
#include "server/private/mdl_handler.h"
#include "server/private/mdl_stream_framer.h"

namespace mdl {
namespace {

class PrivateHandler : public ServiceHandler {
 public:
  using ServiceHandler::ServiceHandler;

  void OnAccept(net::TcpSlot& slot) override {
    // The TCP path serves only once the clock is synchronised.
    if (!ctx_.AdmitConnection(Service::kPrivate, slot)) return;
    Framer(slot) = MdlStreamFramer{};
    // A request must come soon, not within the idle time-out: connections
    // that send nothing would keep their address's other clients out.
    slot.ExpireAfter(kRequestDeadline);
  }

  void OnData(net::TcpSlot& slot, std::span<const uint8_t> data) override {
    int64_t now_ms = ctx_.clock().tick_ms();
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
    // The next request on the same connection must come as soon.
    slot.ExpireAfter(kRequestDeadline);
    // Several requests on one connection are each answered.
    for (size_t at = 0; at + kMdlMessageSize <= frame.requests.size() && slot.IsOpen();
         at += kMdlMessageSize) {
      std::span<const uint8_t, kMdlMessageSize> request(frame.requests.data() + at, kMdlMessageSize);
      auto stamp = MdlStampFromUtc(ctx_.clock().now());
      if (CheckMdlRequest(request) != MdlCheck::kOk) continue;  // no reply; the connection stays
      auto reply = BuildMdlReply(request, stamp, kVersionDigit, ctx_.service_build());
      std::string text = MdlLogText(Transport::kTcp, request[4]);
      LogLine line{text, 24};
      ctx_.SendTcp(Service::kPrivate, slot, reply, &line, /*close_after=*/false, /*accepting=*/false);
    }
  }

  void OnClosed(net::TcpSlot& slot) override { Framer(slot) = MdlStreamFramer{}; }

  void OnDatagram(const net::Datagram& d) override {
    if (!ctx_.AdmitDatagram(Service::kPrivate, d)) return;
    if (d.truncated || d.data.size() != kMdlMessageSize) return;  // no reply, no count
    if (!ctx_.enabled(Service::kPrivate)) return;
    ctx_.Accepted(Service::kPrivate, d.from.address());
    auto stamp = MdlStampFromUtc(ctx_.clock().now());
    std::span<const uint8_t, kMdlMessageSize> request(d.data.data(), kMdlMessageSize);
    if (CheckMdlRequest(request) != MdlCheck::kOk) return;
    auto reply = BuildMdlReply(request, stamp, kVersionDigit, /*service_build_tcp=*/false);
    // Only answered requests are counted.
    ctx_.Received(Service::kPrivate, Transport::kUdp);
    std::string text = MdlLogText(Transport::kUdp, request[4]);
    LogLine line{text, 24};
    ctx_.SendUdp(Service::kPrivate, d, reply, &line);
  }

 private:
  static constexpr char kVersionDigit = '5';
  static constexpr std::chrono::milliseconds kRequestDeadline{MdlStreamFramer::kCompleteWithinMs};

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

std::unique_ptr<ServiceHandler> MakePrivateHandler(ServingContext& context) {
  return std::make_unique<PrivateHandler>(context);
}

}  // namespace mdl
