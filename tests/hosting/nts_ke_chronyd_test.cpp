// chronyd as a key establishment client of our server: it completes the
// exchange, then sends NTP requests whose cookie we open and whose
// authenticator checks under the keys we exported. A small responder in
// the test answers them, and chronyd accepts the authenticated reply.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <boost/asio/ip/address.hpp>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "common/nts/ntp_auth.h"
#include "server/hosting/nts_ke_server.h"
#include "tests/e2e/harness.h"

namespace mdl::service {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

void PutStamp(uint8_t* at, std::chrono::system_clock::time_point t) {
  const double unix_s = std::chrono::duration<double>(t.time_since_epoch()).count();
  const double ntp = unix_s + 2208988800.0;
  const auto secs = static_cast<uint32_t>(static_cast<uint64_t>(ntp));
  const auto frac =
      static_cast<uint32_t>((ntp - static_cast<double>(static_cast<uint64_t>(ntp))) * 4294967296.0);
  for (int i = 0; i < 4; ++i) {
    at[i] = static_cast<uint8_t>(secs >> (24 - 8 * i));
    at[4 + i] = static_cast<uint8_t>(frac >> (24 - 8 * i));
  }
}

// Answers authenticated requests on a loopback UDP port until `stop`, counting what came.
class NtsResponder {
 public:
  explicit NtsResponder(std::shared_ptr<const nts::CookieKeySet> keys) : keys_(std::move(keys)) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t n = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n);
    port_ = ntohs(a.sin_port);
    timeval tv{0, 100000};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    thread_ = std::thread([this] { Run(); });
  }
  ~NtsResponder() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
  }
  uint16_t port() const { return port_; }
  int requests() const { return requests_; }
  int authentic() const { return authentic_; }

 private:
  void Run() {
    // Bounded: at most 60 s of 100 ms waits.
    for (int i = 0; i < 600 && !stop_; ++i) {
      std::array<uint8_t, 2048> buf{};
      sockaddr_in from{};
      socklen_t n = sizeof from;
      const ssize_t got = ::recvfrom(fd_, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &n);
      if (got <= 0) continue;
      const auto received = std::chrono::system_clock::now();
      ++requests_;
      const std::span<const uint8_t> datagram(buf.data(), static_cast<size_t>(got));
      const nts::NtsServerRequest r = nts::ReadNtsRequest(datagram, *keys_);
      if (r.verdict != nts::NtsVerdict::kAuthentic) continue;
      ++authentic_;
      std::array<uint8_t, 48> header{};
      header[0] = 0x24;  // version 4, server
      header[1] = 1;
      header[2] = buf[2];
      header[3] = 0xec;
      std::memcpy(&header[12], "TEST", 4);
      PutStamp(&header[16], received);
      std::memcpy(&header[24], &buf[40], 8);
      PutStamp(&header[32], received);
      PutStamp(&header[40], std::chrono::system_clock::now());
      std::vector<uint8_t> reply;
      if (!nts::BuildNtsReply(header, r, *keys_->current(), datagram.size(), &reply)) continue;
      ::sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), n);
    }
  }

  std::shared_ptr<const nts::CookieKeySet> keys_;
  int fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> requests_{0};
  std::atomic<int> authentic_{0};
  std::thread thread_;
};

TEST(NtsKeChronydTest, ChronydCompletesKeyEstablishmentAndUsesOurKeys) {
  ASSERT_TRUE(e2e::HavePeer("/usr/sbin/chronyd", "chrony"));
  testing::TempDir dir("mdl-ntske-chronyd");
  const fs::path d = dir.path();
  const std::string cmd =
      "cd '" + d.string() + "' && printf 'subjectAltName=IP:127.0.0.1\\n' > ext && " +
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout ca.key -out ca.pem "
      "-days 2 -subj '/CN=Meridel NTS test CA' >openssl.log 2>&1 && "
      "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout server.key -out "
      "server.csr "
      "-subj '/CN=nts test server' >>openssl.log 2>&1 && "
      "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 "
      "-extfile ext >>openssl.log 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << testing::ReadFile(d / "openssl.log");

  auto keys = std::make_shared<nts::CookieKeySet>();
  keys->keys.push_back(*nts::MakeCookieKey(42, 0));
  NtsResponder ntp(keys);
  NtsKeHooks hooks;
  hooks.cookie_keys = [keys] { return keys; };
  hooks.ntp_port = [&ntp] { return ntp.port(); };
  NtsKeServer server(hooks);
  std::string why;
  ASSERT_TRUE(server.Open({(d / "server.pem").string(), (d / "server.key").string(), ""},
                          boost::asio::ip::make_address("127.0.0.1"), 0, &why))
      << why;

  // The NTP port comes from our Port record: chronyd's own line names only the key establishment port.
  testing::WriteFile(d / "client.conf", "server 127.0.0.1 iburst nts ntsport " +
                                            std::to_string(server.port()) +
                                            " maxsamples 1\nntstrustedcerts " + (d / "ca.pem").string() +
                                            "\ncmdport 0\npidfile " + (d / "client.pid").string() + "\n");
  const e2e::RunResult r = e2e::RunToEnd(
      d, "chronyd_q", {"/usr/sbin/chronyd", "-x", "-Q", "-t", "10", "-f", (d / "client.conf").string()}, 20s);
  EXPECT_GE(ntp.authentic(), 1) << "requests: " << ntp.requests() << "\nchronyd:\n" << r.err << r.out;
  EXPECT_EQ(ntp.authentic(), ntp.requests()) << "every request carried our cookie and our keys";
  EXPECT_NE((r.err + r.out).find("System clock wrong by"), std::string::npos)
      << "chronyd took no sample from the authenticated replies:\n"
      << r.err << r.out;
}

}  // namespace
}  // namespace mdl::service
