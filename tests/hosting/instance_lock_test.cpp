// Single-instance lock: a second holder of the same folder's lock is refused,
// also from another process, the lock is free again once closed, and a link,
// a second name or a foreign file planted as the lock file is refused untouched.
#include "server/hosting/instance_lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <optional>
#include <string>

#include "tests/support/temp_dir.h"

namespace mdl::service {
namespace {

using State = InstanceLock::State;

// Exit status of a child process that tries the lock: 0 held, 1 held elsewhere, 2 failed.
int TryInChild(const std::filesystem::path& file) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    InstanceLock lock = InstanceLock::TryAcquire(file);
    ::_exit(lock.held() ? 0 : lock.state() == State::kHeldElsewhere ? 1 : 2);
  }
  int status = -1;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST(InstanceLock, SecondHolderIsRefusedUntilTheFirstCloses) {
  testing::TempDir dir("mdl-lock");
  const auto file = dir.path() / ".lock";
  {
    InstanceLock first = InstanceLock::TryAcquire(file);
    ASSERT_TRUE(first.held()) << first.error();
    InstanceLock second = InstanceLock::TryAcquire(file);
    EXPECT_EQ(second.state(), State::kHeldElsewhere);
    EXPECT_FALSE(second.held());
    EXPECT_NE(second.error().find(".lock"), std::string::npos) << second.error();
    EXPECT_EQ(TryInChild(file), 1) << "another process got the lock";

    InstanceLock moved = std::move(first);
    EXPECT_TRUE(moved.held()) << "the lock did not move with the object";
    EXPECT_FALSE(first.held());
    EXPECT_EQ(InstanceLock::TryAcquire(file).state(), State::kHeldElsewhere) << "moving freed the lock";
    moved.Release();
    EXPECT_EQ(moved.state(), State::kReleased);
    InstanceLock third = InstanceLock::TryAcquire(file);
    EXPECT_TRUE(third.held()) << "not free after Release(): " << third.error();
  }
  EXPECT_EQ(TryInChild(file), 0) << "not free after the holder was destroyed";
}

TEST(InstanceLock, OnlyOurUserMayOpenTheLockFile) {
  testing::TempDir dir("mdl-lock");
  struct stat st {};
  const auto fresh = dir.path() / ".fresh.lock";
  ASSERT_TRUE(InstanceLock::TryAcquire(fresh).held());
  ASSERT_EQ(::stat(fresh.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "another user could open it and hold the lock first";
  // A file left readable by an older version is closed to others before it is locked.
  const auto old = dir.path() / ".old.lock";
  ::close(::open(old.c_str(), O_CREAT | O_WRONLY, 0644));
  ASSERT_EQ(::chmod(old.c_str(), 0644), 0);
  ASSERT_TRUE(InstanceLock::TryAcquire(old).held());
  ASSERT_EQ(::stat(old.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(InstanceLock, FoldersAreIndependentAndAMissingFolderFails) {
  testing::TempDir a("mdl-lock"), b("mdl-lock");
  InstanceLock in_a = InstanceLock::TryAcquire(a.path() / ".lock");
  InstanceLock in_b = InstanceLock::TryAcquire(b.path() / ".lock");
  EXPECT_TRUE(in_a.held());
  EXPECT_TRUE(in_b.held());
  InstanceLock nowhere = InstanceLock::TryAcquire(a.path() / "missing" / ".lock");
  EXPECT_EQ(nowhere.state(), State::kFailed);
  EXPECT_NE(nowhere.error().find("missing"), std::string::npos) << nowhere.error();
}

TEST(InstanceLock, PlantedLinksAndForeignFilesAreRefusedAndLeftAlone) {
  testing::TempDir dir("mdl-lock");
  const auto victim = dir.path() / "victim";
  ASSERT_TRUE(testing::WriteFile(victim, "precious\n"));
  struct Case {
    std::string name;
    std::function<void(const std::filesystem::path&)> plant;
    std::string why;
  };
  const Case cases[] = {
      {"symlink", [&](const auto& lock) { std::filesystem::create_symlink(victim, lock); }, "symbolic link"},
      {"dangling", [&](const auto& lock) { std::filesystem::create_symlink(dir.path() / "created", lock); },
       "symbolic link"},
      {"hardlink", [&](const auto& lock) { std::filesystem::create_hard_link(victim, lock); },
       "second hard link"},
      {"fifo", [](const auto& lock) { ASSERT_EQ(::mkfifo(lock.c_str(), 0644), 0); }, "not a plain file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto lock_file = dir.path() / (c.name + ".lock");
    c.plant(lock_file);
    const InstanceLock lock = InstanceLock::TryAcquire(lock_file);
    EXPECT_EQ(lock.state(), State::kFailed);
    EXPECT_NE(lock.error().find(lock_file.string()), std::string::npos) << lock.error();
    EXPECT_NE(lock.error().find(c.why), std::string::npos) << lock.error();
  }
  EXPECT_EQ(testing::ReadFile(victim), "precious\n");
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(dir.path() / "created")));

  if (::geteuid() == 0) {
    // A file someone else owns is not written either (only root can hand one over here).
    const auto foreign = dir.path() / "foreign.lock";
    ASSERT_TRUE(testing::WriteFile(foreign, "theirs\n"));
    ASSERT_EQ(::chown(foreign.c_str(), 4242, 4242), 0);
    const InstanceLock lock = InstanceLock::TryAcquire(foreign);
    EXPECT_EQ(lock.state(), State::kFailed);
    EXPECT_NE(lock.error().find("not owned"), std::string::npos) << lock.error();
    EXPECT_EQ(testing::ReadFile(foreign), "theirs\n");
  }
}

// A second process on a lock file: it opens the file (and takes the lock when
// `take_lock`), says so, and at the parent's word ends with 0 when a SIGUSR1
// is pending for it, 1 when none is, 2 when it could not take the lock.
class FileUser {
 public:
  FileUser(const std::filesystem::path& file, bool take_lock) {
    if (::pipe(ready_) != 0 || ::pipe(go_) != 0) return;
    pid_ = ::fork();
    if (pid_ != 0) {
      ::close(ready_[1]);
      ::close(go_[0]);
      return;
    }
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    ::sigprocmask(SIG_BLOCK, &usr1, nullptr);  // kept pending, to be looked at
    int code = 1;
    std::optional<InstanceLock> lock;  // held until _exit()
    if (take_lock) {
      lock.emplace(InstanceLock::TryAcquire(file));
      if (!lock->held()) code = 2;
    } else if (::open(file.c_str(), O_RDONLY | O_CLOEXEC) < 0) {
      code = 2;
    }
    char byte = 0;
    if (::write(ready_[1], "r", 1) != 1 || ::read(go_[0], &byte, 1) != 1) ::_exit(3);
    sigset_t pending;
    sigemptyset(&pending);
    if (code == 1 && ::sigpending(&pending) == 0 && sigismember(&pending, SIGUSR1)) code = 0;
    ::_exit(code);
  }
  ~FileUser() {
    ::close(go_[1]);
    if (pid_ > 0) Finish();
  }
  pid_t pid() const { return pid_; }
  // Whether it opened the file (and took the lock), within a few seconds.
  bool Ready() {
    pollfd p{ready_[0], POLLIN, 0};
    char byte = 0;
    const bool ready = pid_ > 0 && ::poll(&p, 1, 5000) == 1 && ::read(ready_[0], &byte, 1) == 1;
    ::close(ready_[0]);
    return ready;
  }
  // Its exit status once told to look (after a kill() has returned, its signal is pending).
  int Finish() {
    if (::write(go_[1], "g", 1) != 1) ::kill(pid_, SIGKILL);
    int status = -1;
    const bool ended = ::waitpid(pid_, &status, 0) == pid_;
    pid_ = -1;
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  int ready_[2] = {-1, -1}, go_[2] = {-1, -1};
  pid_t pid_ = -1;
};

TEST(SignalInstance, OnlyTheProcessTheKernelListsAsTheLockHolderIsSignalled) {
  testing::TempDir dir("mdl-signal");
  const auto file = dir.path() / ".lock";
  ASSERT_TRUE(testing::WriteFile(file, ""));
  FileUser opener(file, false);
  ASSERT_TRUE(opener.Ready());
  // Its number planted in the file: having the file open does not make it the holder.
  ASSERT_TRUE(testing::WriteFile(file, std::to_string(opener.pid()) + "\n"));
  EXPECT_EQ(SignalInstance(file, SIGUSR1).outcome, SignalResult::Outcome::kNotRunning);

  FileUser holder(file, true);
  ASSERT_TRUE(holder.Ready());
  ASSERT_EQ(testing::ReadFile(file), std::to_string(holder.pid()) + "\n");
  // While the lock is held, a planted number still names no one to signal.
  ASSERT_TRUE(testing::WriteFile(file, std::to_string(opener.pid()) + "\n"));
  const SignalResult planted = SignalInstance(file, SIGUSR1);
  EXPECT_EQ(planted.outcome, SignalResult::Outcome::kFailed) << planted.detail;
  EXPECT_NE(planted.detail.find(std::to_string(holder.pid())), std::string::npos) << planted.detail;

  ASSERT_TRUE(testing::WriteFile(file, std::to_string(holder.pid()) + "\n"));
  const SignalResult sent = SignalInstance(file, SIGUSR1);
  EXPECT_EQ(sent.outcome, SignalResult::Outcome::kSent) << sent.detail;
  EXPECT_EQ(sent.pid, holder.pid());
  EXPECT_EQ(holder.Finish(), 0) << "the lock holder got no signal";
  EXPECT_EQ(opener.Finish(), 1) << "a process that only had the file open was signalled";
}

TEST(SignalInstance, TheHolderIsReadFromTheKernelsLockList) {
  const std::string locks =
      "1: POSIX  ADVISORY  WRITE 300 fe:01:77 0 EOF\n"
      "2: FLOCK  ADVISORY  READ 301 fe:01:77 0 EOF\n"
      "3: OFDLCK ADVISORY  WRITE -1 fe:01:77 0 EOF\n"
      "4: FLOCK  ADVISORY  WRITE 302 fe:01:770 0 EOF\n"
      "5: FLOCK  ADVISORY  WRITE 303 fe:10:77 0 EOF\n"
      "6: FLOCK  ADVISORY  WRITE 304 00:2a:77 0 EOF\n"
      "6: -> FLOCK  ADVISORY  WRITE 305 fe:01:77 0 EOF\n"
      "7: FLOCK  ADVISORY  WRITE 306 fe:01:77 0 EOF\n";
  EXPECT_EQ(ExclusiveFlockHolder(locks, 0xfe, 0x01, 77), 306);
  EXPECT_EQ(ExclusiveFlockHolder(locks, 0x00, 0x2a, 77), 304) << "device numbers are hex";
  EXPECT_EQ(ExclusiveFlockHolder(locks, 0xfe, 0x01, 7), 0);
  // A waiter, a shared lock or a record lock on the file is no holder.
  EXPECT_EQ(ExclusiveFlockHolder(locks.substr(0, locks.rfind("7:")), 0xfe, 0x01, 77), 0);
  EXPECT_EQ(ExclusiveFlockHolder("", 0xfe, 0x01, 77), 0);
  EXPECT_EQ(ExclusiveFlockHolder("garbage\n1: FLOCK\n2: FLOCK  ADVISORY  WRITE x fe:01:77\n", 0xfe, 0x01, 77),
            0);
}

}  // namespace
}  // namespace mdl::service
