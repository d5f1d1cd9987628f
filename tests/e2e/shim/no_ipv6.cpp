// Preloaded into a program under test: a machine without IPv6, where every
// IPv6 socket is refused as the kernel refuses it when IPv6 is off.
#include <dlfcn.h>
#include <sys/socket.h>

#include <cerrno>

extern "C" int socket(int domain, int type, int protocol) {
  if (domain == AF_INET6) {
    errno = EAFNOSUPPORT;
    return -1;
  }
  using Real = int (*)(int, int, int);
  static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "socket"));
  return real(domain, type, protocol);
}
