// The units written by -install: systemd's own checks accept them
// (systemd-analyze verify, and an exposure of at most 2.0 for a home under
// /var/lib, 2.2 for any other), odd paths are quoted or refused, and the
// package's program keeps its state under /var/lib.
#include "server/hosting/unit_file.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <tuple>

#include "common/files/safe_file.h"
#include "server/hosting/service_install.h"
#include "tests/support/temp_dir.h"

namespace mdl::service {
namespace {

namespace fs = std::filesystem;

bool Has(const std::string& text, const std::string& line) {
  return text.find("\n" + line + "\n") != std::string::npos;
}

// systemd-analyze on `text` written as <name>.service in a fresh folder.
CommandResult Analyze(const std::string& name, const std::string& text, std::vector<std::string> args) {
  testing::TempDir dir("mdl-unit");
  const fs::path unit = dir.path() / (name + ".service");
  EXPECT_TRUE(testing::WriteFile(unit, text));
  std::vector<std::string> argv = {"systemd-analyze"};
  argv.insert(argv.end(), args.begin(), args.end());
  argv.push_back(unit.string());
  return RunCommand(argv, std::chrono::seconds(60));
}

TEST(UnitFile, ServerAndClientUnitsPassSystemdChecksWithLowExposure) {
  struct Case {
    const ServiceIdentity* id;
    fs::path home;
    std::string threshold;  // exposure x 10 that must not be exceeded
  };
  for (const Case& c : {Case{&kServerService, "/var/lib/meridel/server", "20"},
                        Case{&kClientService, "/var/lib/meridel/client", "20"},
                        Case{&kServerService, "/opt/meridel", "22"}}) {
    SCOPED_TRACE(std::string(c.id->name) + " " + c.home.string());
    const UnitText unit = MakeUnitFile(*c.id, "/bin/true", c.home);
    ASSERT_EQ(unit.error, "");
    const std::string& t = unit.text;
    EXPECT_EQ(t.rfind(UnitMarker(*c.id) + "\n", 0), 0u);
    EXPECT_TRUE(Has(t, "Type=notify"));
    EXPECT_TRUE(Has(t, "WatchdogSec=30s"));
    EXPECT_TRUE(Has(t, "Restart=on-failure"));
    EXPECT_EQ(Has(t, "ExecReload=/bin/kill -HUP $MAINPID"), c.id->serves)
        << "only the server re-reads on SIGHUP";
    EXPECT_TRUE(Has(t, "ExecStart=\"/bin/true\" --home \"" + c.home.string() + "\""));
    EXPECT_TRUE(Has(
        t, "Description=" + std::string(c.id->display_name) + " (" + std::string(c.id->description) + ")"));
    EXPECT_TRUE(Has(t, "SyslogIdentifier=" + std::string(c.id->program)));
    EXPECT_TRUE(Has(t, c.id->serves ? "CapabilityBoundingSet=CAP_SYS_TIME CAP_NET_BIND_SERVICE"
                                    : "CapabilityBoundingSet=CAP_SYS_TIME"));
    if (c.home.string().rfind("/var/lib/", 0) == 0) {
      EXPECT_TRUE(Has(t, "DynamicUser=yes"));
      EXPECT_TRUE(Has(t, "StateDirectory=\"" + c.home.lexically_relative("/var/lib").string() + "\""));
    } else {
      EXPECT_TRUE(Has(t, "ReadWritePaths=\"" + c.home.string() + "\""));
      EXPECT_EQ(t.find("DynamicUser"), std::string::npos);
    }

    const CommandResult verify = Analyze(std::string(c.id->name), t, {"verify", "--man=no"});
    ASSERT_TRUE(verify.started) << "systemd-analyze is missing: install the Debian package 'systemd'";
    EXPECT_EQ(verify.status, 0) << verify.output;
    EXPECT_EQ(verify.output, "") << "systemd-analyze verify complained";
    const CommandResult security =
        Analyze(std::string(c.id->name), t,
                {"security", "--offline=yes", "--no-pager", "--threshold=" + c.threshold});
    EXPECT_EQ(security.status, 0) << "exposure above " << c.threshold << "/10:\n" << security.output;
    EXPECT_NE(security.output.find("Overall exposure level"), std::string::npos) << security.output;
  }
}

// The umask a unit sets, from its UMask= line.
mode_t UnitUmask(const std::string& text) {
  const size_t at = text.find("\nUMask=");
  EXPECT_NE(at, std::string::npos) << text;
  return static_cast<mode_t>(std::stoul(text.substr(at + 7, 4), nullptr, 8));
}

// The server under the package's system user: request logs in /var/log,
// mounted on <home>/Logs (the program refuses a link there), group adm, files
// readable by that group and no one else; state made by systemd, 0700.
TEST(UnitFile, SystemUserServerLogsToVarLogForGroupAdm) {
  const UnitText unit =
      MakeUnitFile(kServerService, "/bin/true", "/var/lib/meridel/server", UnitAccount::kSystemUser);
  ASSERT_EQ(unit.error, "");
  const std::string& t = unit.text;
  EXPECT_EQ(t.find("DynamicUser"), std::string::npos);
  for (const char* line :
       {"User=meridel-server", "Group=adm", "StateDirectory=\"meridel/server\"", "StateDirectoryMode=0700",
        "LogsDirectory=\"meridel/server\"", "LogsDirectoryMode=0750",
        "BindPaths=\"/var/log/meridel/server\":\"/var/lib/meridel/server/Logs\"",
        "ExecStartPre=-/bin/cp --no-clobber \"/bin/QOR_MDLS4.MDL\" "
        "\"/var/lib/meridel/server/QOR_MDLS4.MDL\""}) {
    EXPECT_TRUE(Has(t, line)) << line << "\n" << t;
  }
  const CommandResult verify = Analyze("MDLServer", t, {"verify", "--man=no"});
  ASSERT_TRUE(verify.started) << "systemd-analyze is missing: install the Debian package 'systemd'";
  EXPECT_EQ(verify.status, 0) << verify.output;
  EXPECT_EQ(verify.output, "") << "systemd-analyze verify complained";
  const CommandResult security =
      Analyze("MDLServer", t, {"security", "--offline=yes", "--no-pager", "--threshold=20"});
  EXPECT_EQ(security.status, 0) << "exposure above 2.0:\n" << security.output;

  // A log file opened as the request log opens it, under the unit's umask:
  // the group reads it, others do not.
  testing::TempDir dir("mdl-unit-logs");
  const mode_t before = ::umask(UnitUmask(t));
  files::Opened folder = files::OpenFolder(dir.path() / "Logs", true);
  ASSERT_TRUE(folder.fd.valid()) << files::ErrorText(folder.error);
  files::Opened file = files::OpenAppendAt(folder.fd.get(), "MDLS101226.LOG");
  ::umask(before);
  ASSERT_TRUE(file.fd.valid()) << files::ErrorText(file.error);
  struct stat st {};
  ASSERT_EQ(::fstat(file.fd.get(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);

  // Where the logs stay in the folder: the client (no request logs), a dynamic
  // user (whose folders only root reads), a path whose ':' BindPaths= cannot carry.
  for (const auto& [id, home, account] :
       {std::tuple{&kClientService, "/var/lib/meridel/client", UnitAccount::kSystemUser},
        std::tuple{&kServerService, "/var/lib/meridel/server", UnitAccount::kDynamicUser},
        std::tuple{&kServerService, "/var/lib/meridel/a:b", UnitAccount::kSystemUser},
        std::tuple{&kServerService, "/srv/meridel", UnitAccount::kSystemUser}}) {
    SCOPED_TRACE(home);
    const UnitText other = MakeUnitFile(*id, "/bin/true", home, account);
    ASSERT_EQ(other.error, "");
    EXPECT_EQ(other.text.find("LogsDirectory"), std::string::npos) << other.text;
    EXPECT_EQ(other.text.find("Group=adm"), std::string::npos) << other.text;
    EXPECT_EQ(UnitUmask(other.text), 077u);
  }
}

TEST(UnitFile, PathsAreQuotedAndControlCharactersRefused) {
  EXPECT_EQ(QuoteUnitWord("/opt/my \"time\" 100%\\x"), "\"/opt/my \\\"time\\\" 100%%\\\\x\"");
  const UnitText spaced =
      MakeUnitFile(kServerService, "/opt/Meridel Server/QOR_MDL_Server_SVC", "/srv/time 50%");
  ASSERT_EQ(spaced.error, "");
  EXPECT_TRUE(
      Has(spaced.text, "ExecStart=\"/opt/Meridel Server/QOR_MDL_Server_SVC\" --home \"/srv/time 50%%\""));
  const CommandResult verify = Analyze("MDLServer", spaced.text, {"verify", "--man=no"});
  // The program does not exist: verify names exactly that path, so the quoting held.
  EXPECT_NE(verify.output.find("/opt/Meridel Server/QOR_MDL_Server_SVC"), std::string::npos) << verify.output;

  for (const char* bad : {"/srv/a\nExecStartPre=/bin/sh", "/srv/tab\there"}) {
    const UnitText refused = MakeUnitFile(kServerService, "/bin/true", bad);
    EXPECT_NE(refused.error, "") << bad;
    EXPECT_EQ(refused.text, "");
  }
  EXPECT_NE(MakeUnitFile(kServerService, "relative/prog", "/srv").error, "");
  // /var/lib itself, or a path climbing out of it, is no state folder.
  EXPECT_EQ(MakeUnitFile(kServerService, "/bin/true", "/var/lib").text.find("DynamicUser"),
            std::string::npos);
  EXPECT_EQ(MakeUnitFile(kServerService, "/bin/true", "/var/lib/../etc").text.find("DynamicUser"),
            std::string::npos);
}

TEST(UnitFile, EachDirectiveEscapesWhatSystemdExpandsInIt) {
  // Arguments of ExecStart= undergo "$" substitution, its executable path and the
  // path lists do not; specifiers ("%") are expanded in all of them.
  const UnitText unit =
      MakeUnitFile(kServerService, "/opt/a$b 5%/QOR_MDL_Server_SVC", "/srv/x$USER ${HOME} 5%");
  ASSERT_EQ(unit.error, "");
  EXPECT_TRUE(
      Has(unit.text, "ExecStart=\"/opt/a$b 5%%/QOR_MDL_Server_SVC\" --home \"/srv/x$$USER $${HOME} 5%%\""))
      << unit.text;
  EXPECT_TRUE(Has(unit.text, "ReadWritePaths=\"/srv/x$USER ${HOME} 5%%\"")) << unit.text;
  const UnitText state =
      MakeUnitFile(kServerService, "/usr/lib/meridel/QOR_MDL_Server_SVC", "/var/lib/m$USER/server");
  ASSERT_EQ(state.error, "");
  EXPECT_TRUE(
      Has(state.text, "ExecStart=\"/usr/lib/meridel/QOR_MDL_Server_SVC\" --home \"/var/lib/m$$USER/server\""))
      << state.text;
  EXPECT_TRUE(Has(state.text, "StateDirectory=\"m$USER/server\"")) << state.text;

  // systemd finds the executable at the path as written, "$" and all.
  testing::TempDir dir("mdl-unit");
  const fs::path program = dir.path() / "a$b" / "QOR_MDL_Server_SVC";
  fs::create_directories(program.parent_path());
  fs::copy_file("/bin/true", program);
  const UnitText real = MakeUnitFile(kServerService, program, "/srv/x$USER");
  ASSERT_EQ(real.error, "");
  const CommandResult verify = Analyze("MDLServer", real.text, {"verify", "--man=no"});
  ASSERT_TRUE(verify.started) << "systemd-analyze is missing: install the Debian package 'systemd'";
  EXPECT_EQ(verify.status, 0) << verify.output;
  EXPECT_EQ(verify.output, "") << "systemd-analyze verify complained";

  // What a unit line cannot carry: controls (C0, DEL, C1) and bytes systemd rejects as not UTF-8.
  for (const char* bad : {"/srv/del\x7f", "/srv/c1\xc2\x85", "/srv/latin1\xe9t\xe9", "/srv/cut\xe2\x82"}) {
    SCOPED_TRACE(bad);
    const UnitText refused = MakeUnitFile(kServerService, "/bin/true", bad);
    EXPECT_NE(refused.error, "");
    EXPECT_EQ(refused.text, "");
    EXPECT_NE(MakeUnitFile(kServerService, std::string(bad) + "/prog", "/srv").error, "");
  }
  EXPECT_EQ(MakeUnitFile(kServerService, "/bin/true", "/srv/caf\xc3\xa9 \xe2\x82\xac").error, "");
}

TEST(UnitFile, ShippedUnitsAreTheUnitsInstallWritesForThePackage) {
  const fs::path source = MDL_SOURCE_DIR;
  ASSERT_TRUE(fs::exists(source / "packaging/systemd")) << source;
  for (const ServiceIdentity* id : {&kServerService, &kClientService}) {
    SCOPED_TRACE(id->name);
    const std::string shipped =
        testing::ReadFile(source / "packaging/systemd" / (std::string(id->name) + ".service"));
    // The package makes the server's system user (sysusers.d); the client runs as a dynamic user.
    const UnitText written = MakeUnitFile(*id, fs::path(kPackageProgramDir) / id->program,
                                          fs::path(kPackageStateDir) / id->state_name,
                                          id->serves ? UnitAccount::kSystemUser : UnitAccount::kDynamicUser);
    ASSERT_EQ(written.error, "");
    // Both open with comment lines of their own; the rest is the same unit.
    const size_t shipped_body = shipped.find("\n[Unit]\n");
    const size_t written_body = written.text.find("\n[Unit]\n");
    ASSERT_NE(shipped_body, std::string::npos);
    EXPECT_EQ(shipped.substr(shipped_body), written.text.substr(written_body));
  }
}

TEST(UnitFile, PackageProgramsKeepTheirStateUnderVarLib) {
  EXPECT_EQ(DefaultHome(kServerService, "/usr/lib/meridel"), fs::path("/var/lib/meridel/server"));
  EXPECT_EQ(DefaultHome(kClientService, "/usr/lib/meridel/"), fs::path("/var/lib/meridel/client"));
  EXPECT_EQ(DefaultHome(kServerService, "/opt/meridel"), fs::path("/opt/meridel"));
}

}  // namespace
}  // namespace mdl::service
