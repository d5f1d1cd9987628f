// End-to-end: what NTP replies tell of the server's own time, read by a real
// NTP client (chronyd, through its ntpdata view): the upstream's stratum plus
// one, a root dispersion that grows with the age of the last synchronisation,
// the client's own version and poll, and "unsynchronised" once the last
// synchronisation is older than MaxUnsyncedSeconds with the upstream gone.

#include <unistd.h>

#include <functional>
#include <map>

#include "tests/e2e/harness.h"

namespace mdl::e2e {
namespace {

// chronyd as a client of our server, its clock left alone, polling every second.
class ChronyClient {
 public:
  ChronyClient(const fs::path& dir, uint16_t server_port) : socket_(dir / "chronyc" / "client.sock") {
    // chronyd keeps its command socket only in a folder closed to others.
    fs::create_directories(socket_.parent_path());
    fs::permissions(socket_.parent_path(), fs::perms::owner_all, fs::perm_options::replace);
    const fs::path conf = dir / "client.conf";
    WriteFile(conf, "server 127.0.0.1 port " + std::to_string(server_port) +
                        " iburst minpoll 0 maxpoll 0\nport 0\ncmdport 0\nbindcmdaddress " + socket_.string() +
                        "\npidfile " + (dir / "client.pid").string() + "\ndriftfile " +
                        (dir / "client.drift").string() + "\n");
    std::vector<std::string> args = {"/usr/sbin/chronyd", "-x", "-d", "-f", conf.string()};
    // As root, chronyd would drop to its own user, which cannot write the socket here.
    if (::geteuid() == 0) args.insert(args.begin() + 3, {"-u", "root"});
    proc_ = std::make_unique<Process>(dir, "chronyd-client", args);
    dir_ = dir;
  }

  // "Name : value" lines of `chronyc ntpdata`; empty when there is none yet.
  std::map<std::string, std::string> NtpData() {
    RunResult r = RunToEnd(dir_, "chronyc", {"/usr/bin/chronyc", "-h", socket_.string(), "ntpdata"}, 5s);
    std::map<std::string, std::string> fields;
    std::stringstream in(r.out);
    for (std::string line; std::getline(in, line);) {
      const size_t colon = line.find(" : ");
      if (colon == std::string::npos) continue;
      std::string name = line.substr(0, colon);
      while (!name.empty() && name.back() == ' ') name.pop_back();
      fields[name] = line.substr(colon + 3);
    }
    return fields;
  }

  // Polls ntpdata until `done` holds for it, for at most `timeout`.
  std::map<std::string, std::string> WaitFor(
      const std::function<bool(std::map<std::string, std::string>&)>& done, Clock::duration timeout) {
    const auto end = Clock::now() + timeout;
    std::map<std::string, std::string> last;
    while (Clock::now() < end && proc_->Running()) {
      last = NtpData();
      if (done(last)) return last;
      std::this_thread::sleep_for(300ms);
    }
    return last;
  }

  Process& process() { return *proc_; }

 private:
  fs::path socket_;
  fs::path dir_;
  std::unique_ptr<Process> proc_;
};

double Seconds(const std::string& text) { return std::strtod(text.c_str(), nullptr); }

std::string Dump(const std::map<std::string, std::string>& f) {
  std::string out;
  for (const auto& [k, v] : f) out += k + " : " + v + "\n";
  return out;
}

TEST(ReplyHonestyTest, ChronydReadsOurStratumDispersionAndLossOfSynchronisation) {
  ASSERT_TRUE(HavePeer("/usr/bin/chronyc", "chrony"));
  ServerRig rig;
  rig.upstream_stratum = 5;
  ASSERT_TRUE(rig.Start("59:Minute/s", "YES", "\"MaxUnsyncedSeconds\"=\"8\"\r\n"));
  ChronyClient client(rig.dir.path(), rig.ports.ntp);

  auto first = client.WaitFor([](auto& f) { return f["Stratum"] == "6"; }, 10s);
  ASSERT_EQ(first["Stratum"], "6") << "the upstream's stratum 5 plus one; chronyd saw:\n"
                                   << Dump(first) << client.process().Err();
  EXPECT_EQ(first["Leap status"], "Normal");
  EXPECT_EQ(first["Version"], "4");
  EXPECT_EQ(first["Mode"], "Server");
  EXPECT_EQ(first["Poll interval"].substr(0, 2), "0 ") << "the client's poll (1 s) copied";
  EXPECT_EQ(first["Reference ID"].substr(0, 8), "7F000001") << "the upstream's address";
  // The local-clock upstream has no root delay of its own: ours is the loopback path.
  EXPECT_GT(Seconds(first["Root delay"]), 0.0);
  EXPECT_LT(Seconds(first["Root delay"]), 0.1);
  const double dispersion = Seconds(first["Root dispersion"]);
  EXPECT_GT(dispersion, 0.0);

  // The dispersion grows by 15 µs a second since the synchronisation (the
  // exact growth is proven on the frozen clock; here, that it reaches the wire).
  std::this_thread::sleep_for(2s);
  auto later = client.NtpData();
  EXPECT_GT(Seconds(later["Root dispersion"]), dispersion + 15e-6) << Dump(later);
  EXPECT_EQ(later["Stratum"], "6");

  // Upstream gone: within 8 s of the last synchronisation the replies say unsynchronised.
  rig.upstream->process().Signal(SIGTERM);
  auto stale = client.WaitFor([](auto& f) { return f["Stratum"] == "16"; }, 15s);
  EXPECT_EQ(stale["Stratum"], "16") << Dump(stale);
  EXPECT_EQ(stale["Leap status"], "Not synchronised") << Dump(stale);
  EXPECT_TRUE(rig.server->WaitFor("NTP replies now say unsynchronised", 2s)) << rig.server->Err();
  client.process().Signal(SIGTERM);
  EXPECT_TRUE(rig.StopCleanly());
}

}  // namespace
}  // namespace mdl::e2e
