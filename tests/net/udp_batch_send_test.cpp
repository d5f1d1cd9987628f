// Batched stamped replies over loopback: one call per batch, every reply
// delivered in order, each stamp taken from the send timing the socket
// learns from the kernel's transmit stamps.
#include "common/net/udp_socket.h"

#include "common/clock/system_clock.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <chrono>
#include <cstring>
#include <vector>

namespace mdl::net {
namespace {

class Echo : public UdpReceiver {
 public:
  void OnDatagram(const Datagram& d) override {
    std::vector<uint8_t> reply(d.data.begin(), d.data.end());
    d.socket->SendTo(reply, d.from, /*stamp=*/true);
    ++seen;
  }
  void OnBatchEnd() override { ++batches; }
  int seen = 0;
  int batches = 0;
};

int64_t Stamp(const uint8_t* p) {
  int64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

TEST(UdpBatchSend, StampedRepliesOfABatchLeaveTogetherInOrderWithLearntTimes) {
  boost::asio::io_context io;
  SystemClock clock;  // its stamps are the kernel's own
  UdpSocket server(io, clock);
  ASSERT_FALSE(server.Bind(boost::asio::ip::make_address("127.0.0.1"), 0));
  server.SetStamper([](std::span<uint8_t> b, UtcTime leaves) {
    const int64_t leaves_ns = NsSinceUnixEpoch(leaves);
    if (b.size() >= 16) std::memcpy(b.data() + 8, &leaves_ns, sizeof leaves_ns);
  });
  Echo echo;
  server.Start(&echo);

  int client = ::socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(client, 0);
  int one = 1;
  ::setsockopt(client, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
  timeval tv{2, 0};
  ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(server.local_port());
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

  constexpr int kRounds = 40;
  constexpr int kPerRound = 24;
  int64_t worst = 0;
  for (int round = 0; round < kRounds; ++round) {
    // All of a round is queued before the loop reads: one batch.
    for (int i = 0; i < kPerRound; ++i) {
      uint8_t req[16] = {};
      std::memcpy(req, &i, sizeof i);
      ASSERT_EQ(::sendto(client, req, sizeof req, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 16);
    }
    io.restart();
    while (echo.seen < (round + 1) * kPerRound && io.run_one_for(std::chrono::seconds(2))) {
    }
    int64_t previous = 0;
    for (int i = 0; i < kPerRound; ++i) {
      uint8_t buf[64];
      alignas(cmsghdr) char control[128];
      iovec iov{buf, sizeof buf};
      msghdr h{};
      h.msg_iov = &iov;
      h.msg_iovlen = 1;
      h.msg_control = control;
      h.msg_controllen = sizeof control;
      ASSERT_EQ(::recvmsg(client, &h, 0), 16) << "round " << round << " reply " << i;
      int index;
      std::memcpy(&index, buf, sizeof index);
      EXPECT_EQ(index, i) << "replies leave in the order of their requests";
      int64_t arrival = 0;
      for (cmsghdr* c = CMSG_FIRSTHDR(&h); c; c = CMSG_NXTHDR(&h, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
          timespec ts;
          std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
          arrival = int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
        }
      }
      const int64_t leaves = Stamp(buf + 8);
      EXPECT_GE(leaves, previous) << "later places in a call leave later";
      previous = leaves;
      ASSERT_GT(arrival, 0);
      const int64_t error = leaves > arrival ? leaves - arrival : arrival - leaves;
      if (round >= kRounds / 2 && error > worst) worst = error;
    }
  }
  ::close(client);
  EXPECT_LE(echo.batches, kRounds * 2) << "each round is read and answered as one batch or two";
  const SendTiming& t = server.send_timing();
  EXPECT_GT(t.lead_samples, 0u) << "the kernel's transmit stamps of loopback teach the lead";
  EXPECT_GT(t.step_samples, 0u);
  EXPECT_GT(t.step_ns, 0);
  // Not a speed figure: a stamp from the wrong clock or scale is seconds off.
  EXPECT_LT(worst, 50'000'000) << "a stamp far from when its datagram left";
  EXPECT_EQ(server.send_errors(), 0u);
}

// Sends `n` 16-byte requests to `port` and reads their echoes; the count read.
int Exchange(boost::asio::io_context& io, Echo& echo, int client, uint16_t port, int n) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int want = echo.seen + n;
  for (int i = 0; i < n; ++i) {
    uint8_t req[16] = {};
    if (::sendto(client, req, sizeof req, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) != 16) return -1;
  }
  io.restart();
  while (echo.seen < want && io.run_one_for(std::chrono::seconds(2))) {
  }
  int got = 0;
  for (int i = 0; i < n; ++i) {
    uint8_t buf[64];
    if (::recv(client, buf, sizeof buf, 0) != 16) break;
    ++got;
  }
  return got;
}

TEST(UdpBatchSend, BurstsAndSinglesAreAnsweredAfterEitherKindOfWaitAndAcrossAReopen) {
  // After a burst the socket waits with a peeking receive, after a single
  // datagram with a plain wait; neither may lose, repeat or hold back one.
  boost::asio::io_context io;
  SystemClock clock;
  UdpSocket server(io, clock);
  ASSERT_FALSE(server.Bind(boost::asio::ip::make_address("127.0.0.1"), 0));
  Echo echo;
  server.Start(&echo);
  int client = ::socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(client, 0);
  timeval tv{2, 0};
  ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);

  const int sizes[] = {1, 20, 20, 1, 1, 30, 1, 12, 1};
  int sent = 0;
  for (int n : sizes) {
    EXPECT_EQ(Exchange(io, echo, client, server.local_port(), n), n) << "a round of " << n;
    sent += n;
  }
  EXPECT_EQ(echo.seen, sent) << "each datagram handled once";

  // Closed while a wait is pending: its completion must not touch the socket;
  // reopened, it answers again.
  ASSERT_EQ(Exchange(io, echo, client, server.local_port(), 20), 20);
  sent += 20;
  server.Close();
  io.restart();
  io.poll();
  ASSERT_FALSE(server.Bind(boost::asio::ip::make_address("127.0.0.1"), 0));
  server.Start(&echo);
  EXPECT_EQ(Exchange(io, echo, client, server.local_port(), 1), 1);
  EXPECT_EQ(Exchange(io, echo, client, server.local_port(), 25), 25);
  EXPECT_EQ(echo.seen, sent + 26);

  // Paused with a wait pending: nothing is answered until it continues.
  server.SetPaused(true);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(server.local_port());
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  uint8_t req[16] = {};
  ASSERT_EQ(::sendto(client, req, sizeof req, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 16);
  io.restart();
  io.run_for(std::chrono::milliseconds(50));
  EXPECT_EQ(echo.seen, sent + 26) << "answered while paused";
  server.SetPaused(false);
  io.restart();
  while (echo.seen < sent + 27 && io.run_one_for(std::chrono::seconds(2))) {
  }
  EXPECT_EQ(echo.seen, sent + 27);
  ::close(client);
  EXPECT_EQ(server.send_errors(), 0u);
}

}  // namespace
}  // namespace mdl::net
