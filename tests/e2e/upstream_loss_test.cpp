// End-to-end: the wiring of an upstream that is not there. The server reports
// a failed attempt with the delay before the next, keeps the floor between
// upstream queries, and serves on once synchronised. The back-off, the floor and the
// synchronisation once the upstream answers again are proven on the frozen
// clock over loopback sockets (SyncTest.UnansweredQueryTimesOutAndIsRetriedAfterADoublingDelay,
// SyncPaceTest.TinyIntervalsQueryAtMostEvery16Seconds, RetryBackoff.DoublesUpTo64SecondsUntilReset);
// waiting for them here took most of a minute.

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

// The listed upstream's port has no server: the first query is refused (or
// times out) right after the start. The interval (2 s) is far below the 16 s
// floor between upstream queries, which the reported delay must keep. The
// program runs on and stops cleanly.
TEST(UpstreamLossTest, ReportsTheFailedAttemptWithinTheQueryFloor) {
  ASSERT_TRUE(HavePeer("/usr/bin/setpriv", "util-linux"));
  ASSERT_TRUE(fs::exists(ProgramDir() / "QOR_MDL_Server_SVC"))
      << "no server program in MDL_BIN=" << ProgramDir();
  TempDir dir("mdl-upstream-loss");
  const fs::path home = dir.path() / "home";
  fs::create_directories(home);
  const uint16_t silent = FreePort();
  const ServicePorts ports = FreeServicePorts();
  WriteServerHome(home, silent, ports, "2:Second/s");
  Process server(dir.path(), "server", ServerArgs(home));

  ASSERT_TRUE(server.WaitFor("synchronisation failed", 8s)) << "no failed attempt reported:\n"
                                                            << server.Err();
  const std::vector<int> delays = RetryDelays(server.Err());
  ASSERT_EQ(delays.size(), 1u) << server.Err();
  // The next query leaves at most 16 s after this one; its reply time-out took up to 5 s.
  EXPECT_GE(delays[0], 10) << "next attempt sooner than the 16 s floor allows:\n" << server.Err();
  EXPECT_LE(delays[0], 16) << server.Err();
  EXPECT_EQ(CountOf(server.Err(), "synchronised with "), 0u) << server.Err();

  EXPECT_TRUE(server.Running());

  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(10s), std::optional<int>(0)) << server.Err();
}

// Synchronised once, then the upstream stops: the server goes on serving the
// corrected time with the stratum it had.
TEST(UpstreamLossTest, ServesTheCorrectedTimeWithoutItsUpstream) {
  ServerRig rig;
  ASSERT_TRUE(rig.Start("2:Second/s"));
  rig.upstream->process().Signal(SIGTERM);
  ASSERT_EQ(rig.upstream->process().Wait(5s), std::optional<int>(0)) << "chronyd did not stop on SIGTERM";

  auto reply = UdpAskText(rig.ports.ntp, NtpPacket(3), 2s);
  ASSERT_TRUE(reply.has_value() && reply->size() >= 48) << "no NTP answer while the upstream is gone";
  EXPECT_NEAR(NtpTransmitUnix(*reply), UnixNow(), 0.01) << "NTP time went wrong while the upstream is gone";
  EXPECT_EQ((*reply)[1], 2) << "stratum changed while the upstream is gone";
  auto daytime = TcpAskText(rig.ports.daytime, "", 2s);
  EXPECT_TRUE(daytime.has_value() && !daytime->data.empty())
      << "no Daytime answer while the upstream is gone";
  EXPECT_TRUE(rig.StopCleanly());
}

}  // namespace
}  // namespace mdl::e2e
