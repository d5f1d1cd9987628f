// The TCP listener's slot array over real loopback connections.
#include "common/net/tcp_listener.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <chrono>

namespace mdl::net {
namespace {

class NullHandler : public TcpHandler {
 public:
  void OnAccept(TcpSlot&) override { ++accepted; }
  void OnData(TcpSlot&, std::span<const uint8_t>) override {}
  int accepted = 0;
};

int ConnectTo(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  return fd;
}

// Runs the loop until `done` holds or a bounded number of rounds passed.
template <typename F>
void RunUntil(boost::asio::io_context& io, F done) {
  for (int i = 0; i < 400 && !done(); ++i) {
    io.restart();
    io.run_for(std::chrono::milliseconds(5));
  }
}

TEST(TcpListener, SlotsAreReusedLowestFirst) {
  boost::asio::io_context io;
  NullHandler handler;
  TcpListener listener(io, handler);
  ASSERT_FALSE(listener.Listen(boost::asio::ip::address_v4::loopback(), 0));
  const uint16_t port = listener.local_port();
  int a = ConnectTo(port);
  int b = ConnectTo(port);
  RunUntil(io, [&] { return listener.open_count() == 2; });
  ASSERT_EQ(listener.slot_count(), 2u);
  EXPECT_TRUE(listener.slot(1)->IsOpen());
  EXPECT_TRUE(listener.slot(2)->IsOpen());
  ::close(a);
  ::close(b);
  RunUntil(io, [&] { return listener.open_count() == 0; });
  EXPECT_EQ(listener.open_count(), 0u);
  int c = ConnectTo(port);
  RunUntil(io, [&] { return handler.accepted == 3; });
  EXPECT_EQ(listener.slot_count(), 2u) << "a closed slot must be reused, not a new one made";
  EXPECT_TRUE(listener.slot(1)->IsOpen()) << "the lowest free slot comes first";
  EXPECT_FALSE(listener.slot(2)->IsOpen());
  ::close(c);
}

}  // namespace
}  // namespace mdl::net
