// -install and -uninstall on a systemd tree of the test's own (systemctl
// --root): the unit and its enable link appear and go, a second install
// fails and leaves the first alone, a foreign unit is never removed, and a
// missing systemctl fails cleanly. Also the signal to a running instance
// found through its lock file.
#include "server/hosting/service_install.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <ctime>
#include <string>

#include "server/hosting/instance_lock.h"
#include "tests/support/temp_dir.h"

namespace mdl::service {
namespace {

namespace fs = std::filesystem;

class ServiceInstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    target_.root = dir_.path() / "root";
    program_dir_ = dir_.path() / "bin";
    fs::create_directories(program_dir_);
    program_ = program_dir_ / "QOR_MDL_Server_SVC";
    ASSERT_TRUE(testing::WriteFile(program_, "#!/bin/sh\n"));
    ASSERT_TRUE(testing::WriteFile(program_dir_ / "QOR_MDLS4.MDL", "shipped list\n"));
    home_ = dir_.path() / "state" / "server";
  }

  testing::TempDir dir_{"mdl-install"};
  SystemdTarget target_;
  fs::path program_dir_, program_, home_;
};

TEST_F(ServiceInstallTest, InstallEnablesUninstallRemovesAndASecondInstallFails) {
  const SetupResult installed = InstallService(kServerService, program_, home_, target_);
  ASSERT_TRUE(installed.ok) << installed.detail;
  const fs::path unit = target_.UnitPath(kServerService);
  EXPECT_EQ(unit, target_.root / "etc/systemd/system/MDLServer.service");
  const std::string text = testing::ReadFile(unit);
  EXPECT_NE(text.find("ExecStart=\"" + program_.string() + "\" --home \"" + home_.string() + "\""),
            std::string::npos)
      << text;
  EXPECT_TRUE(fs::is_symlink(target_.EnableLink(kServerService)));
  EXPECT_EQ(fs::read_symlink(target_.EnableLink(kServerService)),
            fs::path("/etc/systemd/system/MDLServer.service"));
  // The home exists and holds the shipped list.
  EXPECT_EQ(testing::ReadFile(home_ / "QOR_MDLS4.MDL"), "shipped list\n");

  const SetupResult again = InstallService(kServerService, program_, dir_.path() / "elsewhere", target_);
  EXPECT_FALSE(again.ok);
  EXPECT_NE(again.detail.find("already installed"), std::string::npos) << again.detail;
  EXPECT_EQ(testing::ReadFile(unit), text) << "a failed install changed the installed unit";
  EXPECT_FALSE(fs::exists(dir_.path() / "elsewhere"));

  // The client is a unit of its own beside the server's.
  const SetupResult client =
      InstallService(kClientService, program_dir_ / "QOR_MDLSC_SVC", home_.parent_path() / "client", target_);
  ASSERT_TRUE(client.ok) << client.detail;
  EXPECT_TRUE(fs::is_symlink(target_.EnableLink(kClientService)));

  const SetupResult removed = UninstallService(kServerService, target_);
  ASSERT_TRUE(removed.ok) << removed.detail;
  EXPECT_FALSE(fs::exists(fs::symlink_status(unit)));
  EXPECT_FALSE(fs::exists(fs::symlink_status(target_.EnableLink(kServerService))));
  EXPECT_TRUE(fs::exists(target_.UnitPath(kClientService)))
      << "the server's uninstall touched the client's unit";
  EXPECT_TRUE(fs::exists(home_ / "QOR_MDLS4.MDL")) << "settings and logs stay";

  const SetupResult twice = UninstallService(kServerService, target_);
  EXPECT_FALSE(twice.ok);
  EXPECT_NE(twice.detail.find("not installed"), std::string::npos) << twice.detail;
}

// A home under /var/lib is systemd's StateDirectory=: -install leaves it to
// the first start (a folder made before draws systemd's warning and, for a
// dynamic user, a move), and the unit copies the list in then. The package's
// system user, when the target has it, runs the server with its logs in /var/log.
TEST_F(ServiceInstallTest, AStateFolderIsLeftToSystemdAndTheSystemUserIsUsedWhenPresent) {
  const fs::path state_root = "/var/lib/mdl-install-test-" + std::to_string(::getpid());
  const fs::path home = state_root / "server";
  struct Cleanup {
    fs::path path;
    ~Cleanup() {
      std::error_code ec;
      fs::remove_all(path, ec);
    }
  } cleanup{state_root};

  const SetupResult dynamic = InstallService(kServerService, program_, home, target_);
  ASSERT_TRUE(dynamic.ok) << dynamic.detail;
  EXPECT_FALSE(fs::exists(state_root)) << "-install created the state folder before systemd could";
  std::string text = testing::ReadFile(target_.UnitPath(kServerService));
  EXPECT_NE(text.find("\nDynamicUser=yes\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nExecStartPre=-/bin/cp --no-clobber \"" + (program_dir_ / "QOR_MDLS4.MDL").string() +
                      "\" \"" + (home / "QOR_MDLS4.MDL").string() + "\"\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("LogsDirectory"), std::string::npos) << "a dynamic user's logs would be root's only";
  ASSERT_TRUE(UninstallService(kServerService, target_).ok);

  // The package's sysusers.d file made the user in the target's user database.
  fs::create_directories(target_.root / "etc");
  ASSERT_TRUE(testing::WriteFile(
      target_.root / "etc/passwd",
      "root:x:0:0:root:/root:/bin/bash\n"
      "meridel-server:x:998:998:Meridel server:/var/lib/meridel/server:/usr/sbin/nologin\n"));
  const SetupResult system = InstallService(kServerService, program_, home, target_);
  ASSERT_TRUE(system.ok) << system.detail;
  EXPECT_FALSE(fs::exists(state_root));
  text = testing::ReadFile(target_.UnitPath(kServerService));
  EXPECT_EQ(text.find("DynamicUser"), std::string::npos) << text;
  EXPECT_NE(text.find("\nUser=meridel-server\nGroup=adm\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nBindPaths=\"/var/log/" + state_root.filename().string() + "/server\":\"" +
                      (home / "Logs").string() + "\"\n"),
            std::string::npos)
      << text;
  // The client has no system user there: a dynamic one, and no request logs.
  const SetupResult client =
      InstallService(kClientService, program_dir_ / "QOR_MDLSC_SVC", state_root / "client", target_);
  ASSERT_TRUE(client.ok) << client.detail;
  const std::string client_text = testing::ReadFile(target_.UnitPath(kClientService));
  EXPECT_NE(client_text.find("\nDynamicUser=yes\n"), std::string::npos) << client_text;
  EXPECT_EQ(client_text.find("ExecStartPre"), std::string::npos) << client_text;
  EXPECT_FALSE(fs::exists(state_root));
}

TEST_F(ServiceInstallTest, AForeignUnitIsNeverRemovedNorOverwritten) {
  const fs::path unit = target_.UnitPath(kServerService);
  fs::create_directories(unit.parent_path());
  ASSERT_TRUE(testing::WriteFile(unit, "[Service]\nExecStart=/bin/true\n"));
  const SetupResult install = InstallService(kServerService, program_, home_, target_);
  EXPECT_FALSE(install.ok);
  EXPECT_NE(install.detail.find("already installed"), std::string::npos) << install.detail;
  const SetupResult uninstall = UninstallService(kServerService, target_);
  EXPECT_FALSE(uninstall.ok);
  EXPECT_EQ(testing::ReadFile(unit), "[Service]\nExecStart=/bin/true\n");
}

TEST_F(ServiceInstallTest, WithoutSystemctlTheInstallFailsAndLeavesNoUnit) {
  const char* old_path = std::getenv("PATH");
  const std::string saved = old_path ? old_path : "";
  const fs::path empty = dir_.path() / "empty";
  fs::create_directories(empty);
  ::setenv("PATH", empty.c_str(), 1);
  const SetupResult r = InstallService(kServerService, program_, home_, target_);
  ::setenv("PATH", saved.c_str(), 1);
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.detail.find("systemctl"), std::string::npos) << r.detail;
  EXPECT_FALSE(fs::exists(target_.UnitPath(kServerService))) << "the unit stayed after a failed install";
}

TEST(ServiceTexts, InstallAndUninstallTextsOfBothPrograms) {
  EXPECT_EQ(InstalledText(kServerService), "[MDL Server installed successfully!] ");
  EXPECT_EQ(UninstalledText(kServerService), "[MDL Server uninstalled successfully!] ");
  EXPECT_EQ(UninstallFailedText(kServerService), "[MDL Server failed to uninstall!] ");
  EXPECT_EQ(InstalledText(kClientService), "[MDL Server Client installed successfully!] ");
  EXPECT_EQ(UninstalledText(kClientService), "[MDL Server Client uninstalled successfully!] ");
  EXPECT_EQ(UninstallFailedText(kClientService), "[MDL Server Client failed to uninstall!] ");
  const std::string failed = InstallFailedText(kClientService, "why.");
  EXPECT_EQ(failed.rfind("[MDL Server Client failed to install: why.", 0), 0u) << failed;
  EXPECT_NE(failed.find(kSupportContact), std::string::npos) << failed;
}

TEST(RunCommand, OutputStatusAndTimeLimit) {
  const CommandResult ok = RunCommand({"sh", "-c", "echo out; echo err >&2; exit 3"});
  EXPECT_TRUE(ok.started);
  EXPECT_EQ(ok.status, 3);
  EXPECT_EQ(ok.output, "out\nerr\n");
  const auto start = std::chrono::steady_clock::now();
  const CommandResult slow = RunCommand({"sleep", "30"}, std::chrono::milliseconds(300));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(slow.status, -1);
  EXPECT_FALSE(RunCommand({"/nonexistent/program"}).started);
}

TEST(SignalInstance, ReachesTheLockHolderOnlyWhileItHoldsTheFile) {
  testing::TempDir dir("mdl-signal");
  const fs::path file = dir.path() / ".lock";
  EXPECT_EQ(SignalInstance(file, SIGUSR1).outcome, SignalResult::Outcome::kNotRunning);

  // A planted process id of a process that does not hold the file gets nothing.
  ASSERT_TRUE(testing::WriteFile(file, "1\n"));
  EXPECT_EQ(SignalInstance(file, SIGUSR1).outcome, SignalResult::Outcome::kNotRunning);

  sigset_t usr1;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &usr1, nullptr), 0);
  {
    InstanceLock lock = InstanceLock::TryAcquire(file);
    ASSERT_TRUE(lock.held());
    EXPECT_EQ(testing::ReadFile(file), std::to_string(::getpid()) + "\n");
    const SignalResult sent = SignalInstance(file, SIGUSR1);
    EXPECT_EQ(sent.outcome, SignalResult::Outcome::kSent) << sent.detail;
    EXPECT_EQ(sent.pid, ::getpid());
    const timespec wait{5, 0};
    EXPECT_EQ(::sigtimedwait(&usr1, nullptr, &wait), SIGUSR1);
  }
  // Released: the file still names this process, which no longer holds it.
  EXPECT_EQ(SignalInstance(file, SIGUSR1).outcome, SignalResult::Outcome::kNotRunning);
  const timespec none{0, 0};
  EXPECT_EQ(::sigtimedwait(&usr1, nullptr, &none), -1) << "a signal went out after the release";
  ::pthread_sigmask(SIG_UNBLOCK, &usr1, nullptr);
}

}  // namespace
}  // namespace mdl::service
