// End-to-end: thousands of abandoned TCP connections neither stop the server
// from answering nor leak its descriptors.
#include "tests/e2e/harness.h"

namespace mdl::e2e {
namespace {

TEST(RobustnessTest, AbandonedConnectionsAreReapedAndServiceContinues) {
  ServerRig rig;
  // Every connection comes from 127.0.0.1: the per-address cap is off here.
  ASSERT_TRUE(rig.Start("59:Minute/s", "YES", "\"TcpIdleTimeout\"=\"2\"\r\n\"TcpMaxPerAddress\"=\"0\"\r\n"));
  const pid_t pid = rig.server->pid();
  auto answered = UdpAskText(rig.ports.mdl, MdlRequest(), 2s);
  ASSERT_TRUE(answered.has_value() && answered->rfind("MDLS", 0) == 0) << "private protocol does not answer";
  // The request log's file opens with the first line, written after the reply has left.
  std::this_thread::sleep_for(500ms);
  const size_t idle_fds = OpenFdCount(pid);
  ASSERT_GT(idle_fds, 0u) << "cannot read /proc/" << pid << "/fd";

  constexpr int kRounds = 30, kPerRound = 100;
  std::vector<UniqueFd> held;
  for (int round = 0; round < kRounds; ++round) {
    for (int i = 0; i < kPerRound; ++i) {
      UniqueFd c = TcpConnect(rig.ports.mdl);
      ASSERT_TRUE(c.valid()) << "connection " << round * kPerRound + i << " refused";
      if (i % 2 == 0) held.push_back(std::move(c));  // the odd ones close at once, unused
    }
    auto reply = TcpAskText(rig.ports.mdl, MdlRequest(), 3s, 24);
    ASSERT_TRUE(reply && reply->data.size() == 24) << "another client got no answer in round " << round;
    EXPECT_EQ(reply->data.substr(0, 4), "MDLS") << "bad answer in round " << round;
    if (held.size() >= 500) held.erase(held.begin(), held.begin() + 250);
  }
  // Connections still held by the test must be closed by the server's idle time-out.
  std::this_thread::sleep_for(3500ms);
  size_t closed_by_server = 0;
  for (UniqueFd& c : held) {
    char b;
    if (WaitReadable(c.get(), 0ms) && ::recv(c.get(), &b, 1, MSG_DONTWAIT) <= 0) ++closed_by_server;
  }
  EXPECT_EQ(closed_by_server, held.size())
      << "idle connections left open by the server after its 2 s time-out";
  held.clear();
  size_t fds = 0;
  for (auto end = Clock::now() + 5s; Clock::now() < end; std::this_thread::sleep_for(100ms)) {
    fds = OpenFdCount(pid);
    if (fds <= idle_fds) break;
  }
  EXPECT_LE(fds, idle_fds) << "server holds " << fds << " descriptors after the flood, " << idle_fds
                           << " when idle";
  auto after = UdpAskText(rig.ports.mdl, MdlRequest(), 2s);
  EXPECT_TRUE(after.has_value()) << "no answer after the flood";
  EXPECT_TRUE(rig.StopCleanly());
}

}  // namespace
}  // namespace mdl::e2e
