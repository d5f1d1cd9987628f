// The NTS key establishment values: off unless both files are named, the
// port's bounds, the Server record's host, and the lines for unusable values.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/registry/registry.h"
#include "server/core/settings.h"
#include "tests/support/temp_dir.h"

namespace mdl {
namespace {

class SettingsNtsKeTest : public ::testing::Test {
 protected:
  void Set(std::string_view name, std::string_view text) {
    ASSERT_TRUE(registry_.WriteValue(Hive::kLocalMachine, kServerKey, name, text));
  }
  NtsKeSettings Load() {
    lines_.clear();
    return LoadNtsKeSettings(registry_, lines_);
  }

  testing::TempDir folder_{"mdl-ntske-settings"};
  Registry registry_{folder_.path() / "registry.reg",
                     [](const std::string& m) { ADD_FAILURE() << "reported: " << m; }};
  std::vector<std::string> lines_;
};

TEST_F(SettingsNtsKeTest, OffByDefaultAndOnWithBothFiles) {
  NtsKeSettings s = Load();
  EXPECT_FALSE(s.enabled());
  EXPECT_EQ(s.port, 4460);
  EXPECT_TRUE(s.ntp_server.empty());
  EXPECT_TRUE(lines_.empty());

  Set("NtsCertificate", "/etc/meridel/nts.pem");
  s = Load();
  EXPECT_FALSE(s.enabled());
  ASSERT_EQ(lines_.size(), 1u);
  EXPECT_EQ(lines_[0], "NtsCertificate is set without NtsKey; NTS stays off");

  Set("NtsKey", "/etc/meridel/nts.key");
  Set("NtsKePort", "14460");
  Set("NtsNtpServer", "ntp2.example.net");
  s = Load();
  EXPECT_TRUE(s.enabled());
  EXPECT_TRUE(lines_.empty()) << lines_.front();
  EXPECT_EQ(s, (NtsKeSettings{"/etc/meridel/nts.pem", "/etc/meridel/nts.key", 14460, "ntp2.example.net"}));
}

TEST_F(SettingsNtsKeTest, UnusableValuesKeepTheirDefaults) {
  for (const char* bad : {"0", "65536", "-1", " 4460", "port"}) {
    Set("NtsKePort", bad);
    EXPECT_EQ(Load().port, 4460) << bad;
    ASSERT_EQ(lines_.size(), 1u) << bad;
    EXPECT_EQ(lines_[0],
              "NtsKePort \"" + std::string(bad) + "\" is not a port number from 1 to 65535; 4460 kept");
  }
  Set("NtsKePort", "65535");
  EXPECT_EQ(Load().port, 65535);
  Set("NtsNtpServer", "two words");
  EXPECT_TRUE(Load().ntp_server.empty());
  ASSERT_EQ(lines_.size(), 1u);
  EXPECT_NE(lines_[0].find("NtsNtpServer"), std::string::npos);
  Set("NtsKey", "/k");
  EXPECT_FALSE(Load().enabled());
  EXPECT_EQ(lines_.front(), "NtsKey is set without NtsCertificate; NTS stays off");
}

}  // namespace
}  // namespace mdl
