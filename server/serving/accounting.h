// Request counters per service and transport, the status texts built from
// them, and the activity indicators the responders light.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "server/serving/service_kinds.h"

namespace mdl {

// Ten counters, one per service and transport. They are 64-bit so that they
// never wrap while the server runs (a 32-bit signed count would overflow
// after 2^31 requests).
class RequestCounters {
 public:
  void Add(Service service, Transport transport);
  // Takes back a count (an upstream reply first counted as a request);
  // a counter never goes below 0.
  void Sub(Service service, Transport transport);

  uint64_t Get(Service service, Transport transport) const;
  uint64_t ServiceTotal(Service service) const;
  uint64_t TcpTotal() const;
  uint64_t UdpTotal() const;
  uint64_t Total() const;

  bool operator==(const RequestCounters&) const = default;

 private:
  // [service][0] TCP, [service][1] UDP.
  std::array<std::array<uint64_t, 2>, kServiceCount> counts_{};
};

// What the serving path did with requests beyond counting them, for the
// status command and the metrics.
struct ServingStats {
  using PerTransport = std::array<uint64_t, 2>;        // by Index(Transport)
  std::array<PerTransport, kServiceCount> answered{};  // replies sent
  // TCP connections from a network AllowNetworks/DenyNetworks refuse, closed at once.
  std::array<uint64_t, kServiceCount> tcp_denied{};
  // UDP datagrams left unanswered, by Index(UdpDrop).
  std::array<std::array<uint64_t, kUdpDropCount>, kServiceCount> udp_dropped{};
  uint64_t kod_sent = 0;     // KoD RATE replies sent in place of NTP replies
  uint64_t nts_replies = 0;  // authenticated NTP replies sent
  uint64_t nts_naks = 0;     // NTS NAKs sent (cookie or authenticator refused)

  bool operator==(const ServingStats&) const = default;
};

// The four-line server status; lines end with a lone CR:
// "Server Status: <now>", "# T | /T .. | /D .. | /S .. | /U .. | /MDL ..",
// "# UDP: U --- # TCP: C", "Last Atomic Update: <last update>".
std::string ServerStatusText(const RequestCounters& counters, std::string_view local_datetime_text,
                             std::string_view last_update_text);

// Summary of the selected service, lines joined by CR LF:
// "Server is: Enabled", "TCP: ON - UDP: OFF", "Requests: t/t - u/u".
std::string SelectedSummaryText(bool enabled, bool tcp, bool udp, uint64_t tcp_count, uint64_t udp_count);

// The same for the service panel; its third line reads "IN: t/t - u/u".
std::string SelectedStatusText(bool enabled, bool tcp, bool udp, uint64_t tcp_count, uint64_t udp_count);

}  // namespace mdl
