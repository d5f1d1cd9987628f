// mdl_ceiling: reference minimal servers that show what this machine and the
// load generator can reach (NTP over UDP, Time over TCP). Not products: one
// thread, no options beyond --port, no logging, no clock discipline.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "bench/ceiling_reply.h"
#include "bench/load_stats.h"

namespace mdl::bench {
namespace {

constexpr unsigned kBatch = 64;

int64_t RealNanos() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void OnStop(int) { _exit(0); }

int Bound(int type, int port) {
  int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Batched receive with kernel stamps; one sendto per reply, its transmit
// stamp read right before it.
int ServeNtpUdp(int port) {
  int fd = Bound(SOCK_DGRAM, port);
  int on = 1;
  if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0) {
    std::fprintf(stderr, "mdl_ceiling: udp port %d: %s\n", port, std::strerror(errno));
    return 1;
  }
  uint8_t bufs[kBatch][512];
  alignas(cmsghdr) char controls[kBatch][128];
  sockaddr_in peers[kBatch];
  iovec iovs[kBatch];
  mmsghdr msgs[kBatch];
  for (;;) {
    for (unsigned i = 0; i < kBatch; ++i) {
      iovs[i] = {bufs[i], sizeof bufs[i]};
      msgs[i] = {};
      msgs[i].msg_hdr.msg_name = &peers[i];
      msgs[i].msg_hdr.msg_namelen = sizeof peers[i];
      msgs[i].msg_hdr.msg_iov = &iovs[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
      msgs[i].msg_hdr.msg_control = controls[i];
      msgs[i].msg_hdr.msg_controllen = sizeof controls[i];
    }
    int n = recvmmsg(fd, msgs, kBatch, MSG_WAITFORONE, nullptr);
    if (n < 0) {
      if (errno == EINTR || errno == ENOMEM || errno == ENOBUFS) continue;
      std::fprintf(stderr, "mdl_ceiling: recvmmsg: %s\n", std::strerror(errno));
      return 1;
    }
    int64_t fallback = RealNanos();
    for (int k = 0; k < n; ++k) {
      msghdr& m = msgs[k].msg_hdr;
      int64_t t2 = fallback;
      for (cmsghdr* cm = CMSG_FIRSTHDR(&m); cm; cm = CMSG_NXTHDR(&m, cm)) {
        if (cm->cmsg_level == SOL_SOCKET && cm->cmsg_type == SCM_TIMESTAMPNS) {
          timespec ts;
          std::memcpy(&ts, CMSG_DATA(cm), sizeof ts);
          t2 = static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
        }
      }
      std::span<const uint8_t> request(bufs[k], msgs[k].msg_len);
      // T3 is read last: only building 48 bytes lies between it and sendto.
      auto reply = BuildCeilingNtpReply(request, NtpFromUnixNanos(t2), NtpFromUnixNanos(RealNanos()));
      if (!reply) continue;
      sendto(fd, reply->data(), reply->size(), 0, static_cast<sockaddr*>(m.msg_name), m.msg_namelen);
    }
  }
}

int ServeTcpTime(int port) {
  int fd = Bound(SOCK_STREAM, port);
  if (fd < 0 || listen(fd, SOMAXCONN) != 0) {
    std::fprintf(stderr, "mdl_ceiling: tcp port %d: %s\n", port, std::strerror(errno));
    return 1;
  }
  for (;;) {
    int c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) {
      if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE || errno == ENFILE || errno == ENOBUFS ||
          errno == ENOMEM) {
        if (errno != EINTR && errno != ECONNABORTED) usleep(1000);
        continue;
      }
      std::fprintf(stderr, "mdl_ceiling: accept: %s\n", std::strerror(errno));
      return 1;
    }
    auto answer = TimeProtocolAnswer(RealNanos());
    (void)!write(c, answer.data(), answer.size());
    close(c);
  }
}

}  // namespace
}  // namespace mdl::bench

int main(int argc, char** argv) {
  using namespace mdl::bench;
  char* end = nullptr;
  long port = argc == 4 && std::string_view(argv[2]) == "--port" ? std::strtol(argv[3], &end, 10) : 0;
  if (!end || *end || port < 1 || port > 65535) {
    std::fprintf(stderr, "usage: mdl_ceiling ntp-udp|tcp-time --port P\n");
    return 2;
  }
  struct sigaction sa {};
  sa.sa_handler = OnStop;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  std::string_view mode = argv[1];
  if (mode == "ntp-udp") return ServeNtpUdp(static_cast<int>(port));
  if (mode == "tcp-time") return ServeTcpTime(static_cast<int>(port));
  std::fprintf(stderr, "usage: mdl_ceiling ntp-udp|tcp-time --port P\n");
  return 2;
}
