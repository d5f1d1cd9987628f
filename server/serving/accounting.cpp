// Request counters and the status texts.
#include "server/serving/accounting.h"

namespace mdl {
namespace {

size_t Row(Service service) { return static_cast<size_t>(service); }
size_t Column(Transport transport) { return transport == Transport::kTcp ? 0 : 1; }

std::string SelectedText(bool enabled, bool tcp, bool udp, std::string_view count_label, uint64_t tcp_count,
                         uint64_t udp_count) {
  std::string text = "Server is: ";
  text += enabled ? "Enabled" : "Disabled";
  text += "\r\n";
  text += tcp ? "TCP: ON - " : "TCP: OFF - ";
  text += udp ? "UDP: ON" : "UDP: OFF";
  text += "\r\n";
  text += count_label;
  text += std::to_string(tcp_count);
  text += "/t - ";
  text += std::to_string(udp_count);
  text += "/u";
  return text;
}

}  // namespace

void RequestCounters::Add(Service service, Transport transport) {
  ++counts_[Row(service)][Column(transport)];
}

void RequestCounters::Sub(Service service, Transport transport) {
  uint64_t& count = counts_[Row(service)][Column(transport)];
  if (count > 0) --count;
}

uint64_t RequestCounters::Get(Service service, Transport transport) const {
  return counts_[Row(service)][Column(transport)];
}

uint64_t RequestCounters::ServiceTotal(Service service) const {
  return counts_[Row(service)][0] + counts_[Row(service)][1];
}

uint64_t RequestCounters::TcpTotal() const {
  uint64_t sum = 0;
  for (const auto& row : counts_) sum += row[0];
  return sum;
}

uint64_t RequestCounters::UdpTotal() const {
  uint64_t sum = 0;
  for (const auto& row : counts_) sum += row[1];
  return sum;
}

uint64_t RequestCounters::Total() const { return TcpTotal() + UdpTotal(); }

std::string ServerStatusText(const RequestCounters& counters, std::string_view local_datetime_text,
                             std::string_view last_update_text) {
  auto num = [](uint64_t n) { return std::to_string(n); };
  std::string text = "Server Status: ";
  text += local_datetime_text;
  text += "\r# " + num(counters.Total());
  text += " | /T " + num(counters.ServiceTotal(Service::kTime));
  text += " | /D " + num(counters.ServiceTotal(Service::kDaytime));
  text += " | /S " + num(counters.ServiceTotal(Service::kNtp));
  text += " | /U " + num(counters.ServiceTotal(Service::kUnixTime));
  text += " | /MDL " + num(counters.ServiceTotal(Service::kPrivate));
  text += "\r# UDP: " + num(counters.UdpTotal());
  text += " --- # TCP: " + num(counters.TcpTotal());
  text += "\rLast Atomic Update: ";
  text += last_update_text;
  return text;
}

std::string SelectedSummaryText(bool enabled, bool tcp, bool udp, uint64_t tcp_count, uint64_t udp_count) {
  return SelectedText(enabled, tcp, udp, "Requests: ", tcp_count, udp_count);
}

std::string SelectedStatusText(bool enabled, bool tcp, bool udp, uint64_t tcp_count, uint64_t udp_count) {
  return SelectedText(enabled, tcp, udp, "IN: ", tcp_count, udp_count);
}

}  // namespace mdl
