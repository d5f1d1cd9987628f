// The serving path of every responder.
#include "server/serving/serving.h"

#include "server/serving/service_table.h"

namespace mdl {
namespace {

// Dotted quad without the formatted-output machinery: this runs per request.
std::string DottedQuad(const boost::asio::ip::address_v4::bytes_type& b) {
  char text[15];  // "255.255.255.255"
  char* p = text;
  for (size_t i = 0; i < 4; ++i) {
    if (i) *p++ = '.';
    const unsigned v = b[i];
    if (v >= 100) *p++ = static_cast<char>('0' + v / 100);
    if (v >= 10) *p++ = static_cast<char>('0' + v / 10 % 10);
    *p++ = static_cast<char>('0' + v % 10);
  }
  return std::string(text, p);
}

constexpr std::string_view TransportText(Transport t) { return t == Transport::kTcp ? "TCP" : "UDP"; }

bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }

// A time of day "hh:mm:ss" in a text of printable characters and line ends.
bool LooksLikeTimeText(std::span<const uint8_t> data) {
  if (data.size() < 16) return false;
  bool clock = false;
  for (size_t i = 0; i < data.size(); ++i) {
    uint8_t c = data[i];
    if ((c < 0x20 || c > 0x7E) && c != '\r' && c != '\n' && c != '\t') return false;
    if (!clock && c == ':' && i >= 2 && i + 5 < data.size() && IsDigit(data[i - 1]) && IsDigit(data[i - 2]) &&
        IsDigit(data[i + 1]) && IsDigit(data[i + 2]) && data[i + 3] == ':' && IsDigit(data[i + 4]) &&
        IsDigit(data[i + 5]))
      clock = true;
  }
  return clock;
}

bool LooksLikeReply(std::span<const uint8_t> data) {
  if (data.size() == 4) return true;  // Time, UnixTime
  if (data.size() == 48) {
    unsigned mode = data[0] & 0x07u;
    if (mode == 4 || mode == 5) return true;  // NTP server, broadcast
  }
  if (data.size() == 24 && data[0] == 'M' && data[1] == 'D' && data[3] == 'S')
    return true;                   // private protocol
  return LooksLikeTimeText(data);  // Daytime
}

std::string_view DropText(UdpDrop why) {
  switch (why) {
    case UdpDrop::kSourcePort:
      return " UDP datagrams from a service port not answered";
    case UdpDrop::kReplyShaped:
      return " UDP datagrams shaped like a time service's reply not answered";
    case UdpDrop::kNtpNotClient:
      return " NTP datagrams that are not client requests not answered";
    case UdpDrop::kBudget:
      return " UDP replies refused";
    case UdpDrop::kDenied:
      return " UDP datagrams from denied networks not answered";
    case UdpDrop::kRateLimit:
      return " NTP requests over the rate limit not answered in full";
  }
  return "";
}

}  // namespace

bool IsServicePort(uint16_t port) {
  if (port < 1024) return true;
  switch (port) {
    case 1900:
    case 3702:
    case 3777:
    case 5353:
    case 5683:
    case 11211:
      return true;
    default:
      return false;
  }
}

std::optional<UdpDrop> ScreenUdpRequest(Service s, uint16_t source_port, std::span<const uint8_t> data,
                                        std::span<const uint16_t> own_ports) {
  const bool ntp = s == Service::kNtp;
  // NTP to NTP from port 123 (or our own NTP port) is the symmetric mode of
  // the protocol; the mode filter keeps replies unanswered.
  const uint16_t ntp_port = own_ports.size() > Index(Service::kNtp) ? own_ports[Index(Service::kNtp)] : 0;
  if (!(ntp && (source_port == 123 || source_port == ntp_port))) {
    if (IsServicePort(source_port)) return UdpDrop::kSourcePort;
    for (uint16_t own : own_ports)
      if (own != 0 && own == source_port) return UdpDrop::kSourcePort;
  }
  if ((s == Service::kTime || s == Service::kDaytime || s == Service::kUnixTime) && LooksLikeReply(data))
    return UdpDrop::kReplyShaped;
  return std::nullopt;
}

std::string AddressText(const boost::asio::ip::address& a) {
  if (a.is_v4()) return DottedQuad(a.to_v4().to_bytes());
  if (a.to_v6().is_v4_mapped())
    return DottedQuad(boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, a.to_v6()).to_bytes());
  return a.to_string();
}

uint64_t BudgetKey(const boost::asio::ip::address& a) {
  constexpr uint64_t kIpv4Keys = 0xffffffff00000000ULL;
  if (a.is_v4()) return kIpv4Keys | a.to_v4().to_uint();
  if (a.to_v6().is_v4_mapped())
    return kIpv4Keys | boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, a.to_v6()).to_uint();
  const auto b = a.to_v6().to_bytes();
  uint64_t prefix = 0;
  for (size_t i = 0; i < 8; ++i) prefix = prefix << 8 | b[i];
  return prefix;
}

ServingContext::ServingContext(Clock& clock, DiagnosticSink diagnostic)
    : clock_(clock), diagnostic_(std::move(diagnostic)) {
  set_zone(clock.zone());
}

const ZoneFacts& ServingContext::ZoneAt(UtcTime t) const {
  const int64_t second = FloorUnixSeconds(t);
  if (second != zone_second_) {
    // The clock's zone is that of its current instant; `t` is read right before.
    zone_ = clock_.zone();
    zone_second_ = second;
  }
  return zone_;
}

void ServingContext::set_zone(const ZoneFacts& zone) {
  zone_ = zone;
  zone_second_ = FloorUnixSeconds(clock_.now());
}

void ServingContext::set_logging(bool on) {
  logging_ = on;
  if (log_) log_->set_enabled(on);
}

void ServingContext::set_log(RequestLog* log) {
  log_ = log;
  if (log_) log_->set_enabled(logging_);
}

void ServingContext::ConfigureBudget(bool on, uint32_t rate, uint32_t burst) {
  budget_on_ = on;
  budget_.Configure(rate, burst);
}

void ServingContext::ConfigureRateLimit(const std::optional<RateLimitParams>& params) {
  if (!params) {
    rate_limit_.reset();
  } else if (!rate_limit_) {
    rate_limit_ = std::make_unique<RateLimiter>(*params);
  } else if (!(rate_limit_->params() == *params)) {
    rate_limit_->Configure(*params);
  }
}

void ServingContext::MarkChanged() {
  changed_ = true;
  if (on_change_) on_change_();
}

uint8_t ServingContext::TakeChanges() {
  uint8_t bits = lit_;
  lit_ = 0;
  changed_ = false;
  return bits;
}

void ServingContext::Received(Service s, Transport t) {
  udp_batch_ = t == Transport::kUdp;
  counters_.Add(s, t);
  Light(Bit(t == Transport::kTcp ? Indicator::kTcpIn : Indicator::kUdpIn));
}

void ServingContext::Accepted(Service s, const boost::asio::ip::address& from) {
  requester_[Index(s)] = from;
  has_requester_[Index(s)] = true;
  Light(Bit(Indicator::kDataIn));
}

bool ServingContext::AdmitConnection(Service s, net::TcpSlot& slot, bool count) {
  udp_batch_ = false;
  if (Denied(slot.remote().address())) {
    ++stats_.tcp_denied[Index(s)];
    ++tcp_denied_.count;
    tcp_denied_.service = s;
    tcp_denied_.latest = net::Udp::endpoint(slot.remote().address(), slot.remote().port());
    slot.Close();
    return false;
  }
  if (!Serves(s)) {
    slot.Close();
    return false;
  }
  if (count) {
    Received(s, Transport::kTcp);
    Accepted(s, slot.remote().address());
  } else {
    Connected(s, slot.remote().address());
  }
  return true;
}

bool ServingContext::AllowReply(const boost::asio::ip::address& to, size_t request_size, size_t reply_size) {
  const bool v6 = to.is_v6() && !to.to_v6().is_v4_mapped();
  const size_t request_wire = UdpWireBytes(request_size, v6);
  const size_t reply_wire = UdpWireBytes(reply_size, v6);
  if (!budget_on_ || reply_wire <= request_wire) return true;
  return budget_.Allow(BudgetKey(to), clock_.tick_ms(), static_cast<uint32_t>(reply_wire));
}

std::optional<UdpDrop> ServingContext::Screen(Service s, const net::Datagram& request) const {
  std::array<uint16_t, 2 * kServiceCount> own{};
  for (size_t i = 0; i < kServiceCount; ++i) {
    own[i] = sockets_[i] ? sockets_[i]->local_port() : 0;
    own[kServiceCount + i] = listeners_[i] ? listeners_[i]->local_port() : 0;
  }
  return ScreenUdpRequest(s, request.from.port(), request.data, own);
}

void ServingContext::Drop(UdpDrop why, Service s, const net::Udp::endpoint& from) {
  DropTally& t = drops_[Index(why)];
  ++t.count;
  ++stats_.udp_dropped[Index(s)][Index(why)];
  t.service = s;
  t.latest = from;
}

void ServingContext::RefuseDatagram(Service s, const net::Datagram& d, bool counted) {
  if (counted) Uncount(s, Transport::kUdp);
  Drop(UdpDrop::kDenied, s, d.from);
}

void ServingContext::ReportDrops(bool final) {
  const int64_t now = clock_.tick_ms();
  for (size_t i = 0; i < kUdpDropCount; ++i) {
    DropTally& t = drops_[i];
    if (t.count == t.reported) continue;
    if (!final && t.any_line && now - t.line_ms < 10000) continue;
    const UdpDrop why = static_cast<UdpDrop>(i);
    std::string line = why == UdpDrop::kBudget      ? "amplification budget: "
                       : why == UdpDrop::kDenied    ? "access list: "
                       : why == UdpDrop::kRateLimit ? "NTP rate limit: "
                                                    : "reflection guard: ";
    line += std::to_string(t.count - t.reported);
    line += DropText(why);
    line += t.any_line ? " since the last report" : "";
    line += why == UdpDrop::kBudget ? ", the latest to " : ", the latest from ";
    line += AddressText(t.latest.address()) + ":" + std::to_string(t.latest.port());
    line += " (" + std::string(RowOf(t.service).name) + ")";
    t.reported = t.count;
    t.line_ms = now;
    t.any_line = true;
    Diagnostic(line);
  }
  DropTally& t = tcp_denied_;
  if (t.count == t.reported || (!final && t.any_line && now - t.line_ms < 10000)) return;
  std::string line = "access list: " + std::to_string(t.count - t.reported) +
                     " TCP connections from denied networks closed" +
                     (t.any_line ? " since the last report" : "") + ", the latest from " +
                     AddressText(t.latest.address()) + " (" + std::string(RowOf(t.service).name) + ")";
  t.reported = t.count;
  t.line_ms = now;
  t.any_line = true;
  Diagnostic(line);
}

bool ServingContext::SendUdp(Service s, const net::Datagram& request, std::span<const uint8_t> reply,
                             const LogLine* line, bool stamp) {
  net::DatagramPort* socket = request.socket ? request.socket : sockets_[Index(s)];
  if (!socket) return false;
  if (auto why = Screen(s, request)) {
    Drop(*why, s, request.from);
    return false;
  }
  if (!AllowReply(request.from.address(), request.length, reply.size())) {
    Drop(UdpDrop::kBudget, s, request.from);
    return false;
  }
  if (!socket->SendTo(reply, request.from, stamp)) return false;
  ++stats_.answered[Index(s)][Index(Transport::kUdp)];
  Light(Bit(Indicator::kDataOut));
  if (line) Append(s, Transport::kUdp, request.from.address(), socket->local_port(), *line, false);
  return true;
}

bool ServingContext::SendKiss(Service s, const net::Datagram& request, std::span<const uint8_t> kiss,
                              uint64_t ServingStats::*counter) {
  net::DatagramPort* socket = request.socket ? request.socket : sockets_[Index(s)];
  if (!socket) return false;
  if (Screen(s, request)) return false;  // the request is already counted as limited
  if (!AllowReply(request.from.address(), request.length, kiss.size())) return false;
  if (!socket->SendTo(kiss, request.from, /*stamp=*/false)) return false;
  ++(stats_.*counter);
  Light(Bit(Indicator::kDataOut));
  return true;
}

bool ServingContext::SendTcp(Service s, net::TcpSlot& slot, std::span<const uint8_t> reply,
                             const LogLine* line, bool close_after, bool accepting) {
  udp_batch_ = false;
  if (line) Append(s, Transport::kTcp, slot.remote().address(), slot.local_port(), *line, !accepting);
  bool sent = slot.Send(reply, close_after);
  if (sent) ++stats_.answered[Index(s)][Index(Transport::kTcp)];
  Light(Bit(Indicator::kDataOut));
  return sent;
}

void ServingContext::Log(Service s, Transport t, const boost::asio::ip::address& from, const LogLine& line,
                         bool write_now) {
  uint16_t port = 0;
  if (t == Transport::kUdp && sockets_[Index(s)]) port = sockets_[Index(s)]->local_port();
  if (t == Transport::kTcp && listeners_[Index(s)]) port = listeners_[Index(s)]->local_port();
  Append(s, t, from, port, line, write_now);
}

void ServingContext::Append(Service s, Transport t, const boost::asio::ip::address& from, uint16_t local_port,
                            const LogLine& line, bool write_now) {
  if (!logging_ || !log_) return;
  std::string host = AddressText(from);
  LogEntry entry{line.text,        host,          local_port, line.sent, RowOf(s).log_code,
                 TransportText(t), line.received, line.status};
  UtcTime now = clock_.now();
  if (write_now) {
    log_->Write(entry, now, ZoneAt(now));
  } else {
    log_->Append(entry, now, ZoneAt(now));
  }
}

}  // namespace mdl
