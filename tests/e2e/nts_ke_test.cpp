// End-to-end NTS key establishment with chronyd as the peer: our client
// against chronyd's key establishment server (keys proven by an
// authenticated NTP exchange with chronyd), and chronyd as a client of our
// server program.
#include <boost/asio/io_context.hpp>
#include <random>

#include "common/nts/ke_client.h"
#include "common/nts/ntp_auth.h"
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

}  // namespace
}  // namespace mdl::e2e
