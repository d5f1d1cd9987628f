// End-to-end: the server keeps serving while its upstream is gone, backs off
// between failed attempts, and synchronises again when the upstream returns.

#include <regex>

#include "tests/e2e/harness.h"

namespace mdl::e2e {
namespace {

std::vector<int> RetryDelays(const std::string& log) {
  static const std::regex kRetry(R"(synchronisation failed: .*; next attempt in ([0-9]+) s)");
  std::vector<int> delays;
  for (std::sregex_iterator it(log.begin(), log.end(), kRetry), end; it != end; ++it)
    delays.push_back(std::stoi((*it)[1]));
  return delays;
}

// Stops the upstream right after the first synchronisation, checks the failures
// and the service during the outage, then restarts the upstream on the same port.
// The interval (2 s) is below the 5 s reply time-out and far below the 16 s
// floor between upstream queries: failures must still be seen, and attempts
// must keep the floor.
TEST(UpstreamLossTest, BacksOffWithinTheQueryFloorAndResynchronises) {
  ServerRig rig;
  ASSERT_TRUE(rig.Start("2:Second/s"));

  rig.upstream->process().Signal(SIGTERM);
  ASSERT_EQ(rig.upstream->process().Wait(5s), std::optional<int>(0)) << "chronyd did not stop on SIGTERM";

  EXPECT_TRUE(rig.server->WaitFor("synchronisation failed", 45s, 2))
      << "fewer than two failed attempts reported within 45 s of losing the upstream:\n"
      << rig.server->Err();
  const std::vector<int> delays = RetryDelays(rig.server->Err());
  ASSERT_GE(delays.size(), 2u) << rig.server->Err();
  // The query left at most 16 s after the previous one; its reply time-out took 5 s.
  EXPECT_GE(delays[0], 10) << "next attempt sooner than the 16 s floor allows:\n" << rig.server->Err();
  // While the floor governs, the delay told is the rest of the floor in whole
  // seconds, which can come out one lower than the time before.
  for (size_t i = 1; i < delays.size(); ++i)
    EXPECT_GE(delays[i] + 1, delays[i - 1]) << "back-off delay fell at failure " << i << ":\n" << rig.server->Err();

  // Still serving the corrected time without its upstream.
  auto reply = UdpAskText(rig.ports.ntp, NtpPacket(3), 2s);
  ASSERT_TRUE(reply.has_value() && reply->size() >= 48) << "no NTP answer while the upstream is gone";
  EXPECT_NEAR(NtpTransmitUnix(*reply), UnixNow(), 0.01) << "NTP time went wrong while the upstream is gone";
  EXPECT_EQ((*reply)[1], 2) << "stratum changed while the upstream is gone";

  const size_t synced_before = CountOf(rig.server->Err(), "synchronised with 127.0.0.1");
  rig.upstream->Start();
  ASSERT_TRUE(rig.upstream->WaitServing(10s)) << "restarted chronyd does not serve:\n"
                                              << rig.upstream->process().Err();
  EXPECT_TRUE(rig.server->WaitFor("synchronised with 127.0.0.1", 45s, synced_before + 1))
      << "no new synchronisation within 45 s of the upstream's return:\n"
      << rig.server->Err();
  EXPECT_TRUE(rig.StopCleanly());
}

}  // namespace
}  // namespace mdl::e2e
