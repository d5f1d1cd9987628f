// End-to-end: single instance per folder, settings saved at SIGTERM, corrupt
// settings moved aside, command-line status codes, pause and continue.

#include <regex>
#include <sstream>

#include "tests/e2e/harness.h"

namespace mdl::e2e {
namespace {

std::string HostName() {
  char name[256] = {};
  ::gethostname(name, sizeof name - 1);
  return name;
}

// A server on `home` without the right to bind ports below 1024 (the defaults
// 13, 37, 123 and 519 then fail to open, which is reported and tolerated).
std::unique_ptr<Process> StartUnprivileged(const fs::path& dir, const std::string& name,
                                           const fs::path& home) {
  return std::make_unique<Process>(dir, name, ServerArgs(home), "net_bind_service");
}

// A server list naming a loopback port where nothing answers: with no list
// the server would fetch one from its update host, off this machine.
void WriteLoopbackList(const fs::path& home) {
  WriteFile(home / "QOR_MDLS4.MDL", "list\n-\n-\n-\n-\n127.0.0.1:9:::Nobody - NA:::2:::us\n");
}

// The server has opened its listeners once it reports the binds.
bool WaitStarted(Process& p) { return p.WaitFor("MDL Server starting", 10s); }

TEST(ProgramBehaviourTest, FirstStartSavesTheDefaultsAndSecondInstanceEndsAtOnce) {
  ASSERT_TRUE(HavePeer("/usr/bin/setpriv", "util-linux"));
  TempDir dir;
  const fs::path home = dir.path() / "home";
  fs::create_directories(home);
  WriteLoopbackList(home);
  auto first = StartUnprivileged(dir.path(), "first", home);
  ASSERT_TRUE(WaitStarted(*first)) << "first instance did not start:\n" << first->Err();

  Process second(dir.path(), "second", ServerArgs(home), "net_bind_service");
  EXPECT_EQ(second.Wait(3s), std::optional<int>(0))
      << "second instance on the same folder should end with 0 at once:\n"
      << second.Err();
  EXPECT_TRUE(first->Running()) << "the second instance stopped the first one";

  first->Signal(SIGTERM);
  ASSERT_EQ(first->Wait(5s), std::optional<int>(0)) << "server did not stop with 0 on SIGTERM:\n"
                                                    << first->Err();
  EXPECT_NE(first->Err().find("stopping on SIGTERM"), std::string::npos) << first->Err();

  const std::string expected =
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Meridel Server]\r\n"
      "\"Settings\"=\"YES:59:Minutes/s:NA:36\"\r\n"
      "\"MDLServer\"=\"" +
      HostName() +
      "\"\r\n"
      "\"OpenMinimized\"=\"NO\"\r\n"
      "\"NTP37\"=\"YES:YES:YES:37\"\r\n"
      "\"EnableLogging\"=\"YES\"\r\n"
      "\"SNTP123\"=\"YES:YES:YES:123\"\r\n"
      "\"UNIX519\"=\"YES:YES:NO:519\"\r\n"
      "\"MDL3777\"=\"YES:YES:NO:3777\"\r\n"
      "\"DTS13\"=\"NO:YES:YES:13\"\r\n"
      "\"UseJulian\"=\"YES\"\r\n";
  std::string saved = ReadFile(home / "registry.reg");
  // Line ends may be LF or CRLF; compare the lines.
  std::string normal_saved = std::regex_replace(saved, std::regex("\r\n"), "\n");
  std::string normal_expected = std::regex_replace(expected, std::regex("\r\n"), "\n");
  EXPECT_EQ(normal_saved.substr(0, normal_expected.size()), normal_expected)
      << "the first start should save the ten default values in table order; file:\n"
      << saved;
}

TEST(ProgramBehaviourTest, CorruptSettingsAreMovedAsideAndDefaultsUsed) {
  ASSERT_TRUE(HavePeer("/usr/bin/setpriv", "util-linux"));
  TempDir dir;
  const fs::path home = dir.path() / "home";
  fs::create_directories(home);
  WriteLoopbackList(home);
  WriteFile(home / "registry.reg", "this is \x01 not [a registry file\n\"=\"\"\n[[[\n");
  auto server = StartUnprivileged(dir.path(), "server", home);
  ASSERT_TRUE(WaitStarted(*server)) << "server did not start on a corrupt settings file:\n" << server->Err();
  ASSERT_TRUE(server->WaitFor("corrupt", 5s)) << "corrupt settings file not reported on stderr:\n"
                                              << server->Err();
  EXPECT_TRUE(server->Running()) << "server ended after a corrupt settings file:\n" << server->Err();
  size_t moved = 0;
  for (const auto& e : fs::directory_iterator(home)) {
    if (e.path().filename().string().rfind("registry.reg.corrupt-", 0) == 0) {
      ++moved;
      EXPECT_EQ(ReadFile(e.path()).substr(0, 7), "this is") << "the moved file is not the corrupt one";
    }
  }
  EXPECT_EQ(moved, 1u) << "expected one registry.reg.corrupt-* file in " << home;
  server->Signal(SIGTERM);
  ASSERT_EQ(server->Wait(5s), std::optional<int>(0)) << server->Err();
  EXPECT_NE(ReadFile(home / "registry.reg").find("\"Settings\"=\"YES:59:Minutes/s:NA:36\""),
            std::string::npos)
      << "the defaults were not saved after the corrupt file";
}

TEST(ProgramBehaviourTest, HelpSucceedsAndUnknownOptionIsBadUsage) {
  ASSERT_TRUE(HavePeer("/usr/bin/setpriv", "util-linux"));
  TempDir dir;
  for (const char* program : {"QOR_MDL_Server_SVC", "QOR_MDLSC_SVC"}) {
    SCOPED_TRACE(program);
    const std::string path = (ProgramDir() / program).string();
    RunResult help = RunToEnd(dir.path(), "help", {path, "--help"}, 5s);
    EXPECT_EQ(help.status, std::optional<int>(0)) << program << " --help:\n" << help.err;
    EXPECT_NE((help.out + help.err).find("Usage"), std::string::npos)
        << program << " --help printed no usage";
    RunResult bogus = RunToEnd(dir.path(), "bogus", {path, "--bogus", "--home", dir.path().string()}, 5s);
    EXPECT_EQ(bogus.status, std::optional<int>(2)) << program << " --bogus should be bad usage (2):\n"
                                                   << bogus.err;
    // A switch elsewhere than first would be ignored and the program run instead.
    RunResult late = RunToEnd(dir.path(), "late", {path, "--home", dir.path().string(), "-debug"}, 5s);
    EXPECT_EQ(late.status, std::optional<int>(2)) << program << " with a late switch:\n" << late.err;
    EXPECT_NE(late.err.find("-debug must be the first argument"), std::string::npos) << late.err;
    // A mistyped first switch is bad usage too: run, it would start the
    // program, or end at the running instance's lock as if it had worked.
    for (const char* typo : {"-unistall", "-instal", "-stauts", "-RS"}) {
      RunResult bad = RunToEnd(dir.path(), "typo", {path, typo, "--home", dir.path().string()}, 5s);
      EXPECT_EQ(bad.status, std::optional<int>(2)) << program << " " << typo << ":\n" << bad.err;
      EXPECT_NE(bad.err.find(std::string("unknown switch ") + typo), std::string::npos) << bad.err;
      EXPECT_NE(bad.err.find("Usage"), std::string::npos) << bad.err;
    }
  }
}

// --help is what an administrator reads first: after the usage line it says
// what the program is, which ports it serves or asks, where its settings
// live and which manual pages say more. The desktop programs are checked
// when the build has them (they need Qt).
TEST(ProgramBehaviourTest, HelpSaysWhatTheProgramIsItsPortsSettingsAndManualPages) {
  struct Expected {
    const char* program;
    std::vector<std::string> lines;
  };
  const std::vector<std::string> server_ports = {"Daytime 13",   "Time 37", "NTP 123",
                                                 "UnixTime 519", "3777",    "TCP and UDP"};
  std::vector<Expected> cases = {
      {"QOR_MDL_Server_SVC", server_ports},
      {"QOR_MDLSC_SVC", {"time client", "TCP port 3777", "serves no port"}},
      {"QOR_MDL_Server", server_ports},
      {"QOR_MDLSC", {"time client", "TCP port 3777", "serves no port"}},
  };
  cases[0].lines.insert(cases[0].lines.end(), {"Meridel Server]", "systemctl reload MDLServer"});
  cases[1].lines.push_back("Meridel]");
  cases[2].lines.push_back("Meridel Server]");
  cases[3].lines.push_back("Meridel]");
  TempDir dir;
  int checked = 0;
  for (const Expected& c : cases) {
    SCOPED_TRACE(c.program);
    const fs::path path = ProgramDir() / c.program;
    if (!fs::exists(path) && std::string_view(c.program).find("_SVC") == std::string_view::npos) continue;
    ++checked;
    RunResult help = RunToEnd(dir.path(), "help", {path.string(), "--help"}, 5s);
    ASSERT_EQ(help.status, std::optional<int>(0)) << help.err;
    EXPECT_EQ(help.out.rfind(std::string("Usage: ") + c.program + " ", 0), 0u)
        << "the usage line is no longer first:\n"
        << help.out;
    std::vector<std::string> wanted = c.lines;
    wanted.insert(wanted.end(),
                  {"registry.reg", "Settings: ", std::string("man ") + c.program, "man 5 meridel-settings"});
    for (const std::string& line : wanted) {
      EXPECT_NE(help.out.find(line), std::string::npos) << "no \"" << line << "\" in:\n" << help.out;
    }
    // The help goes to the terminal as it is: no line wider than one.
    std::istringstream lines(help.out);
    for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 100u) << line;
  }
  EXPECT_GE(checked, 2);
}

// In a container without the right to set the clock: the server serves the
// upstream's time held in the process and says so at warning priority.
TEST(ProgramBehaviourTest, WithoutTheRightToSetTheClockItServesAndWarns) {
  ServerRig rig;
  rig.virtual_clock = false;  // the child runs without CAP_SYS_TIME all the same
  ASSERT_TRUE(rig.Start());
  ASSERT_TRUE(rig.server->WaitFor("cannot set the machine's clock", 5s)) << rig.server->Err();
  EXPECT_NE(rig.server->Err().find("the time is served without setting it"), std::string::npos)
      << rig.server->Err();
  auto reply = UdpAskText(rig.ports.ntp, NtpPacket(3), 2s);
  ASSERT_TRUE(reply && reply->size() == 48) << "no NTP answer with the time held in the process";
  EXPECT_NE(static_cast<uint8_t>((*reply)[1]), 16) << "served as unsynchronised";
  EXPECT_TRUE(rig.StopCleanly());
}

TEST(ProgramBehaviourTest, PauseLeavesRequestsUnansweredUntilContinue) {
  ServerRig rig;
  ASSERT_TRUE(rig.Start());
  ASSERT_TRUE(UdpAskText(rig.ports.time, "", 2s).has_value()) << "Time/UDP does not answer before the pause";
  rig.server->Signal(SIGUSR1);
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(UdpAskText(rig.ports.time, "", 1500ms).has_value()) << "answered while paused by SIGUSR1";
  rig.server->Signal(SIGUSR2);
  bool answered = false;
  for (auto end = Clock::now() + 3s; !answered && Clock::now() < end;)
    answered = UdpAskText(rig.ports.time, "", 500ms).has_value();
  EXPECT_TRUE(answered) << "no answer after SIGUSR2:\n" << rig.server->Err();
  EXPECT_TRUE(rig.server->Running());
  EXPECT_TRUE(rig.StopCleanly());
}

}  // namespace
}  // namespace mdl::e2e
