// Tests of mdl_path_relay as a process: delays per direction, order, replies
// routed back by their originate stamp, drops, and its own end.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using Packet = std::array<uint8_t, 48>;

int Udp() {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  return fd;
}

uint16_t PortOf(int fd) {
  sockaddr_in a{};
  socklen_t n = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
  return ntohs(a.sin_port);
}

void SendTo(int fd, const Packet& p, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  sendto(fd, p.data(), p.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
}

// A datagram within `ms`, with the port it came from.
std::optional<std::pair<Packet, uint16_t>> Receive(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, ms) != 1) return std::nullopt;
  Packet out{};
  sockaddr_in from{};
  socklen_t n = sizeof from;
  if (recvfrom(fd, out.data(), out.size(), 0, reinterpret_cast<sockaddr*>(&from), &n) < 0)
    return std::nullopt;
  return std::pair{out, ntohs(from.sin_port)};
}

// A request with transmit stamp `id`, or a reply with originate stamp `id`.
Packet Request(uint8_t id) {
  Packet p{};
  p[0] = 0x23;
  p[47] = id;
  return p;
}
Packet Reply(uint8_t id) {
  Packet p{};
  p[0] = 0x24;
  p[31] = id;
  return p;
}

double MsSince(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

class Relay {
 public:
  Relay(std::vector<std::string> args) {
    out_ = "/tmp/mdl-relay-test-" + std::to_string(getpid()) + ".out";
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    args.insert(args.begin(), MDL_PATH_RELAY);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, MDL_PATH_RELAY, &fa, nullptr, argv.data(), environ) != 0) pid_ = 0;
    posix_spawn_file_actions_destroy(&fa);
  }
  ~Relay() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    unlink(out_.c_str());
  }
  // Exit status once it ends within `seconds`.
  std::optional<int> Wait(double seconds) {
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (pid_ > 0 && Clock::now() < end) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = 0;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return std::nullopt;
  }
  std::string Output() const {
    std::ifstream f(out_);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }
  bool started() const { return pid_ > 0; }

 private:
  pid_t pid_ = 0;
  std::string out_;
};

uint16_t FreePort() {
  int fd = Udp();
  uint16_t port = PortOf(fd);
  close(fd);
  return port;
}

// Whether a UDP socket is bound to 127.0.0.1:port within `seconds` (read from
// /proc/net/udp, so as not to take the port away from the relay).
bool WaitListening(uint16_t port, double seconds) {
  char want[32];
  std::snprintf(want, sizeof want, "0100007F:%04X", port);
  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < end) {
    std::ifstream f("/proc/net/udp");
    std::string line;
    while (std::getline(f, line))
      if (line.find(want) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST(PathRelay, DelaysEachWayKeepsOrderAndRoutesRepliesByStamp) {
  int server = Udp(), a = Udp(), b = Udp();
  const uint16_t listen = FreePort();
  Relay relay({"--listen", std::to_string(listen), "--server", std::to_string(PortOf(server)), "--profile",
               "asymmetric", "--seed", "5", "--seconds", "3"});
  ASSERT_TRUE(relay.started());
  ASSERT_TRUE(WaitListening(listen, 5)) << "the relay does not listen on " << listen;

  // Ten requests back to back from one client, one from another: they arrive
  // 12 ms or more later and in the order sent, although each draws its own
  // queueing delay.
  const auto sent = Clock::now();
  for (uint8_t id = 1; id <= 10; ++id) SendTo(a, Request(id), listen);
  SendTo(b, Request(11), listen);
  std::vector<int> order;
  double first_ms = 0;
  uint16_t relay_side = 0;
  for (int i = 0; i < 11; ++i) {
    auto got = Receive(server, 1000);
    ASSERT_TRUE(got) << "request " << i + 1 << " not relayed";
    if (i == 0) first_ms = MsSince(sent);
    order.push_back(got->first[47]);
    relay_side = got->second;
  }
  EXPECT_GE(first_ms, 12.0);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));

  // A short datagram is not relayed.
  const std::array<uint8_t, 8> shorty{};
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(listen);
  sendto(a, shorty.data(), shorty.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  EXPECT_FALSE(Receive(server, 100));

  // Replies go to the client whose request carried the stamp, over the short
  // way (8 ms); an unknown stamp goes nowhere.
  const auto replied = Clock::now();
  SendTo(server, Reply(11), relay_side);
  SendTo(server, Reply(3), relay_side);
  SendTo(server, Reply(99), relay_side);
  auto to_b = Receive(b, 1000);
  const double back_ms = MsSince(replied);
  ASSERT_TRUE(to_b);
  EXPECT_EQ(to_b->first[31], 11);
  EXPECT_EQ(to_b->second, listen);
  EXPECT_GE(back_ms, 8.0);
  EXPECT_LT(back_ms, first_ms) << "the way back is the shorter one";
  auto to_a = Receive(a, 1000);
  ASSERT_TRUE(to_a);
  EXPECT_EQ(to_a->first[31], 3);
  EXPECT_FALSE(Receive(a, 100));
  EXPECT_FALSE(Receive(b, 10));

  // It ends by itself after --seconds and counts what it did.
  EXPECT_EQ(relay.Wait(10), 0);
  const std::string out = relay.Output();
  EXPECT_NE(out.find("out=11 back=2 dropped=0 unmatched=1"), std::string::npos) << out;
  close(server);
  close(a);
  close(b);
}

TEST(PathRelay, RefusesBadArguments) {
  for (const std::vector<std::string>& args : {
           std::vector<std::string>{"--listen", "5000", "--server", "5001", "--profile", "wan"},
           std::vector<std::string>{"--listen", "0", "--server", "5001", "--profile", "lan"},
           std::vector<std::string>{"--listen", "5000", "--server", "5001", "--profile", "lan", "--seconds",
                                    "-1"},
           std::vector<std::string>{"--listen", "5000", "--server", "5001", "--profile"},
       }) {
    Relay relay(args);
    ASSERT_TRUE(relay.started());
    EXPECT_EQ(relay.Wait(5), 2) << args[args.size() - 1];
  }
}

}  // namespace
