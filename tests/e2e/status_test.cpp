// End-to-end: `-status` of the running server and client, as text and as
// JSON (read by python3's json module), against the requests really sent.
#include <regex>

#include "tests/e2e/harness.h"

namespace mdl::e2e {
namespace {

RunResult Status(const fs::path& dir, const std::string& program, const fs::path& home, bool json = false) {
  std::vector<std::string> args = {(ProgramDir() / program).string(), "-status", "--home", home.string()};
  if (json) args.push_back("--json");
  return RunToEnd(dir, "status", args, 10s);
}

// The table row of a service and transport, split at runs of spaces.
std::vector<std::string> Row(const std::string& text, const std::string& service, const std::string& proto) {
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::vector<std::string> cells;
    for (std::string w; words >> w;) cells.push_back(w);
    if (cells.size() >= 8 && cells[0] == service && cells[1] == proto) return cells;
  }
  return {};
}

// `program -status --json` piped into python3, which prints what `expression` (over `d`; double
// quotes only) gives.
RunResult JsonField(const fs::path& dir, const std::string& program, const fs::path& home,
                    const std::string& expression) {
  const std::string command =
      "'" + (ProgramDir() / program).string() + "' -status --json --home '" + home.string() +
      "' | /usr/bin/python3 -c 'import json,sys; d=json.load(sys.stdin); print(" + expression + ")'";
  return RunToEnd(dir, "status_json", {"/bin/sh", "-c", command}, 10s);
}

TEST(StatusTest, ServerStatusCountsTheRequestsSentInTextAndJson) {
  ASSERT_TRUE(HavePeer("/usr/bin/python3", "python3"));
  TempDir empty;
  // Nobody runs in an empty folder: 3, said on stderr.
  RunResult none = Status(empty.path(), "QOR_MDL_Server_SVC", empty.path());
  EXPECT_EQ(none.status, 3) << none.err;
  EXPECT_NE(none.err.find("no QOR_MDL_Server_SVC runs in " + empty.path().string()), std::string::npos)
      << none.err;
  EXPECT_EQ(none.out, "");

  ServerRig rig;
  ASSERT_TRUE(rig.Start());
  ASSERT_TRUE(fs::exists(rig.home() / "control.sock"));
  constexpr int kNtp = 7;
  constexpr int kTime = 4;
  for (int i = 0; i < kNtp; ++i) {
    const auto reply = UdpAskText(rig.ports.ntp, NtpPacket(3), 2000ms);
    ASSERT_TRUE(reply.has_value() && reply->size() == 48) << "NTP request " << i << " got no reply";
  }
  for (int i = 0; i < kTime; ++i) {
    const auto reply = TcpAskText(rig.ports.time, "", 2000ms);
    ASSERT_TRUE(reply.has_value() && reply->data.size() == 4) << "Time request " << i << " got no reply";
  }
  // A datagram in server mode is counted and dropped (not a client request).
  EXPECT_FALSE(UdpAskText(rig.ports.ntp, NtpPacket(4), 300ms).has_value());

  // Snapshots come up to a second apart: ask until the counts show, bounded.
  RunResult text;
  std::vector<std::string> ntp_udp, time_tcp;
  for (auto end = Clock::now() + 10s; Clock::now() < end; std::this_thread::sleep_for(200ms)) {
    text = Status(rig.dir.path(), "QOR_MDL_Server_SVC", rig.home());
    ASSERT_EQ(text.status, 0) << text.err;
    ntp_udp = Row(text.out, "NTP", "UDP");
    time_tcp = Row(text.out, "Time", "TCP");
    if (ntp_udp.size() >= 8 && time_tcp.size() >= 8 && ntp_udp[5] == std::to_string(kNtp + 1) &&
        time_tcp[5] == std::to_string(kTime) && ntp_udp[7] == "1")
      break;
  }
  ASSERT_GE(ntp_udp.size(), 10u) << text.out;
  ASSERT_GE(time_tcp.size(), 10u) << text.out;
  // received, answered, dropped; then the state.
  EXPECT_EQ(ntp_udp[5], std::to_string(kNtp + 1)) << text.out;
  EXPECT_EQ(ntp_udp[6], std::to_string(kNtp)) << text.out;
  EXPECT_EQ(ntp_udp[7], "1") << text.out;
  EXPECT_EQ(ntp_udp[4], std::to_string(rig.ports.ntp)) << text.out;
  EXPECT_EQ(ntp_udp[9], "open") << text.out;
  EXPECT_EQ(time_tcp[5], std::to_string(kTime)) << text.out;
  EXPECT_EQ(time_tcp[6], std::to_string(kTime)) << text.out;
  EXPECT_NE(text.out.find("NTP       UDP  not a client request   1"), std::string::npos) << text.out;
  EXPECT_TRUE(std::regex_search(
      text.out, std::regex(R"(\nSynchronised +: yes, since \d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\n)")))
      << text.out;
  EXPECT_TRUE(std::regex_search(text.out, std::regex(R"(\nUpstream +: .*127\.0\.0\.1)"))) << text.out;
  EXPECT_TRUE(std::regex_search(text.out, std::regex(R"(\nServed stratum +: 2\n)"))) << text.out;
  std::cout << "-status of the e2e server:\n" << text.out;

  RunResult json =
      JsonField(rig.dir.path(), "QOR_MDL_Server_SVC", rig.home(),
                "d[\"synchronised\"], d[\"served\"][\"stratum\"], d[\"upstream\"][\"address\"], "
                "[(s[\"udp\"][\"received\"], s[\"udp\"][\"answered\"], "
                "s[\"udp\"][\"dropped\"][\"not_client_request\"], "
                "s[\"tcp\"][\"received\"]) for s in d[\"services\"] if s[\"service\"] == \"ntp\"], "
                "[(s[\"tcp\"][\"received\"], s[\"tcp\"][\"answered\"]) for s in d[\"services\"] if "
                "s[\"service\"] == \"time\"], type(d[\"taken_at_unix\"]).__name__, d[\"paused\"]");
  EXPECT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(json.out, "True 2 127.0.0.1 [(" + std::to_string(kNtp + 1) + ", " + std::to_string(kNtp) +
                          ", 1, 0)] [(" + std::to_string(kTime) + ", " + std::to_string(kTime) +
                          ")] int False\n")
      << json.err;

  const RunResult raw = Status(rig.dir.path(), "QOR_MDL_Server_SVC", rig.home(), true);
  EXPECT_EQ(raw.status, 0) << raw.err;
  EXPECT_EQ(raw.out.substr(0, 2), "{\"") << raw.out;
  std::cout << "-status --json of the e2e server:\n" << raw.out;

  // Asking counts as no request and changes nothing.
  RunResult again = Status(rig.dir.path(), "QOR_MDL_Server_SVC", rig.home());
  EXPECT_EQ(Row(again.out, "NTP", "UDP"), ntp_udp) << again.out;
  EXPECT_TRUE(std::regex_search(again.out, std::regex(R"(\nPaused +: no\n)"))) << again.out;

  ASSERT_TRUE(rig.StopCleanly());
  EXPECT_FALSE(fs::exists(rig.home() / "control.sock")) << "the control socket outlived the server";
  RunResult after = Status(rig.dir.path(), "QOR_MDL_Server_SVC", rig.home());
  EXPECT_EQ(after.status, 3) << after.out << after.err;
}

TEST(StatusTest, ClientStatusAnswersWhileItRuns) {
  ASSERT_TRUE(HavePeer("/usr/bin/python3", "python3"));
  ServerRig rig;
  ASSERT_TRUE(rig.Start());
  const fs::path home = rig.dir.path() / "client";
  fs::create_directories(home);
  WriteFile(home / "registry.reg",
            "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Meridel]\r\n"
            "\"MDLClient\"=\"127.0.0.1:" +
                std::to_string(rig.ports.mdl) + ":5:Minute/s:NO\"\r\n\r\n");
  RunResult none = Status(rig.dir.path(), "QOR_MDLSC_SVC", home);
  EXPECT_EQ(none.status, 3) << none.err;
  EXPECT_NE(none.err.find("no QOR_MDLSC_SVC runs in "), std::string::npos) << none.err;

  Process client(
      rig.dir.path(), "client",
      {(ProgramDir() / "QOR_MDLSC_SVC").string(), "-debug", "--home", home.string(), "--virtual-clock"});
  RunResult text;
  for (auto end = Clock::now() + 10s; Clock::now() < end; std::this_thread::sleep_for(200ms)) {
    text = Status(rig.dir.path(), "QOR_MDLSC_SVC", home);
    if (text.status == 0 && text.out.find("Last exchange   : synchronised") != std::string::npos) break;
  }
  EXPECT_EQ(text.status, 0) << text.err << client.Err();
  EXPECT_NE(text.out.find("Server          : 127.0.0.1:" + std::to_string(rig.ports.mdl)), std::string::npos)
      << text.out;
  EXPECT_NE(text.out.find("Last exchange   : synchronised"), std::string::npos) << text.out << client.Err();
  EXPECT_TRUE(
      std::regex_search(text.out, std::regex(R"(Clock set to    : \d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\n)")))
      << text.out;
  std::cout << "-status of the e2e client:\n" << text.out;

  RunResult json = JsonField(rig.dir.path(), "QOR_MDLSC_SVC", home,
                             "d[\"server_port\"], d[\"interval_s\"], d[\"last_outcome\"], d[\"last_error\"]");
  EXPECT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(json.out, std::to_string(rig.ports.mdl) + " 300 synchronised None\n") << json.err;

  client.Signal(SIGTERM);
  EXPECT_EQ(client.Wait(10s), 0) << client.Err();
  EXPECT_FALSE(fs::exists(home / "client-control.sock"));
  EXPECT_EQ(Status(rig.dir.path(), "QOR_MDLSC_SVC", home).status, 3);
  ASSERT_TRUE(rig.StopCleanly());
}

}  // namespace
}  // namespace mdl::e2e
