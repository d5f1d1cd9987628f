// The desktop client's Run value: applied at the end from what was found at
// start and what is wanted then; left alone by the service build.
#include <filesystem>
#include <string>

#include <gtest/gtest.h>
#include <unistd.h>

#include "client/client_app.h"
#include "common/registry/registry.h"
#include "tests/client/loopback_peer.h"

namespace mdl {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;

class ClientRunValueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("mdl_client_run_" + std::to_string(::getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    Registry reg(File(), [](const std::string&) {});
    reg.CreateKey(kClientKeyPath);
    // A closed port: the first exchange fails at once, on loopback.
    ASSERT_TRUE(reg.WriteValue(Hive::kLocalMachine, kClientKey, kClientValueName,
                               test::LoopbackHost(test::ClosedPort()) + ":5:Minute/s:NO"));
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path File() const { return dir_ / "registry.reg"; }
  void StoreRunValue(const std::string& data) {
    Registry reg(File(), [](const std::string&) {});
    ASSERT_TRUE(reg.WriteValue(Hive::kLocalMachine, kClientRunKey, kClientRunValueName, data));
  }
  std::string RunValue() const {
    Registry reg(File(), [](const std::string&) {});
    return reg.ReadValue(kClientRunKey, kClientRunValueName);
  }
  // Loads, lets `edit` act as the window would, and ends.
  template <class Edit>
  void Session(const std::string& run_value_data, Edit edit, bool* found_at_start = nullptr) {
    boost::asio::io_context io;
    VirtualClock clock{UtcTime(sys_days(year(2026) / 5 / 4))};
    Registry reg(File(), [](const std::string&) {});
    ClientAppOptions o;
    o.run_value_data = run_value_data;
    o.timeout = milliseconds(500);
    ClientApp app(io, clock, reg, o, {});
    app.Load();
    if (found_at_start) *found_at_start = app.run_found_at_start();
    EXPECT_EQ(app.run_at_start(), app.run_found_at_start());
    edit(app);
    app.Unload();
    io.poll();
  }

  fs::path dir_;
};

TEST_F(ClientRunValueTest, WrittenWhenWantedAndMissingDeletedWhenClearedKeptOtherwise) {
  const std::string data = ClientRunValueData("/opt/meridel");
  EXPECT_EQ(data, "/opt/meridel/QOR_MDLSC");
  EXPECT_EQ(ClientRunValueData("/opt/meridel/"), data);

  bool found = true;
  Session(
      data, [](ClientApp&) {}, &found);
  EXPECT_FALSE(found);
  EXPECT_EQ(RunValue(), "") << "not wanted, not written";

  Session(data, [](ClientApp& app) {
    app.SetRunAtStart(true);
    EXPECT_TRUE(app.settings_changed()) << "the box counts as a settings edit";
  });
  EXPECT_EQ(RunValue(), data);

  // Found at start, still wanted: left as it is (even with other data).
  StoreRunValue("/elsewhere/QOR_MDLSC");
  Session(
      data, [](ClientApp&) {}, &found);
  EXPECT_TRUE(found);
  EXPECT_EQ(RunValue(), "/elsewhere/QOR_MDLSC");

  // Cleared and ticked again in one session: kept.
  Session(data, [](ClientApp& app) {
    app.SetRunAtStart(false);
    app.SetRunAtStart(true);
  });
  EXPECT_EQ(RunValue(), "/elsewhere/QOR_MDLSC");

  Session(data, [](ClientApp& app) { app.SetRunAtStart(false); });
  EXPECT_EQ(RunValue(), "");
}

TEST_F(ClientRunValueTest, TheServiceBuildLeavesItAlone) {
  StoreRunValue("/opt/meridel/QOR_MDLSC");
  bool found = true;
  Session(
      "", [](ClientApp& app) { app.SetRunAtStart(false); }, &found);
  EXPECT_FALSE(found) << "without Run-value handling nothing is read";
  EXPECT_EQ(RunValue(), "/opt/meridel/QOR_MDLSC");
}

}  // namespace
}  // namespace mdl
