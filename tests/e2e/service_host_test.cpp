// End-to-end: the service programs under a service manager played by the
// test. -install and -uninstall on a systemd tree of the test's own
// (MDL_SYSTEMD_ROOT); readiness, status, watchdog and stopping through a
// NOTIFY_SOCKET the test owns; pause and continue from a second invocation
// leave datagrams queued, connections in the backlog and the schedule still.
#include <sys/un.h>

#include <cstring>

#include "tests/e2e/harness.h"

namespace mdl::e2e {
namespace {

// The service manager's end of NOTIFY_SOCKET: every notice the program sends.
class NotifySocket {
 public:
  explicit NotifySocket(const fs::path& path)
      : path_(path.string()), fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path_.size() < sizeof addr.sun_path) {
      std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
      bound_ = ::bind(fd_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
  }
  bool bound() const { return bound_; }
  const std::string& path() const { return path_; }
  // Takes notices until one equals (or, with `prefix`, starts with) `want`.
  std::optional<std::string> WaitFor(const std::string& want, Clock::duration timeout, bool prefix = false) {
    const auto end = Clock::now() + timeout;
    while (Clock::now() < end) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      if (!WaitReadable(fd_.get(), std::max(left, std::chrono::milliseconds(1)))) break;
      char buf[4096];
      const ssize_t n = ::recv(fd_.get(), buf, sizeof buf, 0);
      if (n <= 0) continue;
      std::string notice(buf, static_cast<size_t>(n));
      seen_.push_back(notice);
      if (prefix ? notice.rfind(want, 0) == 0 : notice == want) return notice;
    }
    return std::nullopt;
  }
  std::string Seen() const {
    std::string all;
    for (const auto& s : seen_) all += "  " + s + "\n";
    return all;
  }

 private:
  std::string path_;
  UniqueFd fd_;
  bool bound_ = false;
  std::vector<std::string> seen_;
};

// Sets an environment variable for the programs the test starts; restored at the end.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

struct ProgramTexts {
  std::string program, unit, installed, uninstalled, uninstall_failed, install_failed;
};

TEST(ServiceHostTest, InstallAndUninstallOnASystemdTreeWithTheProgramsTexts) {
  TempDir dir("mdl-svc-install");
  const fs::path root = dir.path() / "root";
  ScopedEnv env("MDL_SYSTEMD_ROOT", root.string());
  for (const ProgramTexts& p :
       {ProgramTexts{"QOR_MDL_Server_SVC", "MDLServer", "[MDL Server installed successfully!] ",
                     "[MDL Server uninstalled successfully!] ", "[MDL Server failed to uninstall!] ",
                     "[MDL Server failed to install: "},
        ProgramTexts{"QOR_MDLSC_SVC", "MDLClient", "[MDL Server Client installed successfully!] ",
                     "[MDL Server Client uninstalled successfully!] ",
                     "[MDL Server Client failed to uninstall!] ",
                     "[MDL Server Client failed to install: "}}) {
    SCOPED_TRACE(p.program);
    const fs::path program = ProgramDir() / p.program;
    ASSERT_TRUE(fs::exists(program)) << "no " << p.program << " in MDL_BIN=" << ProgramDir();
    const fs::path home = dir.path() / (p.unit + " home");
    const fs::path unit = root / "etc/systemd/system" / (p.unit + ".service");
    const fs::path link = root / "etc/systemd/system/multi-user.target.wants" / (p.unit + ".service");

    RunResult install =
        RunToEnd(dir.path(), "install", {program.string(), "-install", "--home", home.string()}, 60s);
    ASSERT_EQ(install.status, std::optional<int>(0)) << install.err;
    EXPECT_NE(install.err.find(" --- " + p.installed), std::string::npos) << install.err;
    ASSERT_TRUE(fs::exists(unit));
    EXPECT_TRUE(fs::is_symlink(link)) << "the unit was not enabled";
    const std::string text = ReadFile(unit);
    EXPECT_NE(
        text.find("ExecStart=\"" + fs::canonical(program).string() + "\" --home \"" + home.string() + "\"\n"),
        std::string::npos)
        << text;
    // The program ended without starting: no settings, no logs, no listener.
    EXPECT_FALSE(fs::exists(home / "registry.reg"));
    EXPECT_FALSE(fs::exists(home / "Logs"));
    RunResult verify = RunToEnd(dir.path(), "verify",
                                {"/usr/bin/systemd-analyze", "verify", "--man=no", unit.string()}, 60s);
    EXPECT_EQ(verify.status, std::optional<int>(0)) << verify.out << verify.err;

    RunResult again =
        RunToEnd(dir.path(), "again", {program.string(), "-install", "--home", home.string()}, 60s);
    EXPECT_EQ(again.status, std::optional<int>(1));
    EXPECT_NE(again.err.find(" --- " + p.install_failed), std::string::npos) << again.err;
    EXPECT_NE(again.err.find("already installed"), std::string::npos) << again.err;
    EXPECT_EQ(ReadFile(unit), text);

    RunResult uninstall = RunToEnd(dir.path(), "uninstall", {program.string(), "-uninstall"}, 60s);
    ASSERT_EQ(uninstall.status, std::optional<int>(0)) << uninstall.err;
    EXPECT_NE(uninstall.err.find(" --- " + p.uninstalled), std::string::npos) << uninstall.err;
    EXPECT_FALSE(fs::exists(fs::symlink_status(unit)));
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));

    RunResult twice = RunToEnd(dir.path(), "twice", {program.string(), "-uninstall"}, 60s);
    EXPECT_EQ(twice.status, std::optional<int>(1));
    EXPECT_NE(twice.err.find(" --- " + p.uninstall_failed), std::string::npos) << twice.err;
  }
}

TEST(ServiceHostTest, ReadyOnlyWithListenersOpenStatusFollowsSyncWatchdogPingsStoppingBeforeExit) {
  ServerRig rig;
  fs::create_directories(rig.home());
  rig.upstream = std::make_unique<Upstream>(rig.dir.path(), rig.upstream_port);
  ASSERT_TRUE(rig.upstream->WaitServing(10s)) << rig.upstream->process().Err();
  WriteServerHome(rig.home(), rig.upstream_port, rig.ports);
  NotifySocket manager(rig.dir.path() / "notify");
  ASSERT_TRUE(manager.bound());
  {
    ScopedEnv socket("NOTIFY_SOCKET", manager.path());
    ScopedEnv watchdog("WATCHDOG_USEC", "2000000");
    rig.server = std::make_unique<Process>(rig.dir.path(), "server", ServerArgs(rig.home()));
  }
  ASSERT_TRUE(manager.WaitFor("READY=1", 15s)) << "no READY=1; notices:\n"
                                               << manager.Seen() << rig.server->Err();
  // At readiness every enabled listener answers at once.
  for (uint16_t port : {rig.ports.time, rig.ports.daytime, rig.ports.ntp, rig.ports.unix_time, rig.ports.mdl})
    EXPECT_TRUE(TcpConnect(port, 500ms).valid()) << "TCP port " << port << " not listening at READY=1";
  auto mdl = UdpAskText(rig.ports.mdl, MdlRequest(), 2s);
  EXPECT_TRUE(mdl && mdl->rfind("MDLS", 0) == 0) << "private protocol over UDP does not answer at READY=1";

  // The status follows the synchronisation message (the service build's text).
  ASSERT_TRUE(manager.WaitFor("STATUS=Checking Time Server: ", 15s, true)) << manager.Seen();
  const auto synced =
      manager.WaitFor(std::string("STATUS=") + kSynced + " Last synchronisation: ", 15s, true);
  ASSERT_TRUE(synced) << "no status after the synchronisation; notices:\n" << manager.Seen();
  // Half the watchdog interval at the most between pings.
  const auto first = manager.WaitFor("WATCHDOG=1", 3s);
  const auto t0 = Clock::now();
  ASSERT_TRUE(first) << "no watchdog ping; notices:\n" << manager.Seen();
  ASSERT_TRUE(manager.WaitFor("WATCHDOG=1", 3s)) << "one watchdog ping only";
  EXPECT_LT(Clock::now() - t0, 2s);

  rig.server->Signal(SIGTERM);
  EXPECT_TRUE(manager.WaitFor("STOPPING=1", 10s)) << "no STOPPING=1; notices:\n" << manager.Seen();
  EXPECT_EQ(rig.server->Wait(10s), std::optional<int>(0)) << rig.server->Err();
  const std::string err = rig.server->Err();
  EXPECT_EQ(CountOf(err, " --- MDL Start [0] "), 1u) << err;
  EXPECT_EQ(CountOf(err, " --- MDL Stop [0] "), 1u) << err;
  EXPECT_LT(err.find(" --- MDL Start [0] "), err.find(" --- MDL Stop [0] "));
}

// The wiring of -pause and -continue: a second invocation reaches the running
// instance, the status says so, and requests wait in the kernel until continue.
// That the synchronisation schedule stands still while paused is proven on the
// frozen clock (PauseScheduleTest).
TEST(ServiceHostTest, PauseFromASecondInvocationLeavesRequestsQueuedUntilContinue) {
  ServerRig rig;
  TempDir notify_dir("mdl-svc-notify");
  NotifySocket manager(notify_dir.path() / "notify");
  ASSERT_TRUE(manager.bound());
  {
    ScopedEnv socket("NOTIFY_SOCKET", manager.path());
    ASSERT_TRUE(rig.Start());
  }
  ASSERT_TRUE(manager.WaitFor(std::string("STATUS=") + kSynced, 5s, true)) << manager.Seen();
  const std::string program = (ProgramDir() / "QOR_MDL_Server_SVC").string();

  RunResult pause =
      RunToEnd(rig.dir.path(), "pause", {program, "-pause", "--home", rig.home().string()}, 10s);
  ASSERT_EQ(pause.status, std::optional<int>(0)) << pause.err;
  ASSERT_TRUE(rig.server->WaitFor("paused", 5s)) << rig.server->Err();
  EXPECT_TRUE(manager.WaitFor("STATUS=Paused", 5s, true)) << manager.Seen();

  UniqueFd ntp(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  const sockaddr_in to = Loopback(rig.ports.ntp);
  const std::string request = NtpPacket(3);
  const double sent_at = UnixNow();
  ASSERT_EQ(::sendto(ntp.get(), request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                     sizeof to),
            static_cast<ssize_t>(request.size()));
  UniqueFd tcp = TcpConnect(rig.ports.time, 2s);
  ASSERT_TRUE(tcp.valid()) << "a connection waits in the backlog while paused; the connect itself completes";
  EXPECT_FALSE(WaitReadable(ntp.get(), 1000ms)) << "an NTP datagram was answered while paused";
  EXPECT_FALSE(WaitReadable(tcp.get(), 100ms)) << "a Time connection was accepted and answered while paused";
  EXPECT_FALSE(UdpAskText(rig.ports.mdl, MdlRequest(), 500ms).has_value())
      << "private protocol answered while paused";

  const double continued_at = UnixNow();
  RunResult resume =
      RunToEnd(rig.dir.path(), "continue", {program, "-continue", "--home", rig.home().string()}, 10s);
  ASSERT_EQ(resume.status, std::optional<int>(0)) << resume.err;

  // The queued datagram is answered, with the time it arrived as its receive stamp.
  ASSERT_TRUE(WaitReadable(ntp.get(), 3000ms))
      << "the datagram sent while paused was not answered after continue";
  char reply[64];
  ASSERT_EQ(::recv(ntp.get(), reply, sizeof reply, 0), 48);
  const std::string r(reply, 48);
  const double receive = BigEndian32(r, 32) - kNtpToUnix + BigEndian32(r, 36) / 4294967296.0;
  EXPECT_NEAR(receive, sent_at, 0.5) << "receive stamp is not the arrival time";
  EXPECT_GT(NtpTransmitUnix(r), continued_at - 0.5);
  // The connection from the backlog gets its answer.
  ASSERT_TRUE(WaitReadable(tcp.get(), 3000ms)) << "the connection waiting in the backlog was not served";
  char time_reply[8];
  EXPECT_EQ(::recv(tcp.get(), time_reply, sizeof time_reply, 0), 4);
  // The status leaves the pause.
  EXPECT_TRUE(manager.WaitFor(std::string("STATUS=") + kSynced, 5s, true)) << "the status stayed paused:\n"
                                                                           << manager.Seen();
  EXPECT_EQ(CountOf(rig.server->Err(), "synchronised with "), 1u) << rig.server->Err();

  // Nothing to signal without a running instance.
  TempDir empty("mdl-svc-nobody");
  RunResult nobody =
      RunToEnd(empty.path(), "nobody", {program, "-pause", "--home", empty.path().string()}, 10s);
  EXPECT_EQ(nobody.status, std::optional<int>(1)) << nobody.err;
  EXPECT_TRUE(rig.StopCleanly());
}

TEST(ServiceHostTest, ClientServiceReportsReadyStatusWatchdogAndStopping) {
  TempDir dir("mdl-svc-client");
  const fs::path home = dir.path() / "client";
  fs::create_directories(home);
  const uint16_t closed = FreePort();
  WriteFile(home / "registry.reg",
            "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Meridel]\r\n"
            "\"MDLClient\"=\"127.0.0.1:" +
                std::to_string(closed) + ":5:Minute/s:NO\"\r\n\r\n");
  NotifySocket manager(dir.path() / "notify");
  ASSERT_TRUE(manager.bound());
  std::unique_ptr<Process> client;
  {
    ScopedEnv socket("NOTIFY_SOCKET", manager.path());
    ScopedEnv watchdog("WATCHDOG_USEC", "2000000");
    client = std::make_unique<Process>(dir.path(), "client",
                                       std::vector<std::string>{(ProgramDir() / "QOR_MDLSC_SVC").string(),
                                                                "--home", home.string(), "--virtual-clock"});
  }
  ASSERT_TRUE(manager.WaitFor("READY=1", 10s)) << manager.Seen() << client->Err();
  EXPECT_TRUE(manager.WaitFor("STATUS=", 10s, true)) << manager.Seen();
  EXPECT_TRUE(manager.WaitFor("WATCHDOG=1", 3s)) << manager.Seen();
  client->Signal(SIGTERM);
  EXPECT_TRUE(manager.WaitFor("STOPPING=1", 10s)) << manager.Seen();
  EXPECT_EQ(client->Wait(10s), std::optional<int>(0)) << client->Err();
  EXPECT_NE(client->Err().find(" --- MDL Client Start [0] "), std::string::npos) << client->Err();
  EXPECT_NE(client->Err().find(" --- MDL Client Stop [0] "), std::string::npos) << client->Err();
}

}  // namespace
}  // namespace mdl::e2e
