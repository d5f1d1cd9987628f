// End-to-end: our server synchronising from chronyd's NTS server through an
// `nts://` list line (certificates made at test time); a CA that does not
// sign chronyd's certificate fails with its reason; replies altered on the
// way by a relay never move the clock.
#include "tests/e2e/altering_relay.h"
#include "tests/e2e/harness.h"

namespace mdl::e2e {
namespace {

// openssl: a CA and chronyd's certificate for 127.0.0.1 and localhost in
// `dir` (ca.pem, server.pem, server.key readable by chronyd's user).
::testing::AssertionResult MakeTestCa(const fs::path& dir) {
  const std::string cmd =
      "cd '" + dir.string() + "' && printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\\n' > ext && " +
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout ca.key -out ca.pem "
      "-days 2 -subj '/CN=Meridel NTS upstream test CA' >openssl.log 2>&1 && "
      "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout server.key -out "
      "server.csr "
      "-subj '/CN=localhost' >>openssl.log 2>&1 && "
      "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 "
      "-extfile ext >>openssl.log 2>&1 && chmod 644 server.key";
  if (std::system(cmd.c_str()) == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "openssl failed: " << ReadFile(dir / "openssl.log");
}

// chronyd -x serving NTS: key exchange on `ke_port`, NTP on 127.0.0.1:ntp_port;
// `ntp_name` is the NTP server its key exchange names (empty: its own).
std::unique_ptr<Process> StartNtsChronyd(const fs::path& d, uint16_t ntp_port, uint16_t ke_port,
                                         const std::string& ntp_name = "") {
  const fs::path conf = d / "chronyd.conf";
  WriteFile(conf, "port " + std::to_string(ntp_port) +
                      "\nbindaddress 127.0.0.1\nlocal stratum 1\nallow 127.0.0.0/8\ncmdport 0\n"
                      "pidfile " +
                      (d / "chronyd.pid").string() + "\ndriftfile " + (d / "chronyd.drift").string() +
                      "\nntsserverkey " + (d / "server.key").string() + "\nntsservercert " +
                      (d / "server.pem").string() + "\nntsport " + std::to_string(ke_port) +
                      "\nntsprocesses 0\n" + (ntp_name.empty() ? "" : "ntsntpserver " + ntp_name + "\n"));
  return std::make_unique<Process>(
      d, "chronyd", std::vector<std::string>{"/usr/sbin/chronyd", "-x", "-d", "-f", conf.string()});
}

// Our server with one `nts://127.0.0.1:ke_port` line, trusting `ca`.
std::unique_ptr<Process> StartServer(const fs::path& dir, uint16_t ke_port, const fs::path& ca) {
  const fs::path home = dir / "home";
  fs::create_directories(home);
  WriteServerHome(home, 123, FreeServicePorts(), "59:Minute/s", "YES",
                  "\"NtsTrustedCertificates\"=\"" + ca.string() + "\"\r\n");
  WriteFile(home / "QOR_MDLS4.MDL",
            "Test upstream list, line 1\nline 2\nline 3\nline 4\nline 5\nnts://127.0.0.1:" +
                std::to_string(ke_port) + ":::Local chronyd NTS - NA:::2:::us\n");
  return std::make_unique<Process>(dir, "server", ServerArgs(home));
}

std::string StatusOf(const fs::path& dir) {
  return RunToEnd(
             dir, "status",
             {(ProgramDir() / "QOR_MDL_Server_SVC").string(), "-status", "--home", (dir / "home").string()},
             10s)
      .out;
}

// The status once it holds `needle` (the server publishes it a moment after
// the fact), or the last one read within 10 s.
std::string StatusWith(const fs::path& dir, const std::string& needle) {
  std::string status;
  for (int i = 0; i < 20; ++i) {
    status = StatusOf(dir);
    if (status.find(needle) != std::string::npos) break;
    std::this_thread::sleep_for(500ms);
  }
  return status;
}

void StopServer(Process& server) {
  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(10s), std::optional<int>(0)) << server.Err();
}

TEST(NtsUpstreamE2eTest, SynchronisesThroughChronydsNtsAndSaysSo) {
  ASSERT_TRUE(HavePeer("/usr/sbin/chronyd", "chrony"));
  TempDir dir("mdl-e2e-ntsup");
  ASSERT_TRUE(MakeTestCa(dir.path()));
  const uint16_t ke_port = FreePort();
  auto chronyd = StartNtsChronyd(dir.path(), FreePort(), ke_port);
  auto server = StartServer(dir.path(), ke_port, dir.path() / "ca.pem");
  ASSERT_TRUE(server->WaitFor(kSynced, 30s)) << server->Err() << "\nchronyd:\n" << chronyd->Err();
  EXPECT_NE(server->Err().find("authenticated by NTS"), std::string::npos) << server->Err();
  const std::string status = StatusWith(dir.path(), "(NTS, ");
  EXPECT_NE(status.find("127.0.0.1 (NTS, 8 cookies)"), std::string::npos)
      << "the reply's cookie replaces the one used" << status;
  EXPECT_NE(status.find("1 key exchanges, 0 failed; 0 replies not authentic"), std::string::npos) << status;
  StopServer(*server);
  chronyd->Signal(SIGTERM);
  EXPECT_TRUE(chronyd->Wait(10s));
}

TEST(NtsUpstreamE2eTest, UntrustedCertificateFailsWithItsReasonAndTheClockStays) {
  ASSERT_TRUE(HavePeer("/usr/sbin/chronyd", "chrony"));
  TempDir dir("mdl-e2e-ntsup-ca");
  TempDir other("mdl-e2e-ntsup-other");
  ASSERT_TRUE(MakeTestCa(dir.path()));
  ASSERT_TRUE(MakeTestCa(other.path()));
  const uint16_t ke_port = FreePort();
  auto chronyd = StartNtsChronyd(dir.path(), FreePort(), ke_port);
  auto server = StartServer(dir.path(), ke_port, other.path() / "ca.pem");
  ASSERT_TRUE(server->WaitFor("NTS key exchange with 127.0.0.1 failed", 30s)) << server->Err();
  EXPECT_NE(server->Err().find("certificate verify failed"), std::string::npos) << server->Err();
  EXPECT_EQ(server->Err().find("synchronised with"), std::string::npos) << "no plain fallback by default";
  const std::string status = StatusWith(dir.path(), "certificate verify failed");
  EXPECT_NE(status.find("Synchronised        : no"), std::string::npos) << status;
  EXPECT_NE(status.find("Last failure reason : NTS key exchange with 127.0.0.1 failed: "), std::string::npos)
      << status;
  EXPECT_NE(status.find("0 key exchanges, 1 failed (last: 127.0.0.1: "), std::string::npos) << status;
  StopServer(*server);
  chronyd->Signal(SIGTERM);
  EXPECT_TRUE(chronyd->Wait(10s));
}

TEST(NtsUpstreamE2eTest, RepliesAlteredOnTheWayNeverMoveTheClock) {
  ASSERT_TRUE(HavePeer("/usr/sbin/chronyd", "chrony"));
  TempDir dir("mdl-e2e-ntsup-relay");
  ASSERT_TRUE(MakeTestCa(dir.path()));
  const uint16_t ke_port = FreePort();
  const uint16_t ntp_port = FreePort();
  // chronyd's key exchange sends its clients to 127.0.0.2, where the relay
  // listens on chronyd's port.
  AlteringRelay relay("127.0.0.2", ntp_port, ntp_port);
  ASSERT_TRUE(relay.ok());
  auto chronyd = StartNtsChronyd(dir.path(), ntp_port, ke_port, "127.0.0.2");
  auto server = StartServer(dir.path(), ke_port, dir.path() / "ca.pem");
  ASSERT_TRUE(server->WaitFor("that NTS does not authenticate", 30s)) << server->Err() << "\nchronyd:\n"
                                                                      << chronyd->Err();
  EXPECT_GE(relay.altered.load(), 1);
  // The query's time-out passes: nothing was used.
  ASSERT_TRUE(server->WaitFor("synchronisation failed: no reply from", 15s)) << server->Err();
  EXPECT_EQ(server->Err().find("synchronised with"), std::string::npos) << server->Err();
  std::string status = StatusWith(dir.path(), "replies not authentic");
  EXPECT_NE(status.find("Synchronised        : no"), std::string::npos) << status;
  EXPECT_EQ(status.find(" 0 replies not authentic"), std::string::npos) << status;

  // The same path left alone: the next attempt synchronises.
  relay.alter = false;
  ASSERT_TRUE(server->WaitFor(kSynced, 45s)) << server->Err();
  status = StatusWith(dir.path(), "(NTS, ");
  EXPECT_NE(status.find("127.0.0.1 (127.0.0.2) (NTS, "), std::string::npos) << status;
  StopServer(*server);
  chronyd->Signal(SIGTERM);
  EXPECT_TRUE(chronyd->Wait(10s));
}

// Our server as the NTS upstream of another of ours: its key exchange, its
// cookies and its authenticated replies as our upstream side reads them.
TEST(NtsUpstreamE2eTest, SynchronisesFromAnotherOfOurServersOverNts) {
  ServerRig upstream;
  ASSERT_TRUE(MakeTestCa(upstream.dir.path()));
  const fs::path d = upstream.dir.path();
  const uint16_t ke_port = FreePort();
  ASSERT_TRUE(upstream.Start("59:Minute/s", "YES",
                             "\"NtsCertificate\"=\"" + (d / "server.pem").string() + "\"\r\n\"NtsKey\"=\"" +
                                 (d / "server.key").string() + "\"\r\n\"NtsKePort\"=\"" +
                                 std::to_string(ke_port) + "\"\r\n"));
  ASSERT_TRUE(upstream.server->WaitFor("NTS key establishment listening on TCP", 5s))
      << upstream.server->Err();

  TempDir dir("mdl-e2e-ntsup-ours");
  auto server = StartServer(dir.path(), ke_port, d / "ca.pem");
  ASSERT_TRUE(server->WaitFor(kSynced, 30s)) << server->Err() << "\nupstream:\n" << upstream.server->Err();
  EXPECT_NE(server->Err().find("authenticated by NTS"), std::string::npos) << server->Err();
  const std::string status = StatusWith(dir.path(), "(NTS, ");
  EXPECT_NE(status.find("Upstream stratum    : 2"), std::string::npos) << status;
  EXPECT_NE(status.find("0 replies not authentic (not used); 0 NAKs"), std::string::npos) << status;
  StopServer(*server);
  EXPECT_TRUE(upstream.StopCleanly());
}

}  // namespace
}  // namespace mdl::e2e
