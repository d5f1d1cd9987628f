// End-to-end NTS key establishment with chronyd as the peer: our client
// against chronyd's key establishment server (keys proven by an
// authenticated NTP exchange with chronyd), and chronyd as a client of our
// server program.
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <cmath>
#include <random>
#include <regex>

#include "common/nts/ke_client.h"
#include "common/nts/ntp_auth.h"
#include "tests/e2e/altering_relay.h"
#include "tests/e2e/harness.h"

namespace mdl::e2e {
namespace {

// openssl: a CA and a server certificate for 127.0.0.1 in `dir` (ca.pem,
// server.pem, server.key readable by chronyd's unprivileged user).
::testing::AssertionResult MakeCertificates(const fs::path& dir) {
  const std::string cmd =
      "cd '" + dir.string() + "' && printf 'subjectAltName=IP:127.0.0.1\\n' > ext && " +
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout ca.key -out ca.pem "
      "-days 2 -subj '/CN=Meridel NTS test CA' >openssl.log 2>&1 && "
      "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout server.key -out "
      "server.csr "
      "-subj '/CN=nts test server' >>openssl.log 2>&1 && "
      "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 "
      "-extfile ext >>openssl.log 2>&1 && chmod 644 server.key";
  if (std::system(cmd.c_str()) == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "openssl failed: " << ReadFile(dir / "openssl.log");
}

nts::KeOutcome Exchange(uint16_t port, const fs::path& ca) {
  boost::asio::io_context io;
  nts::KeOutcome got;
  got.error = "no outcome";
  nts::AsyncKeExchange(io, "127.0.0.1", port, nts::KeTrust{ca.string(), false}, 3000ms,
                       [&got](nts::KeOutcome o) { got = std::move(o); });
  io.run_for(10s);
  return got;
}

TEST(NtsKeE2eTest, OurClientGetsWorkingKeysFromChronyd) {
  ASSERT_TRUE(HavePeer("/usr/sbin/chronyd", "chrony"));
  TempDir dir("mdl-e2e-ntske");
  ASSERT_TRUE(MakeCertificates(dir.path()));
  const uint16_t ntp_port = FreePort();
  const uint16_t ke_port = FreePort();
  const fs::path d = dir.path();
  const fs::path conf = d / "chronyd.conf";
  WriteFile(conf, "port " + std::to_string(ntp_port) +
                      "\nbindaddress 127.0.0.1\nlocal stratum 1\nallow 127.0.0.1\ncmdport 0\n"
                      "pidfile " +
                      (d / "chronyd.pid").string() + "\ndriftfile " + (d / "chronyd.drift").string() +
                      "\nntsserverkey " + (d / "server.key").string() + "\nntsservercert " +
                      (d / "server.pem").string() + "\nntsport " + std::to_string(ke_port) +
                      "\nntsprocesses 0\n");
  Process chronyd(d, "chronyd", {"/usr/sbin/chronyd", "-x", "-d", "-f", conf.string()});

  // Until chronyd listens (a bounded number of tries).
  nts::KeOutcome out;
  for (int i = 0; i < 50 && !out.ok && chronyd.Running(); ++i) {
    out = Exchange(ke_port, d / "ca.pem");
    if (!out.ok) std::this_thread::sleep_for(100ms);
  }
  ASSERT_TRUE(out.ok) << out.error << "\nchronyd:\n" << chronyd.Err();
  EXPECT_EQ(out.cookies.size(), 8u);
  EXPECT_EQ(out.ntp_server, "127.0.0.1");
  EXPECT_EQ(out.ntp_port, ntp_port) << "chronyd names its NTP port";
  EXPECT_EQ(out.keys.c2s.size(), nts::AeadKeyLength(out.keys.aead));

  // The exported keys are the ones chronyd derived: it opens our request and
  // its reply authenticates under our server-to-client key.
  std::array<uint8_t, 48> header{};
  header[0] = 0x23;
  std::mt19937_64 random(std::random_device{}());
  for (size_t i = 40; i < 48; ++i) header[i] = static_cast<uint8_t>(random());
  std::vector<uint8_t> unique_id(32);
  for (uint8_t& b : unique_id) b = static_cast<uint8_t>(random());
  const std::vector<uint8_t> request = nts::BuildNtsRequest(header, unique_id, out.cookies[0], 1, out.keys);
  ASSERT_FALSE(request.empty());
  const std::optional<testing::Bytes> reply = testing::UdpAsk(ntp_port, request, 2000ms);
  ASSERT_TRUE(reply) << "chronyd did not answer the authenticated request";
  const std::optional<nts::NtsReply> verified = nts::VerifyNtsReply(*reply, unique_id, out.keys);
  ASSERT_TRUE(verified) << "chronyd's reply does not authenticate under our keys";
  EXPECT_EQ(verified->cookies.size(), 2u) << "one cookie and one placeholder: two fresh cookies";

  // A client that does not trust chronyd's CA says why.
  TempDir other("mdl-e2e-ntske-other");
  ASSERT_TRUE(MakeCertificates(other.path()));
  const nts::KeOutcome untrusted = Exchange(ke_port, other.path() / "ca.pem");
  EXPECT_FALSE(untrusted.ok);
  EXPECT_NE(untrusted.error.find("certificate verify failed"), std::string::npos) << untrusted.error;

  chronyd.Signal(SIGTERM);
  EXPECT_TRUE(chronyd.Wait(10s));
}

// chronyd -Q with NTS against our server program: key establishment on its
// port, then authenticated NTP on the port our Port record names. A reload
// takes a renewed certificate and the access lists.
TEST(NtsKeE2eTest, ChronydWithNtsSynchronisesAgainstOurServer) {
  ServerRig rig;
  ASSERT_TRUE(MakeCertificates(rig.dir.path()));
  const fs::path d = rig.dir.path();
  const uint16_t ke_port = FreePort();
  const std::string nts_values = "\"NtsCertificate\"=\"" + (d / "server.pem").string() +
                                 "\"\r\n\"NtsKey\"=\"" + (d / "server.key").string() +
                                 "\"\r\n\"NtsKePort\"=\"" + std::to_string(ke_port) + "\"\r\n";
  ASSERT_TRUE(rig.Start("59:Minute/s", "YES", nts_values));
  ASSERT_TRUE(rig.server->WaitFor("NTS key establishment listening on TCP " + std::to_string(ke_port), 5s))
      << rig.server->Err();

  WriteFile(d / "client.conf", "server 127.0.0.1 iburst nts ntsport " + std::to_string(ke_port) +
                                   " maxsamples 1\nntstrustedcerts " + (d / "ca.pem").string() +
                                   "\ncmdport 0\npidfile " + (d / "client.pid").string() + "\n");
  const RunResult q = RunToEnd(
      d, "chronyd_q", {"/usr/sbin/chronyd", "-x", "-Q", "-t", "10", "-f", (d / "client.conf").string()}, 20s);
  std::smatch m;
  const std::string log = q.err + q.out;
  ASSERT_TRUE(std::regex_search(log, m, std::regex(R"(System clock wrong by (-?[0-9.]+) seconds)")))
      << "chronyd with NTS took no sample from our server:\n"
      << log << "\nserver:\n"
      << rig.server->Err();
  EXPECT_LT(std::abs(std::stod(m[1].str())), 0.5);

  // A renewed certificate from another CA, put in force by a reload.
  TempDir renewed("mdl-e2e-ntske-renewed");
  ASSERT_TRUE(MakeCertificates(renewed.path()));
  fs::copy_file(renewed.path() / "server.pem", d / "server.pem", fs::copy_options::overwrite_existing);
  fs::copy_file(renewed.path() / "server.key", d / "server.key", fs::copy_options::overwrite_existing);
  rig.server->Signal(SIGHUP);
  ASSERT_TRUE(rig.server->WaitFor("NTS key establishment: certificate re-read", 5s)) << rig.server->Err();
  EXPECT_TRUE(Exchange(ke_port, renewed.path() / "ca.pem").ok);
  EXPECT_FALSE(Exchange(ke_port, d / "ca.pem").ok) << "the old certificate is gone";

  // The access lists apply to key establishment as well.
  const std::string registry = ReadFile(rig.home() / "registry.reg");
  ASSERT_TRUE(WriteFile(rig.home() / "registry.reg", registry + "\"DenyNetworks\"=\"127.0.0.0/8\"\r\n"));
  rig.server->Signal(SIGHUP);
  ASSERT_TRUE(rig.server->WaitFor("access lists: 0 networks allowed, 1 denied", 5s)) << rig.server->Err();
  std::this_thread::sleep_for(300ms);  // the engine publishes the lists with its next snapshot
  const nts::KeOutcome denied = Exchange(ke_port, renewed.path() / "ca.pem");
  EXPECT_FALSE(denied.ok);
  EXPECT_NE(denied.error.find("TLS handshake"), std::string::npos) << denied.error;
  EXPECT_TRUE(rig.StopCleanly());
}

// What chronyc says of one NTS source, read through chronyd's command socket.
struct ChronycView {
  bool nts = false;    // authdata: mode NTS
  int cookies = -1;    // authdata: Cook
  long total_rx = -1;  // ntpdata: Total RX
  long valid_rx = -1;  // ntpdata: Total valid RX
  std::string text;    // everything, for failure messages
};

ChronycView AskChronyc(const fs::path& dir, const fs::path& socket) {
  ChronycView v;
  const auto ask = [&](const std::string& command) {
    return RunToEnd(dir, "chronyc", {"/usr/bin/chronyc", "-h", socket.string(), "-n", command}, 5s).out;
  };
  const std::string auth = ask("authdata");
  const std::string ntp = ask("ntpdata");
  v.text = auth + ntp + ask("sources");
  std::smatch m;
  if (std::regex_search(auth, m,
                        std::regex(R"(127\.0\.0\.[12]\s+NTS\s+\d+\s+\d+\s+\d+\s+\S+\s+\d+\s+\d+\s+(\d+))"))) {
    v.nts = true;
    v.cookies = std::stoi(m[1].str());
  }
  if (std::regex_search(ntp, m, std::regex(R"(Total RX\s*:\s*(\d+))"))) v.total_rx = std::stol(m[1].str());
  if (std::regex_search(ntp, m, std::regex(R"(Total valid RX\s*:\s*(\d+))")))
    v.valid_rx = std::stol(m[1].str());
  return v;
}

// authdata and ntpdata are refused ("501 Not authorised") over the UDP
// command port: chronyc needs the Unix socket. chronyd refuses that socket in
// a folder its user does not own or others can enter: a folder of its own,
// 0770, owned by that user.
::testing::AssertionResult CommandSocketFolder(const fs::path& folder) {
  fs::create_directories(folder);
  const passwd* user = ::getpwnam("_chrony");
  if (!user) user = ::getpwnam("chrony");
  if (user && ::chown(folder.c_str(), user->pw_uid, user->pw_gid) != 0)
    return ::testing::AssertionFailure() << "cannot give " << folder << " to chronyd's user";
  fs::permissions(folder, fs::perms::owner_all | fs::perms::group_all, fs::perm_options::replace);
  return ::testing::AssertionSuccess();
}

long NtsRepliesOf(const fs::path& dir, const fs::path& home) {
  const std::string status =
      RunToEnd(dir, "status",
               {(ProgramDir() / "QOR_MDL_Server_SVC").string(), "-status", "--home", home.string()}, 10s)
          .out;
  std::smatch m;
  if (!std::regex_search(status, m, std::regex(R"(NTS replies\s*:\s*(\d+))"))) return -1;
  return std::stol(m[1].str());
}

// A long-running chronyd -x as the NTS client of our server, its NTP going
// through a relay on 127.0.0.2 (the Server record names it): chronyc shows
// NTS with cookies and authentic samples; replies altered on the way give it
// no sample while our server goes on sending NTS replies.
TEST(NtsKeE2eTest, ChronydKeepsAnNtsSourceAndRefusesAlteredReplies) {
  ServerRig rig;
  ASSERT_TRUE(MakeCertificates(rig.dir.path()));
  const fs::path d = rig.dir.path();
  const uint16_t ke_port = FreePort();
  // Our NTP service on 127.0.0.1 only, so that the relay can take its port on 127.0.0.2.
  AlteringRelay relay("127.0.0.2", rig.ports.ntp, rig.ports.ntp);
  ASSERT_TRUE(relay.ok());
  relay.alter = false;
  ASSERT_TRUE(rig.Start("59:Minute/s", "YES",
                        "\"NtsCertificate\"=\"" + (d / "server.pem").string() + "\"\r\n\"NtsKey\"=\"" +
                            (d / "server.key").string() + "\"\r\n\"NtsKePort\"=\"" + std::to_string(ke_port) +
                            "\"\r\n\"NtsNtpServer\"=\"127.0.0.2\"\r\n\"BindAddress\"=\"127.0.0.1\"\r\n"));
  ASSERT_TRUE(rig.server->WaitFor("NTS key establishment listening on TCP " + std::to_string(ke_port), 5s))
      << rig.server->Err();

  const fs::path cmd = d / "cmd";
  ASSERT_TRUE(CommandSocketFolder(cmd));
  const fs::path socket = cmd / "chronyd.sock";
  WriteFile(d / "client.conf", "server 127.0.0.1 iburst minpoll 0 maxpoll 0 nts ntsport " +
                                   std::to_string(ke_port) + "\nntstrustedcerts " + (d / "ca.pem").string() +
                                   "\ncmdport 0\nbindcmdaddress " + socket.string() + "\npidfile " +
                                   (d / "client.pid").string() + "\n");
  Process chronyd(d, "chronyd_client", {"/usr/sbin/chronyd", "-x", "-d", "-f", (d / "client.conf").string()});

  // Passed on unchanged: NTS, cookies, authentic samples (bounded: 30 s).
  ChronycView v;
  for (int i = 0; i < 60 && chronyd.Running(); ++i) {
    v = AskChronyc(d, socket);
    if (v.nts && v.cookies > 0 && v.valid_rx >= 3) break;
    std::this_thread::sleep_for(500ms);
  }
  ASSERT_TRUE(v.nts) << v.text << "\nchronyd:\n" << chronyd.Err() << "\nserver:\n" << rig.server->Err();
  EXPECT_GT(v.cookies, 0) << v.text;
  ASSERT_GE(v.valid_rx, 3) << v.text << "\nchronyd:\n" << chronyd.Err();
  EXPECT_GE(relay.relayed.load(), 3) << "chronyd's NTP went through the relay on 127.0.0.2";
  EXPECT_NE(v.text.find("127.0.0.2"), std::string::npos) << "the Server record is followed\n" << v.text;

  // One byte altered in every reply: received, never valid.
  relay.alter = true;
  const int altered_before = relay.altered.load();
  for (int i = 0; i < 40 && relay.altered.load() < altered_before + 1; ++i)
    std::this_thread::sleep_for(100ms);
  const ChronycView at_switch = AskChronyc(d, socket);
  const long nts_replies_before = NtsRepliesOf(d, rig.home());
  ChronycView later = at_switch;
  for (int i = 0; i < 40 && later.total_rx < at_switch.total_rx + 4; ++i) {
    std::this_thread::sleep_for(250ms);
    later = AskChronyc(d, socket);
  }
  EXPECT_GE(relay.altered.load(), altered_before + 4);
  EXPECT_GE(later.total_rx, at_switch.total_rx + 4) << later.text;
  EXPECT_EQ(later.valid_rx, at_switch.valid_rx) << "an altered reply was taken as a sample\n"
                                                << at_switch.text << later.text;
  EXPECT_GE(nts_replies_before, 0);
  EXPECT_GT(NtsRepliesOf(d, rig.home()), nts_replies_before) << "our server kept sending NTS replies";

  chronyd.Signal(SIGTERM);
  EXPECT_TRUE(chronyd.Wait(10s));
  EXPECT_TRUE(rig.StopCleanly());
}

TEST(NtsKeE2eTest, AKeyThatDoesNotMatchIsReportedAndTheServerRunsOn) {
  ServerRig rig;
  ASSERT_TRUE(MakeCertificates(rig.dir.path()));
  const fs::path d = rig.dir.path();
  const uint16_t ke_port = FreePort();
  ASSERT_TRUE(rig.Start("59:Minute/s", "YES",
                        "\"NtsCertificate\"=\"" + (d / "server.pem").string() + "\"\r\n\"NtsKey\"=\"" +
                            (d / "ca.key").string() + "\"\r\n\"NtsKePort\"=\"" + std::to_string(ke_port) +
                            "\"\r\n"));
  EXPECT_TRUE(rig.server->WaitFor("NTS key establishment on TCP " + std::to_string(ke_port) +
                                      " not started: the key in " + (d / "ca.key").string() +
                                      " does not match the certificate in " + (d / "server.pem").string() +
                                      "; the server runs on without it",
                                  5s))
      << rig.server->Err();
  EXPECT_FALSE(testing::TcpConnect(ke_port, 500ms).valid());
  EXPECT_TRUE(UdpAskText(rig.ports.ntp, NtpPacket(3), 1000ms)) << "plain NTP is served as before";
  EXPECT_TRUE(rig.StopCleanly());
}

}  // namespace
}  // namespace mdl::e2e
