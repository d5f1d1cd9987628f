// The words every server layer shares: the five services, the two
// transports and the activity indicators.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace mdl {

// In panel-slot order; the index of every per-service array.
enum class Service { kTime, kDaytime, kNtp, kUnixTime, kPrivate };
inline constexpr size_t kServiceCount = 5;
inline constexpr std::array<Service, kServiceCount> kAllServices{
    Service::kTime, Service::kDaytime, Service::kNtp, Service::kUnixTime, Service::kPrivate};
constexpr size_t Index(Service s) { return static_cast<size_t>(s); }

enum class Transport { kTcp, kUdp };
constexpr size_t Index(Transport t) { return t == Transport::kTcp ? 0 : 1; }

// Why a UDP datagram of a serving service got no reply (a counter each).
enum class UdpDrop {
  kSourcePort,    // sent from a service port: answering could start a loop
  kReplyShaped,   // shaped like a reply of a time service
  kNtpNotClient,  // NTP: not a client request (wrong length or mode)
  kBudget,        // over its source's amplification budget
  kDenied,        // from a network AllowNetworks/DenyNetworks refuse
  kRateLimit,     // NTP: over its source's NtpRateLimit (no reply, or a KoD RATE)
};
inline constexpr size_t kUdpDropCount = 6;
constexpr size_t Index(UdpDrop d) { return static_cast<size_t>(d); }

// Elements of the indicator array.
enum class Indicator { kSource = 0, kDataIn = 1, kDataOut = 2, kUdpIn = 3, kTcpIn = 4 };
inline constexpr size_t kIndicatorCount = 5;
constexpr uint8_t Bit(Indicator i) { return static_cast<uint8_t>(1u << static_cast<unsigned>(i)); }

}  // namespace mdl
