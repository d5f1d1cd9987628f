// Tests of the server's settings load and save steps over a real store file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/registry/registry.h"
#include "server/core/settings.h"
#include "tests/support/temp_dir.h"

namespace mdl {
namespace {

using testing::ReadFile;

class SettingsStoreTest : public ::testing::Test {
 protected:
  std::filesystem::path File() const { return folder_.path() / "registry.reg"; }
  Registry Open() {
    return Registry(File(), [this](const std::string& m) { ADD_FAILURE() << "reported: " << m; });
  }
  SaveInput InputFrom(const StoredServerSettings& s) {
    SaveInput in;
    in.sync = s.sync.value_or(SyncSettings{});
    if (!in.sync.count_text) in.sync.count_text = "59";
    in.open_minimized = s.open_minimized;
    in.enable_logging = s.enable_logging;
    in.run_wanted = s.run_value_found;
    in.run_found_at_start = s.run_value_found;
    in.run_value_data = RunValueData("/opt/mdl");
    in.services = s.services;
    return in;
  }

  testing::TempDir folder_{"mdl-settings"};
};

TEST_F(SettingsStoreTest, FirstStartWritesTheDefaultsInTableOrder) {
  Registry registry = Open();
  StoredServerSettings before = LoadServerSettings(registry);
  EXPECT_TRUE(before.first_start) << "an empty store must be a first start";
  EXPECT_FALSE(before.run_value_found);

  WriteFirstStartDefaults(registry, "timehost");
  EXPECT_EQ(ReadFile(File()),
            "Windows Registry Editor Version 5.00\n\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Meridel Server]\n"
            "\"Settings\"=\"YES:59:Minutes/s:NA:36\"\n"
            "\"MDLServer\"=\"timehost\"\n"
            "\"OpenMinimized\"=\"NO\"\n"
            "\"NTP37\"=\"YES:YES:YES:37\"\n"
            "\"EnableLogging\"=\"YES\"\n"
            "\"SNTP123\"=\"YES:YES:YES:123\"\n"
            "\"UNIX519\"=\"YES:YES:NO:519\"\n"
            "\"MDL3777\"=\"YES:YES:NO:3777\"\n"
            "\"DTS13\"=\"NO:YES:YES:13\"\n"
            "\"UseJulian\"=\"YES\"\n\n");

  StoredServerSettings after = LoadServerSettings(Open());
  EXPECT_FALSE(after.first_start);
  EXPECT_EQ(after.server_name, "timehost");
  EXPECT_TRUE(after.use_julian && after.enable_logging && !after.open_minimized);
  ASSERT_TRUE(after.sync);
  EXPECT_EQ(after.sync->ntp_first_byte, 36);
  EXPECT_EQ(after.sync->unit_text, "Minutes/s") << "the default unit text is kept unchanged";
  const bool enabled[] = {true, false, true, true, true};  // Time, Daytime, NTP, Unix, private
  for (size_t slot = 0; slot < kServiceCount; ++slot) {
    EXPECT_EQ(after.services[slot].enabled, enabled[slot]) << kServiceTable[slot].registry_value;
  }
  EXPECT_EQ(after.services[static_cast<size_t>(Service::kPrivate)],
            (ServiceFields{true, true, false, "3777"}));
}

TEST_F(SettingsStoreTest, SaveWritesItsValuesInOrderAndNeverUseJulianOrMDLServer) {
  {
    Registry registry = Open();
    registry.WriteValue(Hive::kLocalMachine, kServerKey, "UseJulian", "NO");
    registry.WriteValue(Hive::kLocalMachine, kServerKey, "MDLServer", "edited");
  }
  Registry registry = Open();
  StoredServerSettings stored = LoadServerSettings(registry);
  EXPECT_FALSE(stored.use_julian);
  SaveInput in = InputFrom(stored);
  in.sync.count_text = "10";
  in.sync.unit_text = "Hour/s";
  ASSERT_TRUE(SaveServerSettings(registry, in));
  ASSERT_TRUE(SaveServerSettings(registry, in));  // a second shutdown changes nothing more

  using Pairs = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(Open().Values(Hive::kLocalMachine, kServerKey), (Pairs{{"UseJulian", "NO"},
                                                                   {"MDLServer", "edited"},
                                                                   {"Settings", "NO:10:Hour/s:NA:36"},
                                                                   {"OpenMinimized", "NO"},
                                                                   {"EnableLogging", "NO"},
                                                                   {"NTP37", "YES:YES:YES:37"},
                                                                   {"UNIX519", "YES:YES:NO:519"},
                                                                   {"SNTP123", "YES:YES:YES:123"},
                                                                   {"MDL3777", "YES:YES:NO:3777"},
                                                                   {"DTS13", "NO:YES:YES:13"}}))
      << "\"UseJulian\" = \"NO\" must survive a save, and values keep their places";
}

TEST_F(SettingsStoreTest, FrequencyIsWrittenLastAndOnlyWhenGiven) {
  Registry registry = Open();
  WriteFirstStartDefaults(registry, "h");
  SaveInput in = InputFrom(LoadServerSettings(registry));
  ASSERT_TRUE(SaveServerSettings(registry, in));
  EXPECT_EQ(Open().ReadValue(kServerKey, "FrequencyPpm"), "") << "written without a discipline";
  in.frequency_ppm = -50.0004;
  ASSERT_TRUE(SaveServerSettings(registry, in));
  const auto values = Open().Values(Hive::kLocalMachine, kServerKey);
  ASSERT_FALSE(values.empty());
  EXPECT_EQ(values.back(), (std::pair<std::string, std::string>{"FrequencyPpm", "-50.000"}));
  // A later save without one leaves the stored value for the next start.
  in.frequency_ppm.reset();
  ASSERT_TRUE(SaveServerSettings(registry, in));
  EXPECT_EQ(Open().ReadValue(kServerKey, "FrequencyPpm"), "-50.000");
}

TEST_F(SettingsStoreTest, DisabledServiceKeepsItsStoredValueThroughASave) {
  {
    Registry registry = Open();
    WriteFirstStartDefaults(registry, "h");
    registry.WriteValue(Hive::kLocalMachine, kServerKey, "NTP37", "NO:NO:YES:1037");
    registry.WriteValue(Hive::kLocalMachine, kServerKey, "UNIX519", "YES:YES:YES");
  }
  Registry registry = Open();
  StoredServerSettings stored = LoadServerSettings(registry);
  EXPECT_EQ(stored.services[static_cast<size_t>(Service::kTime)], (ServiceFields{false, false, true, "1037"}))
      << "a disabled service must show its stored state, not the defaults";
  EXPECT_EQ(stored.services[static_cast<size_t>(Service::kUnixTime)].port_text, "")
      << "a value without a port field has no port: refused when opened, as \"0\" or \"abc\" are";
  ASSERT_TRUE(SaveServerSettings(registry, InputFrom(stored)));
  Registry reread = Open();
  EXPECT_EQ(reread.ReadValue(kServerKey, "NTP37"), "NO:NO:YES:1037")
      << "a save re-enabled or changed a disabled service";
  EXPECT_EQ(reread.ReadValue(kServerKey, "UNIX519"), "YES:YES:YES:");
}

TEST_F(SettingsStoreTest, MissingServiceValueAfterTheFirstStartLeavesTheServiceOff) {
  {
    Registry registry = Open();
    WriteFirstStartDefaults(registry, "h");
    ASSERT_EQ(registry.DeleteValue(Hive::kLocalMachine, kServerKey, "NTP37"), kRegSuccess);
  }
  Registry registry = Open();
  StoredServerSettings stored = LoadServerSettings(registry);
  EXPECT_FALSE(stored.first_start);
  EXPECT_EQ(stored.services[static_cast<size_t>(Service::kTime)], (ServiceFields{false, true, true, "37"}))
      << "a missing value must not open the service";
  EXPECT_TRUE(stored.services[static_cast<size_t>(Service::kNtp)].enabled);
  ASSERT_TRUE(SaveServerSettings(registry, InputFrom(stored)));
  EXPECT_EQ(Open().ReadValue(kServerKey, "NTP37"), "NO:YES:YES:37") << "saved as it ran: off";
}

TEST_F(SettingsStoreTest, RunValueIsWrittenOrDeletedOnlyWhenTheChoiceChanged) {
  struct Case {
    bool found_at_start;
    bool wanted;
    const char* on_disk_before;
    const char* on_disk_after;
  };
  const Case cases[] = {
      {false, true, "", "/opt/mdl/QOR_MDL_Server"},
      {true, false, "/old/QOR_MDL_Server", ""},
      {true, true, "/old/QOR_MDL_Server", "/old/QOR_MDL_Server"},  // left as it is
      {false, false, "", ""},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(File());
    Registry registry = Open();
    WriteFirstStartDefaults(registry, "h");
    if (*c.on_disk_before) {
      registry.WriteValue(Hive::kLocalMachine, kRunKey, kRunValueName, c.on_disk_before);
    }
    StoredServerSettings stored = LoadServerSettings(registry);
    EXPECT_EQ(stored.run_value_found, c.found_at_start);
    SaveInput in = InputFrom(stored);
    in.run_wanted = c.wanted;
    EXPECT_TRUE(SaveServerSettings(registry, in));
    EXPECT_EQ(Open().ReadValue(kRunKey, kRunValueName), c.on_disk_after)
        << "found at start " << c.found_at_start << ", wanted " << c.wanted;
  }
}

}  // namespace
}  // namespace mdl
