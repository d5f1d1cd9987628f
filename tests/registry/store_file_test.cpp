// The store's file operations on their own: bounded reads, the atomic replace
// (mode kept, nothing left behind on failure), copies moved aside without
// overwriting, stale temporary files, and the writers' lock.
#include "common/registry/store_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "tests/support/temp_dir.h"

namespace mdl {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

mode_t ModeOf(const std::filesystem::path& file) {
  struct stat st {};
  return ::stat(file.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0;
}

TEST(StoreFile, ReadsAreBoundedAndTellMissingFromDamaged) {
  TempDir folder("mdl-store");
  const std::filesystem::path file = folder.path() / "registry.reg";
  EXPECT_EQ(ReadStoreFile(file, 100).status, StoreRead::Status::kMissing);
  ASSERT_TRUE(WriteFile(file, "twelve bytes"));
  const StoreRead read = ReadStoreFile(file, 100);
  EXPECT_EQ(read.status, StoreRead::Status::kOk);
  EXPECT_EQ(read.bytes, "twelve bytes");
  const StoreRead large = ReadStoreFile(file, 11);
  EXPECT_EQ(large.status, StoreRead::Status::kTooLarge);
  EXPECT_TRUE(large.bytes.empty());
  EXPECT_FALSE(large.error.empty());
  std::filesystem::remove(file);
  std::filesystem::create_directory(file);
  const StoreRead folder_read = ReadStoreFile(file, 100);
  EXPECT_EQ(folder_read.status, StoreRead::Status::kError);
  EXPECT_FALSE(folder_read.error.empty());
}

TEST(StoreFile, AtomicWriteKeepsTheModeAndLeavesNothingBehindWhenItFails) {
  TempDir folder("mdl-store");
  const std::filesystem::path file = folder.path() / "registry.reg";
  ASSERT_EQ(WriteFileAtomically(file, "first"), "");
  EXPECT_EQ(ReadFile(file), "first");
  EXPECT_EQ(ModeOf(file), 0644u) << "a new store";
  ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
  ASSERT_EQ(WriteFileAtomically(file, "second"), "");
  EXPECT_EQ(ReadFile(file), "second");
  EXPECT_EQ(ModeOf(file), 0600u) << "the store's own mode is kept";

  // A folder in the store's place cannot be replaced: reported, the temporary file gone.
  const std::filesystem::path busy = folder.path() / "busy.reg";
  std::filesystem::create_directories(busy / "inside");
  const std::string error = WriteFileAtomically(busy, "x");
  EXPECT_NE(error.find(busy.string()), std::string::npos) << error;
  EXPECT_TRUE(std::filesystem::is_directory(busy / "inside"));
  EXPECT_TRUE(folder.Entries(".busy.reg.tmp-").empty());
  EXPECT_NE(WriteFileAtomically(folder.path() / "none" / "registry.reg", "x"), "") << "no such folder";
}

TEST(StoreFile, CopiesMovedAsideNeverOverwriteEarlierOnes) {
  TempDir folder("mdl-store");
  const std::filesystem::path file = folder.path() / "registry.reg";
  const std::time_t now = 1700000000;
  std::filesystem::path first, second;
  ASSERT_TRUE(WriteFile(file, "one"));
  ASSERT_EQ(MoveAside(file, now, &first), "");
  ASSERT_TRUE(WriteFile(file, "two"));
  ASSERT_EQ(MoveAside(file, now, &second), "");
  EXPECT_EQ(first, CorruptFileName(file, now));
  EXPECT_EQ(second.string(), first.string() + "-2");
  EXPECT_EQ(ReadFile(first), "one");
  EXPECT_EQ(ReadFile(second), "two");
  EXPECT_FALSE(std::filesystem::exists(file));
  std::filesystem::path third;
  const std::string error = MoveAside(file, now, &third);
  EXPECT_NE(error.find("cannot move aside"), std::string::npos) << error;
  EXPECT_TRUE(third.empty());
}

TEST(StoreFile, OnlyThisStoresTemporaryFilesAreRemoved) {
  TempDir folder("mdl-store");
  const std::filesystem::path file = folder.path() / "registry.reg";
  for (const char* name : {"registry.reg", ".registry.reg.tmp-a1b2c3", ".registry.reg.tmp-abc",
                           ".registry.reg.tmp-a1b2c3d4", ".other.reg.tmp-a1b2c3"}) {
    ASSERT_TRUE(WriteFile(folder.path() / name, "x"));
  }
  RemoveStaleTempFiles(file);
  EXPECT_EQ(folder.Entries(), (std::vector<std::string>{".other.reg.tmp-a1b2c3", ".registry.reg.tmp-a1b2c3d4",
                                                        ".registry.reg.tmp-abc", "registry.reg"}));
}

TEST(StoreFile, TheLockIsExclusiveGivesUpAfterItsWaitAndPassesOnOnceFreed) {
  TempDir folder("mdl-store");
  const std::filesystem::path file = folder.path() / "registry.reg";
  {
    StoreLock first(file, std::chrono::milliseconds(0));
    ASSERT_TRUE(first.held()) << first.error();
    StoreLock second(file, std::chrono::milliseconds(20));
    EXPECT_FALSE(second.held());
    EXPECT_NE(second.error().find("cannot lock"), std::string::npos) << second.error();
  }
  StoreLock third(file, std::chrono::milliseconds(0));
  EXPECT_TRUE(third.held()) << third.error();
  std::filesystem::path folder_lock = folder.path() / "sub.reg";
  std::filesystem::create_directory(folder_lock.string() + ".lock");
  StoreLock refused(folder_lock, std::chrono::milliseconds(0));
  EXPECT_FALSE(refused.held());
  EXPECT_FALSE(refused.error().empty());
}

}  // namespace
}  // namespace mdl
