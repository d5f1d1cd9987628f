// Loopback addresses and ports found free at run time.
#pragma once

#include <netinet/in.h>

#include <cstdint>

namespace mdl::testing {

// 127.0.0.1:port.
sockaddr_in Loopback(uint16_t port);

// Whether a socket of that kind could be bound to `port` on every address now.
bool TcpPortFree(uint16_t port);
bool UdpPortFree(uint16_t port);

// A port that could be bound on every address a moment ago, and that this
// process has not handed out before (so that two calls never collide).
// 0 when none was found.
uint16_t FreePort();     // free for TCP and UDP alike
uint16_t FreeUdpPort();  // free for UDP
uint16_t FreeTcpPort();  // free for TCP

}  // namespace mdl::testing
