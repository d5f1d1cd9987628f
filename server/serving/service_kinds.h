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
inline constexpr std::array<Service, kServiceCount> kAllServices{Service::kTime, Service::kDaytime, Service::kNtp,
                                                                 Service::kUnixTime, Service::kPrivate};
constexpr size_t Index(Service s) { return static_cast<size_t>(s); }

enum class Transport { kTcp, kUdp };

// Elements of the indicator array.
enum class Indicator { kSource = 0, kDataIn = 1, kDataOut = 2, kUdpIn = 3, kTcpIn = 4 };
inline constexpr size_t kIndicatorCount = 5;
constexpr uint8_t Bit(Indicator i) { return static_cast<uint8_t>(1u << static_cast<unsigned>(i)); }

}  // namespace mdl
