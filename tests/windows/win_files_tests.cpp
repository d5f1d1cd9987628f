// The Windows file layer: appends that are whole or nothing, refusal of
// reparse points, hard links, folders and stream names, bounded reads.
#include <gtest/gtest.h>
#include <windows.h>

#include <cerrno>
#include <fstream>

#include "common/files/safe_file.h"
#include "tests/windows/win_support.h"

namespace mdl::files {
namespace {

std::string Slurp(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(WinSafeFile, AppendsWholeLinesAndCutsBackAFailedWrite) {
  test::WinTempDir tmp;
  const auto logs = tmp.path() / "Logs";
  Opened folder = OpenFolder(logs, true);
  ASSERT_TRUE(folder.fd.valid()) << ErrorText(folder.error);
  Opened file = OpenAppendAt(folder.fd.get(), "a.log");
  ASSERT_TRUE(file.fd.valid()) << ErrorText(file.error);
  EXPECT_EQ(file.size, 0u);
  bool cut_failed = true;
  EXPECT_EQ(AppendWhole(file.fd.get(), "one\n", &cut_failed), 0);
  EXPECT_FALSE(cut_failed);
  EXPECT_TRUE(EndsWithLineEnd(file.fd.get()));
  EXPECT_TRUE(SameEntryAt(folder.fd.get(), "a.log", file.dev, file.ino));
  EXPECT_FALSE(SameEntryAt(folder.fd.get(), "other.log", file.dev, file.ino));

  // A disk that fills after three bytes: the partial line is taken back.
  SetWriteFunctionForTest([](int fd, const void* data, size_t size) -> ssize_t {
    (void)size;
    static bool first = true;
    if (first) {
      first = false;
      return ::_write(fd, data, 3);
    }
    errno = ENOSPC;
    return -1;
  });
  EXPECT_EQ(AppendWhole(file.fd.get(), "two two\n", &cut_failed), ENOSPC);
  SetWriteFunctionForTest(nullptr);
  EXPECT_FALSE(cut_failed);
  EXPECT_EQ(AppendWhole(file.fd.get(), "three\n", &cut_failed), 0);
  file.fd.Reset();
  EXPECT_EQ(Slurp(logs / "a.log"), "one\nthree\n");

  // Reopened, the size is the file's.
  Opened again = OpenAppendAt(folder.fd.get(), "a.log");
  ASSERT_TRUE(again.fd.valid());
  EXPECT_EQ(again.size, 10u);
  EXPECT_EQ(again.ino, file.ino);
}

TEST(WinSafeFile, RefusesFoldersStreamsHardLinksAndAMissingFolder) {
  test::WinTempDir tmp;
  Opened folder = OpenFolder(tmp.path(), false);
  ASSERT_TRUE(folder.fd.valid());
  std::filesystem::create_directory(tmp.path() / "sub");
  EXPECT_EQ(OpenAppendAt(folder.fd.get(), "sub").error, kWrongKind);
  EXPECT_FALSE(OpenAppendAt(folder.fd.get(), "a.log:hidden").fd.valid());
  EXPECT_FALSE(OpenAppendAt(folder.fd.get(), "..\\escape.log").fd.valid());
  EXPECT_FALSE(std::filesystem::exists(tmp.path().parent_path() / "escape.log"));

  std::ofstream(tmp.path() / "x.log") << "x\n";
  ASSERT_TRUE(CreateHardLinkW((tmp.path() / "y.log").wstring().c_str(),
                              (tmp.path() / "x.log").wstring().c_str(), nullptr));
  EXPECT_EQ(OpenAppendAt(folder.fd.get(), "x.log").error, kSecondLink);

  EXPECT_EQ(OpenFolder(tmp.path() / "x.log", false).error, kWrongKind);
  EXPECT_EQ(OpenFolder(tmp.path() / "missing", false).error, ENOENT);
}

TEST(WinSafeFile, RefusesSymbolicLinks) {
  test::WinTempDir tmp;
  std::ofstream(tmp.path() / "target.log") << "t\n";
  std::filesystem::create_directory(tmp.path() / "real");
  std::error_code ec;
  std::filesystem::create_symlink(tmp.path() / "target.log", tmp.path() / "link.log", ec);
  std::filesystem::create_directory_symlink(tmp.path() / "real", tmp.path() / "linkdir", ec);
  if (ec || !std::filesystem::is_symlink(tmp.path() / "link.log")) {
    GTEST_SKIP() << "symbolic links cannot be made here: " << ec.message();
  }
  Opened folder = OpenFolder(tmp.path(), false);
  ASSERT_TRUE(folder.fd.valid());
  EXPECT_EQ(OpenAppendAt(folder.fd.get(), "link.log").error, kIsLink);
  EXPECT_EQ(OpenFolder(tmp.path() / "linkdir", false).error, kIsLink);
  ReadPolicy follow;
  follow.follow_own_link = true;
  EXPECT_EQ(ReadSmallFile(tmp.path() / "link.log", follow).status, ReadResult::Status::kRefused);
  EXPECT_EQ(Slurp(tmp.path() / "target.log"), "t\n");
}

TEST(WinSafeFile, ReadsSmallFilesWithinTheLimit) {
  test::WinTempDir tmp;
  std::ofstream(tmp.path() / "list.mdl", std::ios::binary) << "a\r\nb\n";
  ReadPolicy policy;
  ReadResult r = ReadSmallFile(tmp.path() / "list.mdl", policy);
  ASSERT_EQ(r.status, ReadResult::Status::kOk) << r.error;
  EXPECT_EQ(r.bytes, "a\r\nb\n");
  policy.max_bytes = 4;
  EXPECT_EQ(ReadSmallFile(tmp.path() / "list.mdl", policy).status, ReadResult::Status::kTooLarge);
  EXPECT_EQ(ReadSmallFile(tmp.path() / "none.mdl", policy).status, ReadResult::Status::kMissing);
  EXPECT_EQ(ReadSmallFile(tmp.path(), policy).status, ReadResult::Status::kRefused);
}

}  // namespace
}  // namespace mdl::files
