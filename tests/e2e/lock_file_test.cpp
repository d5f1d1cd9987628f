// End-to-end: the single-instance lock file cannot be turned against its
// folder's owner. A link or a second hard link planted as the lock file stops
// start-up with status 1 and leaves its target alone; -pause signals only the
// process that holds the lock, never one that merely has the file open.
#include <sys/stat.h>

#include "tests/e2e/harness.h"

namespace mdl::e2e {
namespace {

constexpr const char* kLockName = ".QOR_MDL_Server.lock";

// A program folder whose settings name free ports and an upstream where nothing
// answers: whatever happens, nothing leaves the machine and no port is shared.
fs::path MakeHome(const TempDir& dir) {
  const fs::path home = dir.path() / "home";
  fs::create_directories(home);
  WriteServerHome(home, FreePort(), FreeServicePorts());
  return home;
}

TEST(LockFileTest, PlantedLinksAsTheLockFileStopStartUpAndTheirTargetsStayAlone) {
  ASSERT_TRUE(HavePeer("/usr/bin/setpriv", "util-linux"));
  ASSERT_TRUE(fs::exists(ProgramDir() / "QOR_MDL_Server_SVC"))
      << "no server program in MDL_BIN=" << ProgramDir();
  struct Case {
    std::string name;
    std::string why;  // in the message
  };
  for (const Case& c : {Case{"symlink", "symbolic link"}, Case{"dangling", "symbolic link"},
                        Case{"hardlink", "second hard link"}}) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const fs::path home = MakeHome(dir);
    const fs::path lock = home / kLockName;
    const fs::path victim = dir.path() / "victim";
    const fs::path target = dir.path() / "created-by-the-server";
    ASSERT_TRUE(WriteFile(victim, "precious\n"));
    if (c.name == "symlink") fs::create_symlink(victim, lock);
    if (c.name == "dangling") fs::create_symlink(target, lock);
    if (c.name == "hardlink") fs::create_hard_link(victim, lock);

    const RunResult run = RunToEnd(dir.path(), "server", ServerArgs(home), 5s);
    EXPECT_EQ(run.status, std::optional<int>(1)) << "start-up should fail with 1; stderr:\n" << run.err;
    EXPECT_NE(run.err.find("refused the lock file " + lock.string()), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(c.why), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("MDL Server starting"), std::string::npos) << "it ran all the same:\n" << run.err;
    EXPECT_EQ(ReadFile(victim), "precious\n") << "the lock's target was written";
    EXPECT_FALSE(fs::exists(fs::symlink_status(target))) << "the dangling link's target was created";
    EXPECT_TRUE(fs::is_symlink(lock) || fs::hard_link_count(lock) == 2) << "the planted entry was replaced";
  }
}

// Whether process `pid` has the file of `st` open, within `timeout`.
bool WaitHasOpen(pid_t pid, const struct stat& file, Clock::duration timeout) {
  const auto end = Clock::now() + timeout;
  do {
    std::error_code ec;
    for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
         !ec && it != fs::directory_iterator(); it.increment(ec)) {
      struct stat st {};
      if (::stat(it->path().c_str(), &st) == 0 && st.st_dev == file.st_dev && st.st_ino == file.st_ino)
        return true;
    }
    std::this_thread::sleep_for(20ms);
  } while (Clock::now() < end);
  return false;
}

TEST(LockFileTest, PauseReachesOnlyTheLockHolderNotAProcessThatOpenedTheFile) {
  ASSERT_TRUE(HavePeer("/usr/bin/setpriv", "util-linux"));
  TempDir dir;
  const fs::path home = MakeHome(dir);
  const fs::path lock = home / kLockName;
  const std::string program = (ProgramDir() / "QOR_MDL_Server_SVC").string();
  Process server(dir.path(), "server", ServerArgs(home), "net_bind_service");
  ASSERT_TRUE(server.WaitFor("MDL Server starting", 10s)) << server.Err();
  ASSERT_EQ(ReadFile(lock), std::to_string(server.pid()) + "\n");

  // A second process with the lock file open (SIGUSR1 would end it), named in the file.
  Process opener(dir.path(), "opener", {"/bin/sh", "-c", "exec 3<\"$0\"; exec sleep 30", lock.string()});
  struct stat lock_stat {};
  ASSERT_EQ(::stat(lock.c_str(), &lock_stat), 0);
  ASSERT_TRUE(WaitHasOpen(opener.pid(), lock_stat, 5s)) << "the second process did not open the lock file";
  ASSERT_TRUE(WriteFile(lock, std::to_string(opener.pid()) + "\n"));
  const RunResult planted =
      RunToEnd(dir.path(), "pause-planted", {program, "-pause", "--home", home.string()}, 5s);
  EXPECT_EQ(planted.status, std::optional<int>(1)) << planted.err;
  EXPECT_NE(planted.err.find("not by the process it names"), std::string::npos) << planted.err;
  std::this_thread::sleep_for(200ms);
  EXPECT_TRUE(opener.Running()) << "the process that only opened the lock file was signalled";
  EXPECT_EQ(server.Err().find("paused"), std::string::npos) << server.Err();

  // Named again, the holder is paused; the other process still gets nothing.
  ASSERT_TRUE(WriteFile(lock, std::to_string(server.pid()) + "\n"));
  const RunResult pause = RunToEnd(dir.path(), "pause", {program, "-pause", "--home", home.string()}, 5s);
  EXPECT_EQ(pause.status, std::optional<int>(0)) << pause.err;
  EXPECT_TRUE(server.WaitFor("paused", 5s)) << server.Err();
  EXPECT_TRUE(opener.Running());

  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(10s), std::optional<int>(0)) << server.Err();
  EXPECT_EQ(server.Err().find("runtime error:"), std::string::npos) << server.Err();
}

}  // namespace
}  // namespace mdl::e2e
