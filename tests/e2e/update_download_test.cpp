// End-to-end: a server on an empty program folder fetches its server list
// from the update host (a local web server), synchronises from the chronyd
// the list names and serves, with no other step.
#include "tests/e2e/harness.h"

namespace mdl::e2e {
namespace {

TEST(UpdateDownloadTest, EmptyProgramFolderFetchesTheListSynchronisesAndServes) {
  for (auto [path, package] :
       {std::pair{"/usr/bin/setpriv", "util-linux"}, std::pair{"/usr/sbin/chronyd", "chrony"},
        std::pair{"/usr/bin/python3", "python3"}}) {
    ASSERT_TRUE(HavePeer(path, package));
  }
  ASSERT_TRUE(fs::exists(ProgramDir() / "QOR_MDL_Server_SVC"))
      << "no server program in MDL_BIN=" << ProgramDir();
  TempDir dir;
  const uint16_t upstream_port = FreePort();
  Upstream upstream(dir.path(), upstream_port);
  ASSERT_TRUE(upstream.WaitServing(10s)) << "chronyd does not serve:\n" << upstream.process().Err();

  // The update host: the version file and a list naming the chronyd.
  const fs::path web = dir.path() / "web";
  fs::create_directories(web / "Meridel");
  const std::string list =
      "Meridel server list\nline 2\nline 3\nline 4\nline 5\n127.0.0.1:" + std::to_string(upstream_port) +
      ":::Local chronyd - NA:::2:::us\n";
  ASSERT_TRUE(WriteFile(web / "Meridel" / "QOR_MDLS4.MDL", list));
  ASSERT_TRUE(WriteFile(web / "Meridel" / "MDLVCS4.IPF",
                        "MDL-:-5.1.10-:-2026-:-x-:-" + std::to_string(list.size()) + "-:-end\r\n"));
  const uint16_t web_port = testing::FreeTcpPort();
  Process http(dir.path(), "http",
               {"/usr/bin/python3", "-m", "http.server", std::to_string(web_port), "--bind", "127.0.0.1",
                "--directory", web.string()});
  const auto end = Clock::now() + 10s;
  while (!TcpConnect(web_port, 200ms).valid() && Clock::now() < end) std::this_thread::sleep_for(50ms);
  ASSERT_TRUE(TcpConnect(web_port).valid()) << "python3 http.server does not listen:\n" << http.Err();

  // The settings live outside the folder, which is empty.
  const fs::path home = dir.path() / "home";
  fs::create_directories(home);
  const ServicePorts ports = FreeServicePorts();
  const fs::path registry = dir.path() / "registry.reg";
  ASSERT_TRUE(WriteFile(registry,
                        "Windows Registry Editor Version 5.00\r\n\r\n"
                        "[HKEY_LOCAL_MACHINE\\Software\\Meridel Server]\r\n"
                        "\"Settings\"=\"NO:59:Minute/s:NA:36\"\r\n"
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
                            "\"UpdateHost\"=\"127.0.0.1:" +
                            std::to_string(web_port) + "\"\r\n"));
  ASSERT_TRUE(fs::is_empty(home));
  std::vector<std::string> args = ServerArgs(home);
  args.insert(args.end(), {"--registry", registry.string()});
  Process server(dir.path(), "server", args);
  ASSERT_TRUE(server.WaitFor(kSynced, 20s)) << "server did not synchronise; its stderr:\n" << server.Err();
  EXPECT_EQ(ReadFile(home / "QOR_MDLS4.MDL"), list);
  EXPECT_NE(server.Err().find("server list downloaded from 127.0.0.1:" + std::to_string(web_port)),
            std::string::npos)
      << server.Err();
  EXPECT_NE(http.Err().find("GET /Meridel/MDLVCS4.IPF HTTP/1.1"), std::string::npos) << http.Err();

  // It serves: an NTP reply of stratum 2.
  auto reply = UdpAskText(ports.ntp, NtpPacket(3), 2000ms);
  ASSERT_TRUE(reply && reply->size() == 48) << "no NTP reply from the server";
  EXPECT_EQ((*reply)[1], 2);

  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(10s), std::optional<int>(0)) << server.Err();
  EXPECT_EQ(server.Err().find("runtime error:"), std::string::npos) << server.Err();
}

}  // namespace
}  // namespace mdl::e2e
