#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <utility>

#include "tests/e2e/harness.h"

extern char** environ;

namespace mdl::e2e {

size_t CountOf(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size()))
    ++n;
  return n;
}

fs::path ProgramDir() {
  const char* bin = std::getenv("MDL_BIN");
  return bin ? fs::path(bin) : fs::path();
}

::testing::AssertionResult HavePeer(const std::string& path, const std::string& package) {
  if (::access(path.c_str(), X_OK) == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << path << " is missing: install the Debian package '" << package << "'";
}

Process::Process(const fs::path& log_dir, const std::string& name, const std::vector<std::string>& args,
                 const std::string& extra_caps)
    : out_path_(log_dir / (name + ".out")), err_path_(log_dir / (name + ".err")) {
  const std::string caps = "-sys_time" + (extra_caps.empty() ? "" : ",-" + extra_caps);
  std::vector<std::string> argv = {"/usr/bin/setpriv", "--inh-caps=" + caps, "--bounding-set=" + caps};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> c_argv;
  for (auto& a : argv) c_argv.push_back(a.data());
  c_argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int sig : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2, SIGPIPE, SIGHUP}) sigaddset(&defaults, sig);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  if (posix_spawn(&pid_, c_argv[0], &actions, &attr, c_argv.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
}

Process::~Process() {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    int st = 0;
    ::waitpid(pid_, &st, 0);
  }
}

void Process::Signal(int sig) const {
  if (pid_ > 0 && !status_) ::kill(pid_, sig);
}

bool Process::Running() {
  Poll();
  return pid_ > 0 && !status_;
}

std::optional<int> Process::Wait(Clock::duration timeout) {
  const auto end = Clock::now() + timeout;
  while (pid_ > 0 && !status_) {
    Poll();
    if (status_ || Clock::now() >= end) break;
    std::this_thread::sleep_for(10ms);
  }
  return status_;
}

bool Process::WaitFor(const std::string& needle, Clock::duration timeout, size_t count, bool on_stdout) {
  const auto end = Clock::now() + timeout;
  for (;;) {
    if (CountOf(on_stdout ? Out() : Err(), needle) >= count) return true;
    if (Clock::now() >= end || !Running()) return CountOf(on_stdout ? Out() : Err(), needle) >= count;
    std::this_thread::sleep_for(20ms);
  }
}

void Process::Poll() {
  if (pid_ <= 0 || status_) return;
  int st = 0;
  if (::waitpid(pid_, &st, WNOHANG) == pid_) {
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  }
}

RunResult RunToEnd(const fs::path& log_dir, const std::string& name, const std::vector<std::string>& args,
                   Clock::duration timeout) {
  Process p(log_dir, name, args);
  RunResult r;
  r.status = p.Wait(timeout);
  r.out = p.Out();
  r.err = p.Err();
  return r;
}

uint32_t BigEndian32(const std::string& b, size_t at) {
  return (uint32_t{static_cast<uint8_t>(b[at])} << 24) | (uint32_t{static_cast<uint8_t>(b[at + 1])} << 16) |
         (uint32_t{static_cast<uint8_t>(b[at + 2])} << 8) | uint32_t{static_cast<uint8_t>(b[at + 3])};
}

double UnixNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string MdlRequest() {
  std::string r(24, '\0');
  r.replace(0, 8, "MDLC5UTC");
  return r;
}

std::string NtpPacket(int mode) {
  std::string p(48, '\0');
  p[0] = static_cast<char>((4 << 3) | mode);
  const double now = UnixNow() + kNtpToUnix;
  const auto secs = static_cast<uint32_t>(now);
  const auto frac = static_cast<uint32_t>((now - secs) * 4294967296.0);
  for (int i = 0; i < 4; ++i) {
    p[40 + i] = static_cast<char>(secs >> (24 - 8 * i));
    p[44 + i] = static_cast<char>(frac >> (24 - 8 * i));
  }
  return p;
}

double NtpTransmitUnix(const std::string& reply) {
  return BigEndian32(reply, 40) - kNtpToUnix + BigEndian32(reply, 44) / 4294967296.0;
}

Upstream::Upstream(const fs::path& dir, uint16_t port, const std::string& name, bool v6, int stratum)
    : dir_(dir), port_(port), name_(name), v6_(v6), stratum_(stratum) {
  Start();
}

void Upstream::Start() {
  const fs::path conf = dir_ / (name_ + ".conf");
  const std::string at = v6_ ? "::1" : "127.0.0.1";
  WriteFile(conf, "port " + std::to_string(port_) + "\nbindaddress " + at + "\nlocal stratum " +
                      std::to_string(stratum_) + "\nallow " + at +
                      "\ncmdport 0\n"
                      "pidfile " +
                      (dir_ / (name_ + ".pid")).string() + "\ndriftfile " +
                      (dir_ / (name_ + ".drift")).string() + "\n");
  proc_.reset();
  proc_ = std::make_unique<Process>(
      dir_, name_, std::vector<std::string>{"/usr/sbin/chronyd", "-x", "-d", "-f", conf.string()});
}

bool Upstream::WaitServing(Clock::duration timeout) {
  const auto end = Clock::now() + timeout;
  while (Clock::now() < end && proc_->Running()) {
    auto r = UdpAskText(port_, NtpPacket(3), 200ms, v6_);
    if (r && r->size() >= 48 && (*r)[1] != 0) return true;
  }
  return false;
}

ServicePorts FreeServicePorts() {
  return ServicePorts{FreePort(), FreePort(), FreePort(), FreePort(), FreePort()};
}

std::string ServiceValue(uint16_t port) { return "YES:YES:YES:" + std::to_string(port); }

void WriteServerHome(const fs::path& home, uint16_t upstream_port, const ServicePorts& ports,
                     const std::string& interval, const std::string& julian, const std::string& extra_values,
                     bool upstream_v6) {
  WriteFile(home / "QOR_MDLS4.MDL", "Test upstream list, line 1\nline 2\nline 3\nline 4\nline 5\n" +
                                        std::string(upstream_v6 ? "[::1]:" : "127.0.0.1:") +
                                        std::to_string(upstream_port) + ":::Local chronyd - NA:::2:::us\n");
  WriteFile(home / "registry.reg",
            "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Meridel Server]\r\n"
            "\"Settings\"=\"NO:" +
                interval +
                ":NA:36\"\r\n"
                "\"NTP37\"=\"" +
                ServiceValue(ports.time) +
                "\"\r\n"
                "\"SNTP123\"=\"" +
                ServiceValue(ports.ntp) +
                "\"\r\n"
                "\"UNIX519\"=\"" +
                ServiceValue(ports.unix_time) +
                "\"\r\n"
                "\"MDL3777\"=\"" +
                ServiceValue(ports.mdl) +
                "\"\r\n"
                "\"DTS13\"=\"" +
                ServiceValue(ports.daytime) +
                "\"\r\n"
                "\"UseJulian\"=\"" +
                julian + "\"\r\n" + extra_values + "\r\n");
}

std::vector<std::string> ServerArgs(const fs::path& home, bool virtual_clock) {
  std::vector<std::string> args = {(ProgramDir() / "QOR_MDL_Server_SVC").string(), "-debug", "--home",
                                   home.string()};
  if (virtual_clock) args.push_back("--virtual-clock");
  return args;
}

size_t OpenFdCount(pid_t pid) {
  std::error_code ec;
  size_t n = 0;
  for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
       !ec && it != fs::directory_iterator(); it.increment(ec))
    ++n;
  return n;
}

::testing::AssertionResult ServerRig::Start(const std::string& interval, const std::string& julian,
                                            const std::string& extra_values) {
  for (auto [path, package] :
       {std::pair{"/usr/bin/setpriv", "util-linux"}, std::pair{"/usr/sbin/chronyd", "chrony"}}) {
    if (auto have = HavePeer(path, package); !have) return have;
  }
  if (!fs::exists(ProgramDir() / "QOR_MDL_Server_SVC"))
    return ::testing::AssertionFailure() << "no server program in MDL_BIN=" << ProgramDir();
  fs::create_directories(home());
  upstream = std::make_unique<Upstream>(dir.path(), upstream_port, "chronyd", upstream_v6, upstream_stratum);
  if (!upstream->WaitServing(10s))
    return ::testing::AssertionFailure()
           << "chronyd upstream does not serve on port " << upstream_port << "; its stderr:\n"
           << upstream->process().Err();
  WriteServerHome(home(), upstream_port, ports, interval, julian, extra_values, upstream_v6);
  std::vector<std::string> args = ServerArgs(home(), virtual_clock);
  if (!environment.empty()) {
    args.insert(args.begin(), environment.begin(), environment.end());
    args.insert(args.begin(), "/usr/bin/env");
  }
  server = std::make_unique<Process>(dir.path(), "server", args);
  if (!server->WaitFor(kSynced, 15s))
    return ::testing::AssertionFailure() << "server did not synchronise within 15 s; its stderr:\n"
                                         << server->Err();
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult ServerRig::StopCleanly() {
  if (!server) return ::testing::AssertionFailure() << "no server was started";
  server->Signal(SIGTERM);
  const std::optional<int> status = server->Wait(10s);
  const std::string err = server->Err();
  if (status != 0 || err.find("Sanitizer") != std::string::npos ||
      err.find("runtime error:") != std::string::npos)
    return ::testing::AssertionFailure()
           << "server did not stop cleanly on SIGTERM (status "
           << (status ? std::to_string(*status) : std::string("still running")) << "); its stderr:\n"
           << err;
  return ::testing::AssertionSuccess();
}

}  // namespace mdl::e2e
