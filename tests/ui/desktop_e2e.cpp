// End to end under Xvfb: the built QOR_MDL_Server with a tray (trayer in the
// display), a chronyd upstream and a real NTP client. Without a display the
// test starts its own Xvfb.
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"
#include "tests/ui/xvfb_main.h"

namespace mdl::e2e {
namespace {

// Runs `xwininfo -root -tree` in the display.
std::string WindowTree(const fs::path& dir) {
  return RunToEnd(dir, "xwininfo", {"/usr/bin/xwininfo", "-root", "-tree"}, 10s).out;
}

// The tray panel of trayer holds a window of our program: the tray icon.
bool TrayHoldsOurIcon(const std::string& tree) {
  const size_t panel = tree.find("(\"panel\" \"trayer\")");
  if (panel == std::string::npos) return false;
  // The panel's children are listed right after it, more deeply indented.
  const size_t next_top = tree.find("\n     0x", panel);
  const std::string children =
      tree.substr(panel, next_top == std::string::npos ? std::string::npos : next_top - panel);
  return children.find("(\"QOR_MDL_Server\" \"QOR_MDL_Server\")") != std::string::npos;
}

std::optional<double> ChronyOffset(const fs::path& dir, uint16_t port, std::string* log) {
  RunResult r = RunToEnd(dir, "chronyd_q",
                         {"/usr/sbin/chronyd", "-Q", "-t", "5",
                          "server 127.0.0.1 port " + std::to_string(port) + " iburst maxsamples 1"},
                         10s);
  *log = r.err + r.out;
  std::smatch m;
  static const std::regex kWrong(R"(System clock wrong by (-?[0-9.]+) seconds)");
  if (!std::regex_search(*log, m, kWrong)) return std::nullopt;
  return std::stod(m[1].str());
}

TEST(DesktopServerTest, SynchronisesServesLivesInTheTrayAndSavesOnClose) {
  ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "no display (Xvfb did not start)";
  for (auto [path, package] :
       {std::pair{"/usr/bin/trayer", "trayer"}, std::pair{"/usr/bin/xwininfo", "x11-utils"},
        std::pair{"/usr/sbin/chronyd", "chrony"}, std::pair{"/usr/bin/setpriv", "util-linux"}})
    ASSERT_TRUE(HavePeer(path, package));
  const fs::path program = ProgramDir() / "QOR_MDL_Server";
  ASSERT_TRUE(fs::exists(program)) << "no desktop server in MDL_BIN=" << ProgramDir();

  TempDir dir;
  const fs::path home = dir.path() / "home";
  fs::create_directories(home);
  fs::create_directories(dir.path() / "runtime");
  fs::permissions(dir.path() / "runtime", fs::perms::owner_all, fs::perm_options::replace);
  setenv("XDG_RUNTIME_DIR", (dir.path() / "runtime").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (dir.path() / "config").c_str(), 1);
  // Under the sanitizers: leaks of the system libraries Qt loads are not ours.
  if (const char* src = std::getenv("MDL_SOURCE")) {
    std::string lsan = std::getenv("LSAN_OPTIONS") ? std::string(std::getenv("LSAN_OPTIONS")) + ":" : "";
    setenv("LSAN_OPTIONS", (lsan + "suppressions=" + src + "/tests/ui/lsan.supp").c_str(), 1);
  }

  Process trayer(dir.path(), "trayer",
                 {"/usr/bin/trayer", "--edge", "bottom", "--align", "right", "--widthtype", "request",
                  "--height", "24", "--transparent", "false"});
  ASSERT_TRUE(trayer.started());
  const auto tray_deadline = Clock::now() + 10s;
  while (WindowTree(dir.path()).find("(\"panel\" \"trayer\")") == std::string::npos) {
    ASSERT_LT(Clock::now(), tray_deadline) << "trayer shows no panel; its stderr:\n" << trayer.Err();
    std::this_thread::sleep_for(100ms);
  }

  const uint16_t upstream_port = FreePort();
  Upstream upstream(dir.path(), upstream_port);
  ASSERT_TRUE(upstream.WaitServing(10s)) << upstream.process().Err();
  const ServicePorts ports = FreeServicePorts();
  WriteServerHome(home, upstream_port, ports, "59:Minute/s", "YES", "\"EnableLogging\"=\"NO\"\r\n");

  Process server(dir.path(), "server", {program.string(), "-rs", "--home", home.string(), "--virtual-clock"});
  ASSERT_TRUE(server.WaitFor("MDL Server is Synchronized.", 20s))
      << "no synchronisation within 20 s; stderr:\n"
      << server.Err();

  // A real NTP client is answered.
  std::string log;
  auto offset = ChronyOffset(dir.path(), ports.ntp, &log);
  ASSERT_TRUE(offset.has_value()) << "chronyd -Q got no answer from the desktop server:\n" << log;
  EXPECT_LT(std::fabs(*offset), 0.01);

  // "-rs": the window is in the tray.
  bool in_tray = false;
  std::string tree;
  for (auto end = Clock::now() + 10s; Clock::now() < end && !in_tray; std::this_thread::sleep_for(100ms)) {
    tree = WindowTree(dir.path());
    in_tray = TrayHoldsOurIcon(tree);
  }
  EXPECT_TRUE(in_tray) << "no tray icon of ours in trayer's panel:\n" << tree;

  // A second copy on the same folder ends at once, silently.
  RunResult second =
      RunToEnd(dir.path(), "second", {program.string(), "--home", home.string(), "--virtual-clock"}, 10s);
  EXPECT_EQ(second.status, 0);
  EXPECT_EQ(second.err.find("starting"), std::string::npos) << second.err;

  // Closing (SIGTERM closes the window): settings saved, logging on as after every start.
  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(15s), 0) << server.Err();
  EXPECT_EQ(server.Err().find("Sanitizer"), std::string::npos) << server.Err();
  const std::string saved = ReadFile(home / "registry.reg");
  EXPECT_NE(saved.find("\"EnableLogging\"=\"YES\""), std::string::npos) << saved;
  EXPECT_NE(saved.find("\"SNTP123\"=\"YES:YES:YES:" + std::to_string(ports.ntp) + "\""), std::string::npos)
      << saved;
  // The tray icon went with the window.
  EXPECT_FALSE(TrayHoldsOurIcon(WindowTree(dir.path())));

  trayer.Signal(SIGTERM);
  trayer.Wait(5s);
}

}  // namespace
}  // namespace mdl::e2e

int main(int argc, char** argv) { return mdl::e2e::RunUnderDisplay(argc, argv); }
