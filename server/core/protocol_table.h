// The table of the five served protocols: captions, registry values, defaults,
// the digits of `LoadServers` and the panel indices.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "server/protocols/accounting.h"

namespace mdl {

struct ProtocolRow {
  Service service;
  std::string_view name;  // for messages
  std::string_view tree_caption;
  std::string_view registry_value;
  std::string_view default_value;
  char udp_digit;
  char tcp_digit;
  int panel_index;  // tree node index
  uint16_t default_port;
};

// Indexed by Service (panel-slot order: Time, Daytime, NTP/SNTP, UnixTime, private).
inline constexpr std::array<ProtocolRow, kServiceCount> kProtocolTable{{
    {Service::kTime, "Time", "Time Service Server", "NTP37", "YES:YES:YES:37", '2', '3', 2, 37},
    {Service::kDaytime, "Daytime", "Daytime Service Server", "DTS13", "NO:YES:YES:13", '0', '1', 3, 13},
    {Service::kNtp, "NTP/SNTP", "SNTP v4 Service Server", "SNTP123", "YES:YES:YES:123", '4', '5', 4, 123},
    {Service::kUnixTime, "UnixTime", "UnixTime Service Server", "UNIX519", "YES:YES:NO:519", '6', '7', 5,
     519},
    {Service::kPrivate, "MDL Server Client", "MDL Server Client Server", "MDL3777", "YES:YES:NO:3777", '8',
     '9', 6, 3777},
}};

// Order in which the settings load opens the services.
inline constexpr std::array<Service, kServiceCount> kLoadOrder{
    Service::kTime, Service::kNtp, Service::kUnixTime, Service::kPrivate, Service::kDaytime};

inline const ProtocolRow& RowOf(Service s) { return kProtocolTable[static_cast<size_t>(s)]; }

// The service and transport a `LoadServers` digit names; nullopt for any other text.
struct DigitTarget {
  Service service;
  Transport transport;
};
std::optional<DigitTarget> ParseModeDigit(std::string_view mode);

// The port of a port field: the value of its leading digits when that is a
// port from 1 to 65535.
std::optional<uint16_t> ParsePortField(std::string_view text);

}  // namespace mdl
