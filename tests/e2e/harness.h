// Harness for the end-to-end tests: child processes started without the right
// to set the clock, a chronyd upstream, and a server rig in a temporary
// program folder. Folders, ports and socket clients come from tests/support;
// the bodies live in tests/support/e2e_harness.cpp, so the test files compile
// against declarations only.
#pragma once

#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/loopback_ask.h"
#include "tests/support/ports.h"
#include "tests/support/temp_dir.h"

namespace mdl::e2e {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::FreePort;
using testing::Loopback;
using testing::ReadFile;
using testing::TcpAskText;
using testing::TcpConnect;
using testing::TempDir;
using testing::UdpAskText;
using testing::UniqueFd;
using testing::WaitReadable;
using testing::WriteFile;

size_t CountOf(const std::string& text, const std::string& needle);

// Folder of the built programs, from MDL_BIN.
fs::path ProgramDir();

// Fails (never skips) when a peer program is missing, naming the package to install.
::testing::AssertionResult HavePeer(const std::string& path, const std::string& package);

// A child process started under setpriv without the clock-setting capability,
// with stdout and stderr captured to files. The destructor kills it (by PID) if it still runs.
class Process {
 public:
  // `extra_caps` are dropped too, e.g. "net_bind_service".
  Process(const fs::path& log_dir, const std::string& name, const std::vector<std::string>& args,
          const std::string& extra_caps = "");
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  bool started() const { return pid_ > 0; }
  void Signal(int sig) const;
  bool Running();
  // Exit status (or 128 + signal) once the process has ended within `timeout`.
  std::optional<int> Wait(Clock::duration timeout);
  std::string Out() const { return ReadFile(out_path_); }
  std::string Err() const { return ReadFile(err_path_); }
  // Waits until stderr (or stdout) holds `needle` at least `count` times.
  bool WaitFor(const std::string& needle, Clock::duration timeout, size_t count = 1, bool on_stdout = false);

 private:
  void Poll();
  fs::path out_path_;
  fs::path err_path_;
  pid_t pid_ = -1;
  std::optional<int> status_;
};

struct RunResult {
  std::optional<int> status;  // empty: killed after the time-out
  std::string out;
  std::string err;
};

// Runs a command to its end, at most `timeout`.
RunResult RunToEnd(const fs::path& log_dir, const std::string& name, const std::vector<std::string>& args,
                   Clock::duration timeout);

uint32_t BigEndian32(const std::string& b, size_t at);

double UnixNow();

constexpr double kNtpToUnix = 2208988800.0;

// A 48-byte NTP request of the given mode (3 client, 4 server), version 4.
std::string NtpPacket(int mode);

// A 24-byte request of the private protocol (send time zero).
std::string MdlRequest();

// Transmit time of an NTP reply, in Unix seconds.
double NtpTransmitUnix(const std::string& reply);

// Upstream NTP server: chronyd on 127.0.0.1:port (or [::1]:port), stratum 1,
// clock left alone.
class Upstream {
 public:
  Upstream(const fs::path& dir, uint16_t port, const std::string& name = "chronyd", bool v6 = false,
           int stratum = 1);
  void Start();
  // Answers a client request within `timeout`.
  bool WaitServing(Clock::duration timeout);
  Process& process() { return *proc_; }
  uint16_t port() const { return port_; }

 private:
  fs::path dir_;
  uint16_t port_;
  std::string name_;
  bool v6_ = false;
  int stratum_ = 1;
  std::unique_ptr<Process> proc_;
};

struct ServicePorts {
  uint16_t time = 0, ntp = 0, unix_time = 0, mdl = 0, daytime = 0;
};

ServicePorts FreeServicePorts();

std::string ServiceValue(uint16_t port);

// Writes the upstream list (one server: 127.0.0.1:upstream_port) and the settings of the server.
void WriteServerHome(const fs::path& home, uint16_t upstream_port, const ServicePorts& ports,
                     const std::string& interval = "59:Minute/s", const std::string& julian = "YES",
                     const std::string& extra_values = "", bool upstream_v6 = false);

// `virtual_clock` false: without --virtual-clock (the child still lacks the
// right to set the clock, so the server holds the time in the process).
std::vector<std::string> ServerArgs(const fs::path& home, bool virtual_clock = true);

constexpr const char* kSynced = "MDL Server is now Synchronized to Atomic Time.";

size_t OpenFdCount(pid_t pid);

// A chronyd upstream and our server synchronised from it, in one temporary folder.
struct ServerRig {
  TempDir dir;
  uint16_t upstream_port = FreePort();
  ServicePorts ports = FreeServicePorts();
  std::unique_ptr<Upstream> upstream;
  std::unique_ptr<Process> server;
  bool upstream_v6 = false;  // chronyd on [::1], listed as such
  int upstream_stratum = 1;
  std::vector<std::string> environment;  // NAME=value for the server
  bool virtual_clock = true;

  fs::path home() const { return dir.path() / "home"; }

  ::testing::AssertionResult Start(const std::string& interval = "59:Minute/s",
                                   const std::string& julian = "YES", const std::string& extra_values = "");

  // SIGTERM: the server must end with 0, reporting no sanitizer fault.
  ::testing::AssertionResult StopCleanly();
};

}  // namespace mdl::e2e
