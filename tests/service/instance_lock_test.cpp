// Single-instance lock: a second holder of the same folder's lock is refused,
// also from another process, and the lock is free again once closed.
#include "server/service/instance_lock.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

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

}  // namespace
}  // namespace mdl::service
