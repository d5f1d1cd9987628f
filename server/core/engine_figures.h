// Figures of the server engine that no host shows: tests read them through
// EngineHandle::Figures(), so that the snapshot carries only what displays need.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "server/serving/service_kinds.h"

namespace mdl {

struct EngineFigures {
  struct Sockets {
    uint16_t tcp_port = 0;  // the bound ports (0 while closed)
    uint16_t udp_port = 0;
    size_t tcp_connections = 0;  // accepted connections open now
  };
  std::array<Sockets, kServiceCount> sockets{};       // by Service
  std::string server_status_text;                     // the four-line server status
  uint64_t replies_refused = 0;                       // by the amplification budget
  std::array<uint64_t, kUdpDropCount> udp_dropped{};  // by UdpDrop (kBudget = replies_refused)
  bool update_running = false;
  std::string update_status;  // the update check's progress or outcome
};

}  // namespace mdl
