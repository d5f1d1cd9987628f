// Tests of the registry module over its file store.
#include "common/registry/registry.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/registry/reg_format.h"
#include "common/registry/store_file.h"
#include "tests/support/temp_dir.h"

namespace mdl {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

constexpr std::string_view kKey = "Software\\Meridel Server";

class RegistryTest : public ::testing::Test {
 protected:
  std::filesystem::path File() const { return folder_.path() / "registry.reg"; }
  RegistryReporter Collect() {
    return [this](const std::string& message) { messages_.push_back(message); };
  }
  std::string AllMessages() const {
    std::string all;
    for (const std::string& m : messages_) all += m + "\n";
    return all;
  }

  TempDir folder_{"mdl-reg"};
  std::vector<std::string> messages_;
};

TEST_F(RegistryTest, MissingFileIsAnEmptyStoreAndNotAnError) {
  Registry registry(File(), Collect());
  EXPECT_EQ(registry.ReadValue(kKey, "Settings"), "");
  EXPECT_TRUE(messages_.empty()) << "a missing file must not be reported: " << AllMessages();
  EXPECT_FALSE(std::filesystem::exists(File())) << "loading alone must not create the file";
}

TEST_F(RegistryTest, EscapedTextSurvivesTheFile) {
  const std::vector<std::string> texts = {
      "",
      "plain",
      "back\\slash",
      "\"quoted\"",
      "\\\"",
      "ends with \\",
      "C:\\Program Files\\x",
      "semi;colon=[brackets]",
      "utf-8 \xC3\xA9\xE2\x82\xAC",
      "@",
      "  blanks  ",
  };
  {
    Registry registry(File(), Collect());
    for (size_t i = 0; i < texts.size(); ++i) {
      ASSERT_TRUE(
          registry.WriteValue(Hive::kLocalMachine, kKey, "v" + std::to_string(i) + texts[i], texts[i]))
          << AllMessages();
    }
  }
  Registry reloaded(File(), Collect());
  for (size_t i = 0; i < texts.size(); ++i) {
    EXPECT_EQ(reloaded.ReadValue(kKey, "v" + std::to_string(i) + texts[i]), texts[i])
        << "text changed on its way through the file";
  }
  EXPECT_TRUE(messages_.empty()) << AllMessages();
}

TEST_F(RegistryTest, ValuesAndKeysKeepTheOrderOfFirstCreation) {
  {
    Registry registry(File(), Collect());
    registry.WriteValue(Hive::kLocalMachine, "Software\\B", "x", "1");
    registry.WriteValue(Hive::kLocalMachine, kKey, "zeta", "1");
    registry.WriteValue(Hive::kLocalMachine, kKey, "alpha", "2");
    registry.WriteValue(Hive::kLocalMachine, kKey, "mid", "3");
    registry.WriteValue(Hive::kLocalMachine, kKey, "zeta", "4");  // rewrite keeps its place
  }
  Registry reloaded(File(), Collect());
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(reloaded.Values(Hive::kLocalMachine, kKey), (Pairs{{"zeta", "4"}, {"alpha", "2"}, {"mid", "3"}}));
  EXPECT_EQ(ReadFile(File()),
            "Windows Registry Editor Version 5.00\n\n"
            "[HKEY_LOCAL_MACHINE\\Software\\B]\n\"x\"=\"1\"\n\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Meridel Server]\n"
            "\"zeta\"=\"4\"\n\"alpha\"=\"2\"\n\"mid\"=\"3\"\n\n");
}

TEST_F(RegistryTest, KeyPathsIgnoreCaseButValueNamesDoNot) {
  Registry registry(File(), Collect());
  ASSERT_TRUE(registry.WriteValue(Hive::kLocalMachine, kKey, "UseJulian", "NO"));
  EXPECT_EQ(registry.ReadValue("SOFTWARE\\MERIDEL SERVER", "UseJulian"), "NO")
      << "a key path in another letter case must find the key";
  EXPECT_EQ(registry.ReadValue(kKey, "usejulian"), "")
      << "a value name in another letter case reads as empty";
  EXPECT_EQ(registry.ReadValue(Hive::kCurrentUser, kKey, "UseJulian"), "") << "hives are separate";
  ASSERT_TRUE(registry.WriteValue(Hive::kLocalMachine, "software\\meridel server", "usejulian", "x"));
  EXPECT_EQ(registry.Values(Hive::kLocalMachine, kKey).size(), 2u)
      << "the lower-case name is a second value of the same key";
}

TEST_F(RegistryTest, DeleteValueReportsMissingKeysAndValues) {
  Registry registry(File(), Collect());
  EXPECT_EQ(registry.DeleteValue(Hive::kLocalMachine, kKey, "a"), kRegNotFound) << "missing key";
  registry.WriteValue(Hive::kLocalMachine, kKey, "a", "1");
  registry.WriteValue(Hive::kLocalMachine, kKey, "b", "2");
  EXPECT_EQ(registry.DeleteValue(Hive::kLocalMachine, kKey, "A"), kRegNotFound) << "other case";
  EXPECT_EQ(registry.DeleteValue(Hive::kNone, kKey, "a"), kRegInvalidHandle);
  EXPECT_EQ(registry.DeleteValue(Hive::kLocalMachine, kKey, "a"), kRegSuccess);
  EXPECT_EQ(registry.DeleteValue(Hive::kLocalMachine, kKey, "a"), kRegNotFound) << "deleted twice";
  EXPECT_EQ(Registry(File(), Collect()).ReadValue(kKey, "a"), "") << "deletion was not saved";
  EXPECT_EQ(Registry(File(), Collect()).ReadValue(kKey, "b"), "2");
}

TEST_F(RegistryTest, WritesThatTheFileCannotHoldAreRefused) {
  Registry registry(File(), Collect());
  EXPECT_FALSE(registry.WriteValue(Hive::kLocalMachine, kKey, "a", "two\nlines"));
  EXPECT_FALSE(registry.WriteValue(Hive::kLocalMachine, kKey, "a\r", "x"));
  EXPECT_FALSE(registry.WriteValue(Hive::kLocalMachine, std::string("k\0", 2), "a", "x"));
  EXPECT_FALSE(registry.WriteValue(Hive::kNone, kKey, "a", "x"));
  EXPECT_FALSE(registry.WriteValue(static_cast<Hive>(7), kKey, "a", "x"));
  EXPECT_EQ(messages_.size(), 5u) << "each refusal must be reported: " << AllMessages();
  EXPECT_FALSE(std::filesystem::exists(File())) << "a refused write must not save";
}

TEST_F(RegistryTest, SplitPathFollowsTheHiveTable) {
  Registry registry(File(), Collect());
  const std::pair<const char*, Hive> hives[] = {
      {"HKEY_CLASSES_ROOT", Hive::kClassesRoot},
      {"HKEY_CURRENT_USER", Hive::kCurrentUser},
      {"HKEY_LOCAL_MACHINE", Hive::kLocalMachine},
      {"HKEY_USERS", Hive::kUsers},
      {"HKEY_PERFORMANCE_DATA", Hive::kPerformanceData},
      {"HKEY_CURRENT_CONFIG", Hive::kCurrentConfig},
      {"HKEY_DYN_DATA", Hive::kDynData},
      {"HKEY_OTHER", Hive::kNone},
  };
  for (const auto& [name, hive] : hives) {
    Registry::SplitPath split = registry.Split(std::string(name) + "\\Software\\Meridel Server");
    EXPECT_TRUE(split.ok) << name;
    EXPECT_EQ(split.hive, hive) << name;
    EXPECT_EQ(split.sub_key, "Software\\Meridel Server") << name;
  }
  EXPECT_TRUE(messages_.empty()) << "well-formed paths must not be reported: " << AllMessages();

  for (const char* bad :
       {"Software\\Meridel Server", "HKEY_LOCAL_MACHINE\\Software\\", "hkey_local_machine\\Software", ""}) {
    messages_.clear();
    Registry::SplitPath split = registry.Split(bad);
    EXPECT_FALSE(split.ok) << bad;
    EXPECT_EQ(split.hive, Hive::kNone) << bad;
    ASSERT_EQ(messages_.size(), 1u) << "bad path not reported: " << bad;
    EXPECT_EQ(messages_[0], "Incorrect Format:\n\n" + std::string(bad));
  }
}

TEST_F(RegistryTest, CreateKeyMakesAnEmptyKeyOnlyUnderAKnownHive) {
  Registry registry(File(), Collect());
  registry.CreateKey("HKEY_LOCAL_MACHINE\\Software\\Meridel Server");
  registry.CreateKey("HKEY_NOWHERE\\Software\\X");
  registry.CreateKey("Software\\Y");
  EXPECT_EQ(ReadFile(File()),
            "Windows Registry Editor Version 5.00\n\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Meridel Server]\n\n");
}

TEST_F(RegistryTest, BatchSavesOnceAtItsEnd) {
  Registry registry(File(), Collect());
  registry.WriteValue(Hive::kLocalMachine, kKey, "before", "0");
  const std::string before = ReadFile(File());
  {
    Registry::Batch outer = registry.BeginBatch();
    EXPECT_TRUE(registry.WriteValue(Hive::kLocalMachine, kKey, "a", "1"));
    {
      Registry::Batch inner = registry.BeginBatch();
      registry.WriteValue(Hive::kLocalMachine, kKey, "b", "2");
      EXPECT_EQ(registry.DeleteValue(Hive::kLocalMachine, kKey, "before"), kRegSuccess);
    }
    EXPECT_EQ(registry.ReadValue(kKey, "b"), "2") << "reads must see batched writes";
    EXPECT_EQ(ReadFile(File()), before) << "a batch wrote to disk before its end";
    EXPECT_TRUE(outer.Commit());
    EXPECT_TRUE(outer.Commit()) << "a second commit has nothing to do";
  }
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(Registry(File(), Collect()).Values(Hive::kLocalMachine, kKey), (Pairs{{"a", "1"}, {"b", "2"}}));
}

TEST_F(RegistryTest, CorruptFileIsMovedAsideReportedAndTheStoreStartsEmpty) {
  const std::string garbage =
      "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Meridel Server]\n"
      "\"Settings\"=\"YES:59\n";
  WriteFile(File(), garbage);
  Registry registry(File(), Collect());

  EXPECT_EQ(registry.ReadValue(kKey, "Settings"), "") << "a damaged file must not be half loaded";
  ASSERT_EQ(messages_.size(), 1u) << AllMessages();
  EXPECT_NE(messages_[0].find(File().string() + ":4:"), std::string::npos)
      << "the report must name the file and line: " << messages_[0];
  const std::vector<std::string> aside = folder_.Entries("registry.reg.corrupt-");
  ASSERT_EQ(aside.size(), 1u) << "the damaged file was not moved aside";
  EXPECT_EQ(aside[0].size(), std::string("registry.reg.corrupt-20250101T000000Z").size()) << aside[0];
  EXPECT_NE(messages_[0].find(aside[0]), std::string::npos) << "the report must say where it went";
  EXPECT_EQ(ReadFile(folder_.path() / aside[0]), garbage) << "the damaged file was altered";
  EXPECT_FALSE(std::filesystem::exists(File()));

  ASSERT_TRUE(registry.WriteValue(Hive::kLocalMachine, kKey, "Settings", "NO"));
  EXPECT_EQ(ReadFile(folder_.path() / aside[0]), garbage) << "a save overwrote the damaged copy";
}

TEST_F(RegistryTest, OversizedFileIsMovedAsideUnread) {
  WriteFile(File(), "");
  ASSERT_EQ(::truncate(File().c_str(), kMaxStoreBytes + 1), 0);
  Registry registry(File(), Collect());
  EXPECT_EQ(folder_.Entries("registry.reg.corrupt-").size(), 1u) << AllMessages();
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_NE(messages_[0].find("larger than"), std::string::npos) << messages_[0];
}

TEST_F(RegistryTest, UnreadableStoreIsNeverOverwritten) {
  std::filesystem::create_directory(File());  // a folder where the file should be
  Registry registry(File(), Collect());
  ASSERT_EQ(messages_.size(), 1u) << AllMessages();
  EXPECT_FALSE(registry.WriteValue(Hive::kLocalMachine, kKey, "a", "1"));
  EXPECT_EQ(registry.ReadValue(kKey, "a"), "1") << "the change stays in memory";
  EXPECT_TRUE(std::filesystem::is_directory(File())) << "the unreadable store was replaced";
  EXPECT_EQ(messages_.size(), 2u) << "the failed save must be reported: " << AllMessages();
}

TEST_F(RegistryTest, FailedSaveIsReportedAndRetriedWithTheNextSave) {
  const std::filesystem::path later = folder_.path() / "later";
  Registry registry(later / "registry.reg", Collect());  // its folder does not exist yet
  EXPECT_FALSE(registry.WriteValue(Hive::kLocalMachine, kKey, "a", "1"));
  EXPECT_EQ(messages_.size(), 1u) << "the failed save must be reported: " << AllMessages();
  EXPECT_EQ(registry.ReadValue(kKey, "a"), "1") << "the change stays in memory";
  std::filesystem::create_directory(later);
  EXPECT_TRUE(registry.WriteValue(Hive::kLocalMachine, kKey, "b", "2")) << AllMessages();
  EXPECT_EQ(Registry(later / "registry.reg", Collect()).ReadValue(kKey, "a"), "1")
      << "the change whose save failed was lost";
}

TEST_F(RegistryTest, TwoProgramsSharingTheStoreKeepEachOthersValues) {
  Registry server(File(), Collect());
  Registry client(File(), Collect());
  ASSERT_TRUE(server.WriteValue(Hive::kLocalMachine, kKey, "Settings", "YES"));
  ASSERT_TRUE(client.WriteValue(Hive::kLocalMachine, "Software\\Meridel", "MDLClient", "h:5"));
  ASSERT_TRUE(server.WriteValue(Hive::kLocalMachine, kKey, "UseJulian", "YES"));
  Registry reader(File(), Collect());
  EXPECT_EQ(reader.ReadValue("Software\\Meridel", "MDLClient"), "h:5")
      << "the server's save dropped the client's value";
  EXPECT_EQ(reader.ReadValue(kKey, "Settings"), "YES");
  EXPECT_TRUE(folder_.Entries(".registry.reg.tmp-").empty()) << "temporary files left behind";
}

TEST_F(RegistryTest, ValuesOfOtherProgramsAndTypesSurviveOurSaves) {
  const std::string admin =
      "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Meridel Server]\n"
      "\"Retries\"=dword:00000003\n\"Blob\"=hex:01,02,\\\n  03\n\"Settings\"=\"YES\"\n\n";
  ASSERT_TRUE(WriteFile(File(), admin));
  Registry registry(File(), Collect());
  EXPECT_TRUE(messages_.empty()) << AllMessages();
  EXPECT_EQ(registry.ReadValue(kKey, "Retries"), "") << "not a string value";
  EXPECT_EQ(registry.Values(Hive::kLocalMachine, kKey).size(), 1u);
  ASSERT_TRUE(registry.WriteValue(Hive::kLocalMachine, kKey, "Settings", "NO"));
  ASSERT_TRUE(registry.WriteValue(Hive::kLocalMachine, kKey, "New", "1"));
  EXPECT_EQ(
      ReadFile(File()),
      "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Meridel Server]\n"
      "\"Retries\"=dword:00000003\n\"Blob\"=hex:01,02,\\\n  03\n\"Settings\"=\"NO\"\n\"New\"=\"1\"\n\n");
}

TEST_F(RegistryTest, RepeatedEntriesAreReportedWithFileAndLine) {
  ASSERT_TRUE(
      WriteFile(File(),
                "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Meridel Server]\n"
                "\"a\"=\"1\"\n\"a\"=\"2\"\n"));
  Registry registry(File(), Collect());
  ASSERT_EQ(messages_.size(), 1u) << AllMessages();
  EXPECT_NE(messages_[0].find(File().string() + ": line 5: value \"a\" repeats line 4"), std::string::npos)
      << messages_[0];
  EXPECT_EQ(registry.ReadValue(kKey, "a"), "2");
}

TEST_F(RegistryTest, PlantedLinksAreNeitherReadNorWrittenThrough) {
  const std::filesystem::path target = folder_.path() / "victim";
  const std::string precious = "precious\n";
  struct Case {
    const char* what;
    std::filesystem::path link;
  };
  std::filesystem::path lock = File();
  lock += ".lock";
  for (const Case& c : {Case{"store file", File()}, Case{"lock file", lock}}) {
    messages_.clear();
    ASSERT_TRUE(WriteFile(target, precious));
    std::filesystem::remove(File());
    std::filesystem::remove(lock);
    std::filesystem::create_symlink(target, c.link);
    Registry registry(File(), Collect());
    EXPECT_FALSE(registry.WriteValue(Hive::kLocalMachine, kKey, "a", "1")) << c.what;
    EXPECT_EQ(ReadFile(target), precious) << c.what << ": written through the link";
    EXPECT_TRUE(std::filesystem::is_symlink(c.link)) << c.what << ": the link was replaced";
    EXPECT_NE(AllMessages().find("symbolic link"), std::string::npos) << c.what << ": " << AllMessages();
    std::filesystem::remove(c.link);
  }
  // A dangling link is not created either.
  std::filesystem::remove(target);
  std::filesystem::create_symlink(target, lock);
  Registry registry(File(), Collect());
  EXPECT_FALSE(registry.WriteValue(Hive::kLocalMachine, kKey, "a", "1"));
  EXPECT_FALSE(std::filesystem::exists(target));
}

TEST(StoreFile, CorruptNameCarriesTheUtcSecond) {
  EXPECT_EQ(CorruptFileName("/x/registry.reg", 1700000000).string(),
            "/x/registry.reg.corrupt-20231114T221320Z");
}

}  // namespace
}  // namespace mdl
