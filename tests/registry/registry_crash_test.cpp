// Crash safety of the store: a writer killed at any moment never leaves a
// store file that fails to load.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>

#include "common/registry/reg_format.h"
#include "common/registry/registry.h"
#include "tests/support/temp_dir.h"

namespace mdl {
namespace {

constexpr std::string_view kCrashKey = "Software\\Meridel Server";

// Saves in a tight loop until killed; every value grows the counter by one.
[[noreturn]] void SaveForever(const std::filesystem::path& file) {
  Registry registry(file, [](const std::string&) {});
  long counter = std::atol(registry.ReadValue(kCrashKey, "Counter").c_str());
  for (;;) {
    ++counter;
    Registry::Batch batch = registry.BeginBatch();
    registry.WriteValue(Hive::kLocalMachine, kCrashKey, "Counter", std::to_string(counter));
    // Bulk so that a save takes several write calls.
    registry.WriteValue(Hive::kLocalMachine, kCrashKey, "Bulk",
                        std::string(static_cast<size_t>(counter % 7) * 20000, 'x'));
  }
}

TEST(RegistryCrash, StoreAlwaysParsesAfterTheWriterIsKilledMidSave) {
  testing::TempDir folder("mdl-reg");
  const std::filesystem::path file = folder.path() / "registry.reg";
  {
    Registry seed(file, [](const std::string&) {});
    ASSERT_TRUE(seed.WriteValue(Hive::kLocalMachine, kCrashKey, "Settings", "YES:59:Minutes/s:NA:36"));
  }
  std::mt19937 random(12345);
  std::uniform_int_distribution<int> delay_us(0, 4000);
  long first_counter = -1;
  long last_counter = 0;
  for (int round = 0; round < 200; ++round) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0) << "fork failed";
    if (child == 0) SaveForever(file);
    // Mostly kills inside a save; every tenth round gives the writer time to
    // finish some (an fsync can take milliseconds on a loaded machine).
    const int wait_us = round % 10 == 9 ? 50000 : delay_us(random);
    std::this_thread::sleep_for(std::chrono::microseconds(wait_us));
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "round " << round << ": the writer ended by itself";

    RegParseResult parsed = ParseRegFile(testing::ReadFile(file));
    ASSERT_TRUE(parsed.ok) << "round " << round << ": store damaged at line " << parsed.error_line << ": "
                           << parsed.error;
    const RegKey* key = parsed.data.FindKey(Hive::kLocalMachine, kCrashKey);
    ASSERT_NE(key, nullptr) << "round " << round << ": the key vanished";
    ASSERT_EQ(key->values.at(0), (RegValue{"Settings", "YES:59:Minutes/s:NA:36"}))
        << "round " << round << ": an untouched value changed";
    long counter = 0;
    for (const RegValue& value : key->values) {
      if (value.name == "Counter") counter = std::atol(value.data.c_str());
    }
    ASSERT_GE(counter, last_counter) << "round " << round << ": a save went backwards";
    if (first_counter < 0) first_counter = counter;
    last_counter = counter;
  }
  EXPECT_GT(last_counter, first_counter) << "the writer never completed a save";
  EXPECT_TRUE(folder.Entries("registry.reg.corrupt-").empty()) << "a load found a damaged store";

  Registry after(file, [](const std::string& message) { ADD_FAILURE() << message; });
  ASSERT_TRUE(after.WriteValue(Hive::kLocalMachine, kCrashKey, "Done", "YES"));
  EXPECT_TRUE(folder.Entries(".registry.reg.tmp-").empty())
      << "temporary files of killed writers were not cleared";
}

}  // namespace
}  // namespace mdl
