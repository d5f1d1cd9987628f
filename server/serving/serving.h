// The serving path: the narrow context a responder sees. It holds what the
// responders read (clock, zone, synchronised and enabled flags, NTP
// reference) and applies, in one place for every service, the steps of
// serving a request: counters, indicators, requester display, the reply
// budget of UDP replies, the send and the request log.
#pragma once

#include <array>
#include <boost/asio/ip/address.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/clock/clock.h"
#include "common/net/tcp_listener.h"
#include "common/net/udp_socket.h"
#include "common/nts/cookie.h"
#include "server/serving/accounting.h"
#include "server/serving/network_access.h"
#include "server/serving/ntp_reference.h"
#include "server/serving/rate_limit.h"
#include "server/serving/reply_budget.h"
#include "server/serving/request_log.h"
#include "server/serving/service_kinds.h"

namespace mdl {

// Dotted text of an address (IPv4-mapped IPv6 shown as IPv4).
std::string AddressText(const boost::asio::ip::address& a);

// The amplification budget's key of a source: the address for IPv4 (also
// IPv4-mapped), the /64 prefix for IPv6, whose hosts pick their own low bits.
// IPv4 keys lie in ff00::/8, multicast, never the source of a datagram, so
// no IPv6 prefix shares a key with an IPv4 address.
uint64_t BudgetKey(const boost::asio::ip::address& a);

// What the request log gets of one request; the path adds the requester,
// the port, the service's log code and the transport.
struct LogLine {
  std::string_view text;  // request description
  uint32_t sent = 0;      // bytes sent back
  uint32_t received = 0;  // bytes received, when known
  uint16_t status = 0;    // sc-status: kLogNotServed for a request left unanswered
};

// The source ports whose datagrams no service answers, so that a forged
// datagram cannot set two services talking to each other for ever:
// 0, every port below 1024 (the well-known services: echo 7, discard 9,
// daytime 13, qotd 17, chargen 19, time 37, DNS 53, TFTP 69, NTP 123 for
// the other services, SNMP 161, UnixTime 519, ...; clients send from
// ephemeral ports), and the well-known ports above: SSDP 1900, WS-Discovery
// 3702, the private protocol's 3777, mDNS 5353, CoAP 5683, memcached 11211.
// The ports of our own services are refused beside them (ServingContext).
// NTP clients may send from port 123 to the NTP service.
bool IsServicePort(uint16_t port);

// Why a service would not answer a datagram from `source_port` with `data`;
// nullopt when it may. `own_ports`: the ports our services are bound to (0
// for none). Beside the source ports above, the Time, Daytime and UnixTime
// services refuse datagrams shaped like a reply of a time service: 4 bytes
// (Time, UnixTime), 48 bytes of NTP mode 4 or 5, a private-protocol reply,
// and text carrying a time of day "hh:mm:ss" (Daytime). The NTP service
// filters by mode instead (its replies are never client requests).
std::optional<UdpDrop> ScreenUdpRequest(Service s, uint16_t source_port, std::span<const uint8_t> data,
                                        std::span<const uint16_t> own_ports);

// Takes datagrams of a service's socket before its responder (the upstream
// synchronisation's replies arrive on the NTP socket).
class DatagramTap {
 public:
  virtual ~DatagramTap() = default;
  // True when the datagram was taken.
  virtual bool Take(const net::Datagram& d) = 0;
};

class ServingContext {
 public:
  using DiagnosticSink = std::function<void(const std::string&)>;
  ServingContext(Clock& clock, DiagnosticSink diagnostic);

  // --- read by the responders
  Clock& clock() const { return clock_; }
  // Zone facts of the clock's current second. Looked up again only when that
  // second changes (a look-up per request would cost), so a clock step or a
  // daylight-saving change shows in the very next reply.
  const ZoneFacts& zone() const { return ZoneAt(clock_.now()); }
  // The same with the clock's now() already read as `t`.
  const ZoneFacts& ZoneAt(UtcTime t) const;
  bool synced() const { return synced_; }
  bool enabled(Service s) const { return enabled_[Index(s)]; }
  // Synchronised and enabled: the service answers.
  bool Serves(Service s) const { return synced_ && enabled_[Index(s)]; }
  bool logging() const { return logging_; }
  bool use_julian() const { return use_julian_; }
  bool service_build() const { return service_build_; }
  const NtpReferenceState& ntp_reference() const { return reference_; }
  DatagramTap* tap(Service s) const { return taps_[Index(s)]; }
  // The cookie keys of authenticated NTP; null while NTS is off.
  const nts::CookieKeySet* nts_keys() const { return nts_keys_.get(); }

  // --- the serving path
  // A request arrived: counted, and its transport's indicator lit.
  void Received(Service s, Transport t);
  // Whether the access lists refuse `from`; without lists a single branch.
  bool Denied(const boost::asio::ip::address& from) const { return access_on_ && !access_.Allows(from); }
  // False for a datagram from a denied network, which is then dropped
  // (UdpDrop::kDenied) and, when `counted` (Received ran), not counted.
  bool AdmitDatagram(Service s, const net::Datagram& d, bool counted = false) {
    if (!Denied(d.from.address())) [[likely]]
      return true;
    RefuseDatagram(s, d, counted);
    return false;
  }
  // A request is taken for service: the data-in indicator and the requester display.
  void Accepted(Service s, const boost::asio::ip::address& from);
  // A new connection: closed at once, uncounted, when its source is denied
  // (counted in stats().tcp_denied and reported by ReportDrops), or when the
  // service does not serve; else the
  // requester shown, the indicators lit and, unless `count` is false (the
  // request is counted once it is in), counted.
  bool AdmitConnection(Service s, net::TcpSlot& slot, bool count = true);
  // A connection that is counted once its request is in: the indicators and the requester.
  void Connected(Service s, const boost::asio::ip::address& from) {
    udp_batch_ = false;
    Light(Bit(Indicator::kTcpIn));
    Accepted(s, from);
  }
  // Takes back a count (a datagram first counted as a request that was not one).
  void Uncount(Service s, Transport t) { counters_.Sub(s, t); }
  // Sends a UDP reply from the service's socket: refused when the request
  // fails ScreenUdpRequest, and when larger than the request on the wire and
  // over the sender's budget (each refusal counted as a drop); when sent, the
  // data-out indicator is lit and `line` logged (when given). `stamp`: the
  // socket's stamper writes the transmit time right before the send.
  bool SendUdp(Service s, const net::Datagram& request, std::span<const uint8_t> reply, const LogLine* line,
               bool stamp = false);
  // Sends on a TCP connection: `line` is logged (buffered while accepting,
  // written at once on data), the reply sent, the data-out indicator lit.
  bool SendTcp(Service s, net::TcpSlot& slot, std::span<const uint8_t> reply, const LogLine* line,
               bool close_after, bool accepting);
  // Logs a request that gets no reply (on the service's port for transport `t`).
  void Log(Service s, Transport t, const boost::asio::ip::address& from, const LogLine& line,
           bool write_now = false);
  // End of a batch of datagrams or accepted connections: the log lines go out in one write.
  void FlushLog() {
    if (log_) log_->Flush();
  }
  // End of a batch of datagrams (its replies are out): the log lines are
  // written and the change of the batch is reported, so that the engine's
  // snapshot scheduling never runs between a request and its reply.
  void EndUdpBatch() {
    FlushLog();
    udp_batch_ = false;
    if (change_deferred_ && !changed_) MarkChanged();
    change_deferred_ = false;
  }
  // The NTP rate limit's verdict on a request from `from`: kAnswer when the
  // limit is off (then it costs this one branch).
  RateVerdict LimitRate(const boost::asio::ip::address& from) {
    return rate_limit_ ? rate_limit_->Check(BudgetKey(from), clock_.tick_ms()) : RateVerdict::kAnswer;
  }
  // The poll a KoD RATE asks for at least: the limit's interval (0 when off).
  int8_t rate_limit_poll() const {
    return rate_limit_ ? static_cast<int8_t>(rate_limit_->params().interval) : int8_t{0};
  }
  // Sends a Kiss-o'-Death in place of a reply: screened as SendUdp, counted
  // in kod_sent (or `counter`; not as answered) and not logged, so a flood fills no log.
  bool SendKiss(Service s, const net::Datagram& request, std::span<const uint8_t> kiss,
                uint64_t ServingStats::*counter = &ServingStats::kod_sent);
  // Counts a datagram left unanswered; reported by ReportDrops().
  void Drop(UdpDrop why, Service s, const net::Udp::endpoint& from);
  // One diagnostic line per reason with drops since its last line (and one
  // for TCP connections from denied networks), at most one per reason every 10 s (`final`: now, whatever the
  // time); the engine calls it on its tick, so the serving path builds no text.
  void ReportDrops(bool final = false);
  void Diagnostic(const std::string& line) const {
    if (diagnostic_) diagnostic_(line);
  }

  // --- set by the engine
  // Zone facts for the clock's current second.
  void set_zone(const ZoneFacts& zone);
  void set_synced(bool synced) { synced_ = synced; }
  void set_enabled(Service s, bool on) { enabled_[Index(s)] = on; }
  void set_logging(bool on);
  void set_use_julian(bool on) { use_julian_ = on; }
  void set_service_build(bool on) { service_build_ = on; }
  void set_log(RequestLog* log);
  void set_socket(Service s, net::DatagramPort* socket) { sockets_[Index(s)] = socket; }
  void set_listener(Service s, net::TcpListener* listener) { listeners_[Index(s)] = listener; }
  void set_tap(Service s, DatagramTap* tap) { taps_[Index(s)] = tap; }
  void set_nts_keys(std::shared_ptr<const nts::CookieKeySet> keys) { nts_keys_ = std::move(keys); }
  // An authenticated NTP reply went out.
  void CountNtsReply() { ++stats_.nts_replies; }
  NtpReferenceState& ntp_reference() { return reference_; }
  // The amplification budget: off, or `rate` bytes per second with `burst`.
  void ConfigureBudget(bool on, uint32_t rate, uint32_t burst);
  // The NTP rate limit: off (nullopt) or on; the buckets are kept when the
  // parameters stay the same (a reload forgives no one), forgotten otherwise.
  void ConfigureRateLimit(const std::optional<RateLimitParams>& params);
  const RateLimiter* rate_limit() const { return rate_limit_.get(); }
  // The access lists; a default NetworkAccess allows everyone.
  void SetAccess(NetworkAccess access) {
    access_ = std::move(access);
    access_on_ = access_.restricting();
  }
  // Called at the first change after TakeChanges() (a request served, an
  // indicator lit): the engine schedules its next snapshot.
  void set_on_change(std::function<void()> f) { on_change_ = std::move(f); }

  // --- what the engine's snapshot shows
  const RequestCounters& counters() const { return counters_; }
  const ServingStats& stats() const { return stats_; }
  const boost::asio::ip::address& requester(Service s) const { return requester_[Index(s)]; }
  bool has_requester(Service s) const { return has_requester_[Index(s)]; }
  // The indicators lit since the last call, as Bit(Indicator) bits; clears the change mark.
  uint8_t TakeChanges();
  uint64_t budget_refused() const { return dropped(UdpDrop::kBudget); }
  uint64_t dropped(UdpDrop why) const { return drops_[Index(why)].count; }

 private:
  void Light(uint8_t bits) {
    lit_ |= bits;
    if (changed_) return;
    if (udp_batch_) {
      change_deferred_ = true;  // reported by EndUdpBatch
      return;
    }
    MarkChanged();
  }
  void MarkChanged();
  void RefuseDatagram(Service s, const net::Datagram& d, bool counted);
  bool AllowReply(const boost::asio::ip::address& to, size_t request_size, size_t reply_size);
  std::optional<UdpDrop> Screen(Service s, const net::Datagram& request) const;
  void Append(Service s, Transport t, const boost::asio::ip::address& from, uint16_t local_port,
              const LogLine& line, bool write_now);

  Clock& clock_;
  DiagnosticSink diagnostic_;
  // The zone cache: facts and the clock's whole second they were taken for.
  mutable ZoneFacts zone_;
  mutable int64_t zone_second_ = 0;
  bool synced_ = false;
  bool logging_ = true;
  bool use_julian_ = true;
  bool service_build_ = true;
  std::array<bool, kServiceCount> enabled_{};
  std::array<net::DatagramPort*, kServiceCount> sockets_{};
  std::array<net::TcpListener*, kServiceCount> listeners_{};
  std::array<DatagramTap*, kServiceCount> taps_{};
  NtpReferenceState reference_;
  std::shared_ptr<const nts::CookieKeySet> nts_keys_;
  RequestLog* log_ = nullptr;
  RequestCounters counters_;
  ServingStats stats_;
  std::array<boost::asio::ip::address, kServiceCount> requester_{};
  std::array<bool, kServiceCount> has_requester_{};
  uint8_t lit_ = 0;
  bool changed_ = false;
  bool udp_batch_ = false;  // inside a batch of datagrams (Received, UDP)
  bool change_deferred_ = false;
  std::function<void()> on_change_;
  ReplyBudget budget_;
  bool budget_on_ = true;
  std::unique_ptr<RateLimiter> rate_limit_;  // null: off (no table held)
  struct DropTally {
    uint64_t count = 0;
    uint64_t reported = 0;  // count at the last line
    int64_t line_ms = 0;
    bool any_line = false;
    Service service = Service::kTime;  // of the latest
    net::Udp::endpoint latest;
  };
  std::array<DropTally, kUdpDropCount> drops_{};
  DropTally tcp_denied_;  // connections from denied networks
  NetworkAccess access_;
  bool access_on_ = false;  // access_.restricting()
};

// A responder: the UDP receiver and TCP handler of one service.
class ServiceHandler : public net::UdpReceiver, public net::TcpHandler {
 public:
  explicit ServiceHandler(ServingContext& context) : ctx_(context) {}
  void OnDatagram(const net::Datagram&) override {}
  void OnBatchEnd() override { ctx_.EndUdpBatch(); }
  void OnAcceptBatchEnd() override { ctx_.FlushLog(); }
  void OnAccept(net::TcpSlot&) override {}
  void OnData(net::TcpSlot&, std::span<const uint8_t>) override {}

 protected:
  ServingContext& ctx_;
};

}  // namespace mdl
