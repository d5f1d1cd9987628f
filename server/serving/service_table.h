// The one table of the five served protocols: captions, registry values and
// defaults, log codes, and the order in which the settings load and save them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "server/serving/service_kinds.h"

namespace mdl {

struct ServiceRow {
  Service service;
  std::string_view name;  // for messages
  std::string_view tree_caption;
  std::string_view registry_value;
  std::string_view default_value;
  uint16_t default_port;
  std::string_view log_code;  // the request log's service field
};

// Indexed by Service.
inline constexpr std::array<ServiceRow, kServiceCount> kServiceTable{{
    {Service::kTime, "Time", "Time Service Server", "NTP37", "YES:YES:YES:37", 37, "Time"},
    {Service::kDaytime, "Daytime", "Daytime Service Server", "DTS13", "NO:YES:YES:13", 13, "DayTime"},
    {Service::kNtp, "NTP/SNTP", "SNTP v4 Service Server", "SNTP123", "YES:YES:YES:123", 123, "NTPv4"},
    {Service::kUnixTime, "UnixTime", "UnixTime Service Server", "UNIX519", "YES:YES:NO:519", 519, "UnixTime"},
    {Service::kPrivate, "MDL Server Client", "MDL Server Client Server", "MDL3777", "YES:YES:NO:3777", 3777,
     "MDL Server Client"},
}};

constexpr const ServiceRow& RowOf(Service s) { return kServiceTable[Index(s)]; }

// Order in which the settings load opens the services.
inline constexpr std::array<Service, kServiceCount> kLoadOrder{
    Service::kTime, Service::kNtp, Service::kUnixTime, Service::kPrivate, Service::kDaytime};
// Order in which the settings save writes the service values.
inline constexpr std::array<Service, kServiceCount> kSaveOrder{
    Service::kTime, Service::kUnixTime, Service::kNtp, Service::kPrivate, Service::kDaytime};
// Order of the listeners' close at shutdown (UDP sockets close in reverse).
inline constexpr std::array<Service, kServiceCount> kTcpCloseOrder = kAllServices;

// The port of a port field: the value of its leading digits when that is a
// port from 1 to 65535.
std::optional<uint16_t> ParsePortField(std::string_view text);

}  // namespace mdl
