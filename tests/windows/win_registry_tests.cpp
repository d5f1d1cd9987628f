// The registry on Windows: the backend over Wine's (or Windows') registry
// under the programs' keys, and the file store beside it (--registry FILE)
// with its atomic replace, lock and moving aside of a damaged file.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>

#include "common/registry/registry.h"
#include "common/registry/store_file.h"
#include "tests/windows/win_support.h"

namespace mdl {
namespace {

constexpr const char* kTestKey = "Software\\Meridel Server Test";

struct Reports {
  std::vector<std::string> lines;
  RegistryReporter reporter() {
    return [this](const std::string& m) { lines.push_back(m); };
  }
};

void DropTestKey() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\Meridel Server Test"); }

TEST(WinSystemRegistry, WritesReadsListsAndDeletesUnderLocalMachine) {
  DropTestKey();
  Reports reports;
  Registry r(DefaultStoreFile("C:\\anything"), reports.reporter());
  ASSERT_TRUE(r.file().empty());
  EXPECT_EQ(r.ReadValue(kTestKey, "Interval"), "");
  ASSERT_TRUE(r.WriteValue(Hive::kLocalMachine, kTestKey, "Interval", "3600"));
  ASSERT_TRUE(r.WriteValue(Hive::kLocalMachine, kTestKey, "Name", "Zeitdienst \xC3\xBC"));  // UTF-8 both ways
  EXPECT_EQ(r.ReadValue(kTestKey, "Interval"), "3600");
  EXPECT_EQ(r.ReadValue(Hive::kLocalMachine, kTestKey, "Name"), "Zeitdienst \xC3\xBC");

  // Really in the registry: read back with the API, and seen by a second object.
  wchar_t text[64] = {};
  DWORD size = sizeof text;
  ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, L"Software\\Meridel Server Test", L"Interval", RRF_RT_REG_SZ,
                         nullptr, text, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(text), L"3600");
  Registry other(std::filesystem::path(), reports.reporter());
  auto values = other.Values(Hive::kLocalMachine, kTestKey);
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values[0], (std::pair<std::string, std::string>{"Interval", "3600"}));

  // A value of another type reads as missing and is not listed.
  const DWORD number = 7;
  RegSetKeyValueW(HKEY_LOCAL_MACHINE, L"Software\\Meridel Server Test", L"Number", REG_DWORD, &number,
                  sizeof number);
  EXPECT_EQ(r.ReadValue(kTestKey, "Number"), "");
  EXPECT_EQ(r.Values(Hive::kLocalMachine, kTestKey).size(), 2u);

  EXPECT_EQ(r.DeleteValue(Hive::kLocalMachine, kTestKey, "Interval"), kRegSuccess);
  EXPECT_EQ(r.DeleteValue(Hive::kLocalMachine, kTestKey, "Interval"), kRegNotFound);
  EXPECT_EQ(r.DeleteValue(Hive::kLocalMachine, "Software\\Meridel Missing Key", "x"), kRegNotFound);
  EXPECT_EQ(r.DeleteValue(Hive::kNone, kTestKey, "Name"), kRegInvalidHandle);
  EXPECT_EQ(r.ReadValue(kTestKey, "Interval"), "");

  // Refused before the registry is touched.
  EXPECT_FALSE(r.WriteValue(Hive::kLocalMachine, kTestKey, "Bad", "two\nlines"));
  EXPECT_FALSE(r.WriteValue(Hive::kNone, kTestKey, "Bad", "x"));
  EXPECT_EQ(r.ReadValue(kTestKey, "Bad"), "");
  EXPECT_TRUE(reports.lines.size() >= 2u);

  r.CreateKey("HKEY_LOCAL_MACHINE\\Software\\Meridel Server Test\\Sub");
  HKEY sub = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Meridel Server Test\\Sub", 0, KEY_READ, &sub),
            ERROR_SUCCESS);
  if (sub) RegCloseKey(sub);
  DropTestKey();
}

TEST(WinFileStore, SavesReloadsAndMovesADamagedFileAside) {
  test::WinTempDir tmp;
  const auto file = tmp.path() / "registry.reg";
  Reports reports;
  {
    Registry r(file, reports.reporter());
    auto batch = r.BeginBatch();
    EXPECT_TRUE(r.WriteValue(Hive::kLocalMachine, "Software\\Meridel Server", "Port", "123"));
    EXPECT_TRUE(r.WriteValue(Hive::kLocalMachine, "Software\\Meridel", "Host", "time.example"));
    EXPECT_FALSE(std::filesystem::exists(file));  // one save at the end of the batch
    EXPECT_TRUE(batch.Commit());
  }
  ASSERT_TRUE(std::filesystem::exists(file));
  EXPECT_TRUE(std::filesystem::exists(tmp.path() / "registry.reg.lock"));
  {
    Registry again(file, reports.reporter());
    EXPECT_EQ(again.ReadValue("Software\\Meridel Server", "Port"), "123");
    EXPECT_EQ(again.ReadValue("Software\\Meridel", "Host"), "time.example");
  }
  for (const auto& e : std::filesystem::directory_iterator(tmp.path())) {
    EXPECT_EQ(e.path().filename().string().find(".tmp-"), std::string::npos) << e.path();
  }

  std::ofstream(file, std::ios::binary | std::ios::trunc) << "not a registry file\n";
  reports.lines.clear();
  Registry damaged(file, reports.reporter());
  EXPECT_EQ(damaged.ReadValue("Software\\Meridel Server", "Port"), "");
  ASSERT_EQ(reports.lines.size(), 1u);
  EXPECT_NE(reports.lines[0].find("moved aside"), std::string::npos) << reports.lines[0];
  EXPECT_FALSE(std::filesystem::exists(file));
  int corrupt = 0;
  for (const auto& e : std::filesystem::directory_iterator(tmp.path())) {
    corrupt += e.path().filename().string().rfind("registry.reg.corrupt-", 0) == 0;
  }
  EXPECT_EQ(corrupt, 1);
}

TEST(WinFileStore, TheLockIsExclusiveAndAnEarlierCopyIsNeverOverwritten) {
  test::WinTempDir tmp;
  const auto file = tmp.path() / "r.reg";
  {
    StoreLock first(file, std::chrono::milliseconds(0));
    ASSERT_TRUE(first.held()) << first.error();
    StoreLock second(file, std::chrono::milliseconds(50));
    EXPECT_FALSE(second.held());
    EXPECT_FALSE(second.error().empty());
  }
  StoreLock after(file, std::chrono::milliseconds(0));
  EXPECT_TRUE(after.held());

  const std::time_t now = 1765000000;
  std::ofstream(file) << "one";
  std::filesystem::path moved;
  ASSERT_EQ(MoveAside(file, now, &moved), "");
  std::ofstream(file) << "two";
  std::filesystem::path moved2;
  ASSERT_EQ(MoveAside(file, now, &moved2), "");
  EXPECT_NE(moved, moved2);
  std::ifstream a(moved), b(moved2);
  std::string sa, sb;
  a >> sa;
  b >> sb;
  EXPECT_EQ(sa, "one");
  EXPECT_EQ(sb, "two");

  EXPECT_EQ(WriteFileAtomically(file, "fresh"), "");
  EXPECT_EQ(WriteFileAtomically(file, "fresher"), "");
  std::ifstream c(file);
  std::string sc;
  c >> sc;
  EXPECT_EQ(sc, "fresher");
}

}  // namespace
}  // namespace mdl
