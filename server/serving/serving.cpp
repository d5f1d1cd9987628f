// The serving path of every responder.
#include "server/serving/serving.h"

#include <charconv>

#include "server/serving/service_table.h"

namespace mdl {
namespace {

// Dotted quad without the formatted-output machinery: this runs per request.
std::string DottedQuad(const boost::asio::ip::address_v4::bytes_type& b) {
  char text[16];
  char* p = text;
  for (size_t i = 0; i < 4; ++i) {
    if (i) *p++ = '.';
    p = std::to_chars(p, text + sizeof text, b[i]).ptr;
  }
  return std::string(text, p);
}

constexpr std::string_view TransportText(Transport t) { return t == Transport::kTcp ? "TCP" : "UDP"; }

}  // namespace

std::string AddressText(const boost::asio::ip::address& a) {
  if (a.is_v4()) return DottedQuad(a.to_v4().to_bytes());
  if (a.to_v6().is_v4_mapped())
    return DottedQuad(boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, a.to_v6()).to_bytes());
  return a.to_string();
}

ServingContext::ServingContext(Clock& clock, DiagnosticSink diagnostic)
    : clock_(clock), diagnostic_(std::move(diagnostic)), zone_(clock.zone()) {}

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
  counters_.Add(s, t);
  Light(Bit(t == Transport::kTcp ? Indicator::kTcpIn : Indicator::kUdpIn));
}

void ServingContext::Accepted(Service s, const boost::asio::ip::address& from) {
  requester_[Index(s)] = from;
  has_requester_[Index(s)] = true;
  Light(Bit(Indicator::kDataIn));
}

bool ServingContext::AdmitConnection(Service s, net::TcpSlot& slot, bool count) {
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
  if (!budget_on_ || reply_size <= request_size) return true;
  uint64_t key = 0;
  if (to.is_v4()) {
    key = to.to_v4().to_uint();
  } else {
    auto b = to.to_v6().to_bytes();
    for (size_t i = 0; i < 8; ++i) key = key << 8 | b[i];  // the /64 prefix
    key ^= 0x8000000000000000ULL;
  }
  int64_t now = clock_.tick_ms();
  if (budget_.Allow(key, now, static_cast<uint32_t>(reply_size - request_size))) return true;
  // Reported at most once every 10 s, with the count since the last report.
  if (now - budget_reported_ms_ >= 10000) {
    Diagnostic("amplification budget: " + std::to_string(budget_.refused() - budget_reported_count_) +
               " UDP replies refused, the latest to " + AddressText(to));
    budget_reported_ms_ = now;
    budget_reported_count_ = budget_.refused();
  }
  return false;
}

bool ServingContext::SendUdp(Service s, const net::Datagram& request, std::span<const uint8_t> reply,
                             const LogLine* line, bool stamp) {
  net::UdpSocket* socket = sockets_[Index(s)];
  if (!socket) return false;
  if (!AllowReply(request.from.address(), request.length, reply.size())) return false;
  if (!socket->SendTo(reply, request.from, stamp)) return false;
  Light(Bit(Indicator::kDataOut));
  if (line) Append(s, Transport::kUdp, request.from.address(), socket->local_port(), *line, false);
  return true;
}

bool ServingContext::SendTcp(Service s, net::TcpSlot& slot, std::span<const uint8_t> reply, const LogLine* line,
                             bool close_after, bool accepting) {
  if (line) Append(s, Transport::kTcp, slot.remote().address(), slot.local_port(), *line, !accepting);
  bool sent = slot.Send(reply, close_after);
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
  LogEntry entry{line.text, host, local_port, line.sent, RowOf(s).log_code, TransportText(t), line.received};
  UtcTime now = clock_.now();
  if (write_now) {
    log_->Write(entry, now, zone_);
  } else {
    log_->Append(entry, now, zone_);
  }
}

}  // namespace mdl
