// A UDP relay on 127.0.0.1 that delays NTP traffic like a network path, for
// bench/accuracy: datagrams from one client to --listen go on to --server
// after the profile's one-way delay, replies come back the same way. Each
// direction is a FIFO (a later packet never overtakes an earlier one). Ends
// after --seconds or at SIGTERM/SIGINT and prints its packet counts.
//
//   mdl_path_relay --listen PORT --server PORT --profile NAME --seed N --seconds S
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <string>
#include <vector>

#include "bench/path_model.h"

namespace {

using mdl::bench::DelayModel;
using mdl::bench::PathDir;

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

constexpr size_t kMaxDatagram = 2048;
constexpr size_t kMaxQueued = 1024;  // per direction; beyond it packets are dropped
constexpr size_t kClientMemory = 64;

int64_t Now(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

struct Pending {
  int64_t due_ns;  // CLOCK_MONOTONIC
  std::vector<uint8_t> bytes;
  sockaddr_in to;
};

// The client address a request came from, by its transmit stamp, which the
// reply carries back as its originate stamp (clients may change ports).
struct SeenRequest {
  std::array<uint8_t, 8> stamp{};
  sockaddr_in from{};
};

int BoundSocket(uint16_t port) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// One datagram; its arrival on the monotonic clock from the kernel's stamp.
bool Receive(int fd, std::vector<uint8_t>& out, sockaddr_in& from, int64_t& arrived_mono) {
  out.resize(kMaxDatagram);
  std::array<char, 256> control{};
  iovec iov{out.data(), out.size()};
  msghdr msg{};
  msg.msg_name = &from;
  msg.msg_namelen = sizeof from;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control.data();
  msg.msg_controllen = control.size();
  ssize_t n = recvmsg(fd, &msg, 0);
  if (n < 0) return false;
  out.resize(static_cast<size_t>(n));
  const int64_t mono = Now(CLOCK_MONOTONIC);
  arrived_mono = mono;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
      timespec ts{};
      std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
      const int64_t age = Now(CLOCK_REALTIME) - (int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec);
      if (age >= 0 && age < 100000000) arrived_mono = mono - age;
    }
  }
  return true;
}

bool ParsePort(const char* text, uint16_t& port) {
  char* end = nullptr;
  long v = std::strtol(text, &end, 10);
  if (*end != '\0' || v < 1 || v > 65535) return false;
  port = static_cast<uint16_t>(v);
  return true;
}

int Usage() {
  std::fprintf(stderr,
               "usage: mdl_path_relay --listen PORT --server PORT --profile lan|internet|congested|asymmetric"
               " [--seed N] [--seconds S]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  uint16_t listen_port = 0, server_port = 0;
  std::string profile_name;
  uint64_t seed = 1;
  double seconds = 60;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string k = argv[i];
    const char* v = argv[i + 1];
    if (k == "--listen" && ParsePort(v, listen_port)) continue;
    if (k == "--server" && ParsePort(v, server_port)) continue;
    if (k == "--profile") {
      profile_name = v;
      continue;
    }
    if (k == "--seed") {
      seed = std::strtoull(v, nullptr, 10);
      continue;
    }
    if (k == "--seconds") {
      seconds = std::strtod(v, nullptr);
      if (seconds > 0 && seconds <= 86400) continue;
    }
    return Usage();
  }
  const auto profile = mdl::bench::NamedProfile(profile_name);
  if (argc % 2 == 0 || !listen_port || !server_port || !profile) return Usage();

  prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);  // wake on time to the microsecond
  std::signal(SIGTERM, OnSignal);
  std::signal(SIGINT, OnSignal);
  const int client_fd = BoundSocket(listen_port);
  const int server_fd = BoundSocket(0);
  if (client_fd < 0 || server_fd < 0) {
    std::perror("mdl_path_relay: socket");
    return 1;
  }
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  server.sin_port = htons(server_port);

  DelayModel model(*profile, seed);
  std::deque<Pending> queue[2];
  std::array<SeenRequest, kClientMemory> seen{};
  size_t seen_next = 0;
  uint64_t forwarded[2] = {0, 0}, dropped = 0, unmatched = 0;
  double delay_sum_ms[2] = {0, 0};
  uint64_t enqueued[2] = {0, 0};

  const int64_t start = Now(CLOCK_MONOTONIC);
  const int64_t end = start + static_cast<int64_t>(seconds * 1e9);
  std::vector<uint8_t> buf;
  while (!g_stop) {
    int64_t now = Now(CLOCK_MONOTONIC);
    if (now >= end) break;
    // Send what is due.
    for (int d = 0; d < 2; ++d) {
      while (!queue[d].empty() && queue[d].front().due_ns <= now) {
        Pending& p = queue[d].front();
        const int fd = d == 0 ? server_fd : client_fd;
        if (sendto(fd, p.bytes.data(), p.bytes.size(), 0, reinterpret_cast<sockaddr*>(&p.to), sizeof p.to) >=
            0)
          ++forwarded[d];
        queue[d].pop_front();
      }
    }
    int64_t wake = end;
    for (auto& q : queue)
      if (!q.empty() && q.front().due_ns < wake) wake = q.front().due_ns;
    now = Now(CLOCK_MONOTONIC);
    const int64_t wait = wake > now ? wake - now : 0;
    timespec ts{static_cast<time_t>(wait / 1000000000), static_cast<long>(wait % 1000000000)};
    pollfd fds[2] = {{client_fd, POLLIN, 0}, {server_fd, POLLIN, 0}};
    const int ready = ppoll(fds, 2, &ts, nullptr);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    for (int d = 0; d < 2; ++d) {
      if (!(fds[d].revents & POLLIN)) continue;
      sockaddr_in from{};
      int64_t arrived = 0;
      // A bounded batch per wake-up keeps the sender side on time.
      for (int n = 0; n < 64 && Receive(fds[d].fd, buf, from, arrived); ++n) {
        if (buf.size() < 48) continue;
        Pending p;
        if (d == 0) {
          auto& s = seen[seen_next++ % kClientMemory];
          std::memcpy(s.stamp.data(), buf.data() + 40, 8);
          s.from = from;
          p.to = server;
        } else {
          if (from.sin_port != server.sin_port) continue;
          bool found = false;
          for (const auto& s : seen) {
            if (s.from.sin_port != 0 && std::memcmp(s.stamp.data(), buf.data() + 24, 8) == 0) {
              p.to = s.from;
              found = true;
            }
          }
          if (!found) {
            ++unmatched;
            continue;
          }
        }
        if (queue[d].size() >= kMaxQueued) {
          ++dropped;
          continue;
        }
        const PathDir dir = d == 0 ? PathDir::kOut : PathDir::kBack;
        const double ms = model.DelayMs(dir, static_cast<double>(arrived - start) / 1e9);
        delay_sum_ms[d] += ms;
        ++enqueued[d];
        int64_t due = arrived + static_cast<int64_t>(ms * 1e6);
        if (!queue[d].empty() && queue[d].back().due_ns > due) due = queue[d].back().due_ns;
        p.due_ns = due;
        p.bytes = buf;
        queue[d].push_back(std::move(p));
      }
    }
  }
  close(client_fd);
  close(server_fd);
  const double elapsed = static_cast<double>(Now(CLOCK_MONOTONIC) - start) / 1e9;
  std::printf(
      "seconds=%.1f out=%llu back=%llu dropped=%llu unmatched=%llu mean_out_ms=%.3f mean_back_ms=%.3f\n",
      elapsed, static_cast<unsigned long long>(forwarded[0]), static_cast<unsigned long long>(forwarded[1]),
      static_cast<unsigned long long>(dropped), static_cast<unsigned long long>(unmatched),
      enqueued[0] ? delay_sum_ms[0] / enqueued[0] : 0.0, enqueued[1] ? delay_sum_ms[1] / enqueued[1] : 0.0);
  return 0;
}
