// Free ports, found by letting the kernel pick one and binding it again.
#include "tests/support/ports.h"

#include <sys/socket.h>

#include <mutex>
#include <set>

#include "tests/support/unique_fd.h"

namespace mdl::testing {

namespace {

bool CanBind(int type, uint16_t port) {
  UniqueFd s(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
  if (!s.valid()) return false;
  int one = 1;
  // A port whose earlier connections linger in TIME_WAIT is still free for a listener.
  if (type == SOCK_STREAM) ::setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_addr.s_addr = htonl(INADDR_ANY);
  any.sin_port = htons(port);
  return ::bind(s.get(), reinterpret_cast<sockaddr*>(&any), sizeof any) == 0;
}

// A port the kernel picks for `type`, checked against the other kinds wanted.
uint16_t Find(int pick_type, bool need_tcp, bool need_udp) {
  static std::mutex mutex;
  static std::set<uint16_t> given;
  for (int attempt = 0; attempt < 200; ++attempt) {
    UniqueFd s(::socket(AF_INET, pick_type | SOCK_CLOEXEC, 0));
    sockaddr_in a = Loopback(0);
    if (!s.valid() || ::bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) continue;
    socklen_t len = sizeof a;
    if (::getsockname(s.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0) continue;
    const uint16_t port = ntohs(a.sin_port);
    s.Reset();
    if ((need_tcp && !CanBind(SOCK_STREAM, port)) || (need_udp && !CanBind(SOCK_DGRAM, port))) continue;
    std::lock_guard lock(mutex);
    if (given.insert(port).second) return port;
  }
  return 0;
}

}  // namespace

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  return a;
}

bool TcpPortFree(uint16_t port) { return CanBind(SOCK_STREAM, port); }
bool UdpPortFree(uint16_t port) { return CanBind(SOCK_DGRAM, port); }

uint16_t FreePort() { return Find(SOCK_STREAM, true, true); }
uint16_t FreeUdpPort() { return Find(SOCK_DGRAM, false, true); }
uint16_t FreeTcpPort() { return Find(SOCK_STREAM, true, false); }

}  // namespace mdl::testing
