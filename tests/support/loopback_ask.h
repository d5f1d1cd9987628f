// Bounded blocking clients for 127.0.0.1 (or ::1): one UDP datagram and its reply, or
// one TCP connection read until the peer closes. Every call ends by itself
// within its time-out. Each comes for bytes and for text.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/unique_fd.h"

namespace mdl::testing {

using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;

// Waits until `fd` is readable; false after `timeout`.
bool WaitReadable(int fd, milliseconds timeout);

// Sends `request` to 127.0.0.1:port from a fresh socket and returns the first
// reply that arrives within `timeout`; nullopt when none came (or the port refused).
// With `v6` set, [::1]:port instead of 127.0.0.1 (for this and the calls below).
std::optional<Bytes> UdpAsk(uint16_t port, const Bytes& request, milliseconds timeout = milliseconds(1000),
                            bool v6 = false);
std::optional<std::string> UdpAskText(uint16_t port, std::string_view request,
                                      milliseconds timeout = milliseconds(1000), bool v6 = false);

// A connected blocking TCP socket to 127.0.0.1:port, or an invalid one when the
// connection was refused or did not complete within `timeout`.
UniqueFd TcpConnect(uint16_t port, milliseconds timeout = milliseconds(2000), bool v6 = false);

template <typename Buffer>
struct BasicTcpReply {
  Buffer data;                    // everything read
  bool closed_by_server = false;  // the peer closed (end of stream)
};
using TcpReply = BasicTcpReply<Bytes>;
using TcpTextReply = BasicTcpReply<std::string>;

// Connects to 127.0.0.1:port, sends `request` (when not empty) and reads until
// the peer closes, `stop_after` bytes came, an error, or `timeout` passed since
// the connection. nullopt when the connection or the send failed.
std::optional<TcpReply> TcpAsk(uint16_t port, const Bytes& request = {},
                               milliseconds timeout = milliseconds(1000), size_t stop_after = SIZE_MAX,
                               bool v6 = false);
std::optional<TcpTextReply> TcpAskText(uint16_t port, std::string_view request,
                                       milliseconds timeout = milliseconds(1000),
                                       size_t stop_after = SIZE_MAX, bool v6 = false);

}  // namespace mdl::testing
