// Service-manager notices: with NOTIFY_SOCKET set, a build with libsystemd
// sends READY=1, STATUS=... and STOPPING=1 there in order; a build without it
// sends nothing.
#include "server/hosting/notify.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "tests/support/loopback_ask.h"
#include "tests/support/temp_dir.h"

namespace mdl::service {
namespace {

using namespace std::chrono_literals;

std::optional<std::string> Receive(int fd) {
  if (!testing::WaitReadable(fd, 1s)) return std::nullopt;
  char buf[512];
  const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
  if (n < 0) return std::nullopt;
  return std::string(buf, static_cast<size_t>(n));
}

TEST(Notify, NoticesReachTheServiceManagerSocketInOrder) {
  testing::TempDir dir("mdl-notify");
  const std::string path = (dir.path() / "notify").string();
  testing::UniqueFd manager(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof addr.sun_path);
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  ASSERT_EQ(::bind(manager.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0)
      << std::strerror(errno);
  ASSERT_EQ(::setenv("NOTIFY_SOCKET", path.c_str(), 1), 0);

  NotifyReady();
  NotifyStatus("serving\non 5 ports");
  NotifyStopping();
  ::unsetenv("NOTIFY_SOCKET");

  if (!NotifySupported()) {
    EXPECT_FALSE(testing::WaitReadable(manager.get(), 200ms)) << "a build without libsystemd sent a notice";
    return;
  }
  EXPECT_EQ(Receive(manager.get()), "READY=1");
  EXPECT_EQ(Receive(manager.get()), "STATUS=serving on 5 ports");
  EXPECT_EQ(Receive(manager.get()), "STOPPING=1");
}

TEST(Notify, WatchdogPingsAtAQuarterOfTheManagersInterval) {
  testing::TempDir dir("mdl-watchdog");
  const std::string path = (dir.path() / "notify").string();
  testing::UniqueFd manager(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  ASSERT_EQ(::bind(manager.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0)
      << std::strerror(errno);
  ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
  ::setenv("WATCHDOG_USEC", "400000", 1);
  WatchdogPinger pinger;
  // A watchdog meant for another process is none of ours.
  ::setenv("WATCHDOG_PID", "1", 1);
  const bool other_enabled = WatchdogPinger().enabled();
  ::unsetenv("WATCHDOG_PID");
  if (!NotifySupported()) {
    EXPECT_FALSE(pinger.enabled());
    ::unsetenv("NOTIFY_SOCKET");
    ::unsetenv("WATCHDOG_USEC");
    return;
  }
  EXPECT_FALSE(other_enabled);
  ASSERT_TRUE(pinger.enabled());
  EXPECT_EQ(pinger.interval(), std::chrono::microseconds(400000));
  pinger.Beat();
  pinger.Beat();  // within the quarter: no second ping
  EXPECT_EQ(Receive(manager.get()), "WATCHDOG=1");
  EXPECT_FALSE(testing::WaitReadable(manager.get(), 50ms));
  std::this_thread::sleep_for(120ms);  // past a quarter of 400 ms
  pinger.Beat();
  EXPECT_EQ(Receive(manager.get()), "WATCHDOG=1");
  ::unsetenv("NOTIFY_SOCKET");
  ::unsetenv("WATCHDOG_USEC");
}

}  // namespace
}  // namespace mdl::service
