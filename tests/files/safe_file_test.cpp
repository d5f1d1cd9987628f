// The file layer: no links, owned plain files only, whole appends or none.
#include "common/files/safe_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>

#include "tests/support/temp_dir.h"

namespace mdl::files {
namespace {

namespace fs = std::filesystem;
using mdl::testing::ReadFile;
using mdl::testing::TempDir;
using mdl::testing::WriteFile;

TEST(SafeFile, FoldersAreOpenedOnlyWhenPlainAndOurs) {
  TempDir dir;
  const fs::path made = dir.path() / "made";
  Opened created = OpenFolder(made, true);
  ASSERT_TRUE(created.fd.valid()) << ErrorText(created.error);
  EXPECT_TRUE(fs::is_directory(made));
  EXPECT_FALSE(OpenFolder(dir.path() / "absent", false).fd.valid());

  fs::create_directory_symlink(made, dir.path() / "link");
  EXPECT_EQ(OpenFolder(dir.path() / "link", true).error, kIsLink);
  WriteFile(dir.path() / "file", "x");
  EXPECT_EQ(OpenFolder(dir.path() / "file", true).error, kWrongKind);
  if (::geteuid() != 0) {
    EXPECT_EQ(OpenFolder("/", false).error, kNotOwned) << "a folder of root's is not ours";
    EXPECT_TRUE(OpenFolder("/", false, true).fd.valid());
  }
}

TEST(SafeFile, AppendTargetsMustBePlainFilesOfOursWithOneName) {
  TempDir dir;
  Opened folder = OpenFolder(dir.path(), false);
  ASSERT_TRUE(folder.fd.valid());
  WriteFile(dir.path() / "target", "keep");
  fs::create_symlink(dir.path() / "target", dir.path() / "link");
  fs::create_symlink(dir.path() / "nowhere", dir.path() / "dangling");
  fs::create_hard_link(dir.path() / "target", dir.path() / "second");
  fs::create_directory(dir.path() / "sub");
  ASSERT_EQ(::mkfifo((dir.path() / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(OpenAppendAt(folder.fd.get(), "link").error, kIsLink);
  EXPECT_EQ(OpenAppendAt(folder.fd.get(), "dangling").error, kIsLink);
  EXPECT_FALSE(fs::exists(dir.path() / "nowhere"));
  EXPECT_EQ(OpenAppendAt(folder.fd.get(), "second").error, kSecondLink);
  EXPECT_NE(OpenAppendAt(folder.fd.get(), "sub").error, 0);
  EXPECT_EQ(OpenAppendAt(folder.fd.get(), "fifo").error, kWrongKind)
      << "a FIFO must neither block nor be used";
  EXPECT_EQ(ReadFile(dir.path() / "target"), "keep");

  Opened fresh = OpenAppendAt(folder.fd.get(), "fresh");
  ASSERT_TRUE(fresh.fd.valid()) << ErrorText(fresh.error);
  EXPECT_TRUE(SameEntryAt(folder.fd.get(), "fresh", fresh.dev, fresh.ino));
  EXPECT_FALSE(SameEntryAt(folder.fd.get(), "target", fresh.dev, fresh.ino));
}

TEST(SafeFile, FilesRewrittenInPlaceAreRefusedLikeAppendTargets) {
  TempDir dir;
  Opened folder = OpenFolder(dir.path(), false);
  ASSERT_TRUE(folder.fd.valid());
  WriteFile(dir.path() / "victim", "precious\n");
  fs::create_symlink(dir.path() / "victim", dir.path() / "link");
  fs::create_symlink(dir.path() / "created", dir.path() / "dangling");
  fs::create_hard_link(dir.path() / "victim", dir.path() / "second");
  fs::create_directory(dir.path() / "sub");
  ASSERT_EQ(::mkfifo((dir.path() / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(OpenReadWriteAt(folder.fd.get(), "link").error, kIsLink);
  EXPECT_EQ(OpenReadWriteAt(folder.fd.get(), "dangling").error, kIsLink);
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir.path() / "created")))
      << "a dangling link's target was created";
  const Opened second = OpenReadWriteAt(folder.fd.get(), "second");
  EXPECT_EQ(second.error, kSecondLink);
  EXPECT_NE(ErrorText(second.error).find("second hard link"), std::string::npos) << ErrorText(second.error);
  EXPECT_NE(OpenReadWriteAt(folder.fd.get(), "sub").error, 0);
  EXPECT_EQ(OpenReadWriteAt(folder.fd.get(), "fifo").error, kWrongKind)
      << "a FIFO must neither block nor be used";
  EXPECT_EQ(ReadFile(dir.path() / "victim"), "precious\n");

  // Not an append: a write at offset 0 replaces the start.
  WriteFile(dir.path() / "own", "0123456789");
  Opened own = OpenReadWriteAt(folder.fd.get(), "own");
  ASSERT_TRUE(own.fd.valid()) << ErrorText(own.error);
  EXPECT_EQ(own.size, 10u);
  ASSERT_EQ(::pwrite(own.fd.get(), "ab", 2, 0), 2);
  EXPECT_EQ(ReadFile(dir.path() / "own"), "ab23456789");
  Opened fresh = OpenReadWriteAt(folder.fd.get(), "fresh", 0600);
  ASSERT_TRUE(fresh.fd.valid()) << ErrorText(fresh.error);
  EXPECT_EQ(fs::status(dir.path() / "fresh").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_TRUE(SameEntryAt(folder.fd.get(), "fresh", fresh.dev, fresh.ino));
}

TEST(SafeFile, AppendIsAllOrNothingAtAFileSizeLimit) {
  // RLIMIT_FSIZE stands in for a full disk; it is set in a child only.
  TempDir dir;
  const fs::path file = dir.path() / "log";
  WriteFile(file, "0123456789\n");
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{20, 20};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(10);
    Opened folder = OpenFolder(dir.path(), false);
    Opened log = OpenAppendAt(folder.fd.get(), "log");
    if (!log.fd.valid()) ::_exit(11);
    bool cut_failed = false;
    if (AppendWhole(log.fd.get(), "abcdefghijklmnop\n", &cut_failed) != EFBIG || cut_failed) ::_exit(12);
    if (!EndsWithLineEnd(log.fd.get())) ::_exit(13);
    if (AppendWhole(log.fd.get(), "short\n", &cut_failed) != 0) ::_exit(14);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(ReadFile(file), "0123456789\nshort\n") << "a cut line was left behind";
}

// A disk that takes part of the next write, then nothing.
ssize_t g_part = 0;
ssize_t PartThenFull(int fd, const void* data, size_t size) {
  if (g_part > 0) {
    const ssize_t n = ::write(fd, data, std::min<size_t>(size, static_cast<size_t>(g_part)));
    g_part = 0;
    return n;
  }
  errno = ENOSPC;
  return -1;
}

TEST(SafeFile, AFailedAppendTakesBackOnlyItsOwnBytes) {
  TempDir dir;
  const fs::path file = dir.path() / "log";
  WriteFile(file, "first\n");
  Opened folder = OpenFolder(dir.path(), false);
  Opened log = OpenAppendAt(folder.fd.get(), "log");
  ASSERT_TRUE(log.fd.valid());
  // Another writer appends after the file was opened: its bytes stay.
  WriteFile(file, "first\nother\n");
  SetWriteFunctionForTest(&PartThenFull);
  bool cut_failed = true;
  g_part = 4;
  EXPECT_EQ(AppendWhole(log.fd.get(), "abcdefgh\n", &cut_failed), ENOSPC);
  EXPECT_FALSE(cut_failed);
  EXPECT_EQ(ReadFile(file), "first\nother\n");
  // Nothing taken at all: nothing to take back.
  cut_failed = true;
  EXPECT_EQ(AppendWhole(log.fd.get(), "xyz\n", &cut_failed), ENOSPC);
  EXPECT_FALSE(cut_failed);
  EXPECT_EQ(ReadFile(file), "first\nother\n");
  SetWriteFunctionForTest(nullptr);
  EXPECT_EQ(AppendWhole(log.fd.get(), "last\n", &cut_failed), 0);
  EXPECT_EQ(ReadFile(file), "first\nother\nlast\n");
}

TEST(SafeFile, SmallReadsFollowOnlyOurOwnLinksWhenAsked) {
  TempDir dir;
  const fs::path file = dir.path() / "f";
  WriteFile(file, "text");
  fs::create_symlink(file, dir.path() / "link");
  ReadPolicy strict;
  EXPECT_EQ(ReadSmallFile(file, strict).bytes, "text");
  const ReadResult refused = ReadSmallFile(dir.path() / "link", strict);
  EXPECT_EQ(refused.status, ReadResult::Status::kRefused);
  EXPECT_NE(refused.error.find("symbolic link"), std::string::npos) << refused.error;
  ReadPolicy lenient;
  lenient.follow_own_link = true;
  EXPECT_EQ(ReadSmallFile(dir.path() / "link", lenient).bytes, "text");
  lenient.max_bytes = 3;
  EXPECT_EQ(ReadSmallFile(file, lenient).status, ReadResult::Status::kTooLarge);
  EXPECT_EQ(ReadSmallFile(dir.path() / "none", strict).status, ReadResult::Status::kMissing);
  EXPECT_EQ(ReadSmallFile("/dev/null", strict).status, ReadResult::Status::kRefused);
}

}  // namespace
}  // namespace mdl::files
