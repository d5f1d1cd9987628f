// Free ports for the programs under test, checked by binding them.
#include "tests/support/ports.h"

#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <random>
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

// A port below the kernel's ephemeral range (32768 and up), so that no other
// process's outgoing connection or datagram takes it as its source port
// between the check and the bind of the program under test. Random per
// process, checked free for every kind wanted.
uint16_t Find(int pick_type, bool need_tcp, bool need_udp) {
  static std::mutex mutex;
  static std::set<uint16_t> given;
  static std::mt19937 random(std::random_device{}() ^ static_cast<unsigned>(::getpid()));
  constexpr uint16_t kLow = 20000, kHigh = 32000;
  for (int attempt = 0; attempt < 500; ++attempt) {
    uint16_t port;
    {
      std::lock_guard lock(mutex);
      port = static_cast<uint16_t>(std::uniform_int_distribution<int>(kLow, kHigh - 1)(random));
      if (given.count(port)) continue;
    }
    if (!CanBind(pick_type, port) || (need_tcp && !CanBind(SOCK_STREAM, port)) ||
        (need_udp && !CanBind(SOCK_DGRAM, port)))
      continue;
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
