// Tests of the load step of our own values: bounds, fallbacks and the lines
// that name an unusable value.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "common/registry/registry.h"
#include "server/core/settings.h"
#include "tests/support/temp_dir.h"

namespace mdl {
namespace {

class SettingsTuningTest : public ::testing::Test {
 protected:
  void Set(std::string_view name, std::string_view text) {
    ASSERT_TRUE(registry_.WriteValue(Hive::kLocalMachine, kServerKey, name, text));
  }
  ServerTuning Load() { return LoadServerTuning(registry_, 16); }

  testing::TempDir folder_{"mdl-tuning"};
  Registry registry_{folder_.path() / "registry.reg",
                     [](const std::string& m) { ADD_FAILURE() << "reported: " << m; }};
};

TEST_F(SettingsTuningTest, UnsetValuesLeaveEveryDefault) {
  const ServerTuning t = Load();
  EXPECT_FALSE(t.tcp_idle_timeout || t.tcp_max_connections || t.tcp_max_per_address);
  EXPECT_FALSE(t.amplification_budget || t.log_max_day_bytes || t.discipline);
  EXPECT_FALSE(t.max_frequency_ppm || t.frequency_ppm || t.sync_samples || t.max_unsynced || t.max_step);
  EXPECT_TRUE(t.amplification_limit);
  EXPECT_TRUE(t.diagnostics.empty());
}

TEST_F(SettingsTuningTest, UsableValuesAreTakenAtTheirBounds) {
  Set("TcpIdleTimeout", "86400");
  Set("TcpMaxConnections", "1000000");
  Set("TcpMaxPerAddress", "0");
  Set("AmplificationBudget", "100000000:0");
  Set("AmplificationLimit", "NO");
  Set("LogMaxBytes", "0");
  Set("Discipline", "NO");
  Set("MaxFrequencyPpm", "500");
  Set("FrequencyPpm", "-499.5");
  Set("SyncSamples", "8");
  Set("MaxUnsyncedSeconds", "0");
  Set("MaxStepSeconds", "2000000000");
  Set("UpdateHost", "updates.example");
  const ServerTuning t = Load();
  EXPECT_TRUE(t.diagnostics.empty()) << t.diagnostics.front();
  EXPECT_EQ(t.tcp_idle_timeout, std::chrono::seconds(86400));
  EXPECT_EQ(t.tcp_max_connections, 1000000u);
  EXPECT_EQ(t.tcp_max_per_address, 0u);
  ASSERT_TRUE(t.amplification_budget);
  EXPECT_EQ(t.amplification_budget->rate, 100000000u);
  EXPECT_EQ(t.amplification_budget->burst, 0u);
  EXPECT_FALSE(t.amplification_limit);
  EXPECT_EQ(t.log_max_day_bytes, UINT64_MAX) << "0 is no limit";
  EXPECT_EQ(t.discipline, false);
  EXPECT_EQ(t.max_frequency_ppm, 500.0);
  EXPECT_EQ(t.frequency_ppm, -499.5) << "the stored rate is checked against the bound read with it";
  EXPECT_EQ(t.sync_samples, 8);
  EXPECT_EQ(t.max_unsynced, std::chrono::seconds(0));
  EXPECT_EQ(t.max_step, std::chrono::seconds(2000000000));
  EXPECT_EQ(t.update_host, "updates.example");
}

TEST_F(SettingsTuningTest, UnusableValuesAreNamedAndTheirDefaultsKept) {
  Set("TcpMaxPerAddress", "1000001");
  Set("AmplificationBudget", "-1:5");
  Set("LogMaxBytes", "1 GB");
  Set("Discipline", "yes");
  Set("MaxFrequencyPpm", "500.001");
  Set("FrequencyPpm", "100.5");  // beyond the default bound of 100 ppm
  Set("SyncSamples", "0");
  Set("MaxUnsyncedSeconds", "2000000001");
  Set("MaxStepSeconds", "-5");
  const ServerTuning t = Load();
  EXPECT_FALSE(t.tcp_max_per_address || t.amplification_budget || t.log_max_day_bytes || t.discipline);
  EXPECT_FALSE(t.max_frequency_ppm || t.frequency_ppm || t.sync_samples || t.max_unsynced || t.max_step);
  const std::vector<std::string> expected = {
      "TcpMaxPerAddress \"1000001\" is not a number of connections; 16 kept",
      "AmplificationBudget \"-1:5\" is not <bytes per second>:<burst bytes>; default kept",
      "LogMaxBytes \"1 GB\" is not a number of bytes; 1073741824 kept",
      "Discipline \"yes\" is not YES or NO; YES kept",
      "MaxFrequencyPpm \"500.001\" is not a number of ppm above 0 and up to 500.000; 100.000 kept",
      "FrequencyPpm \"100.5\" is not a number of ppm within MaxFrequencyPpm (100.000); ignored",
      "SyncSamples \"0\" is not a number from 1 to 8; 1 kept",
      "MaxUnsyncedSeconds \"2000000001\" is not a number of seconds; 86400 s kept",
      "MaxStepSeconds \"-5\" is not a number of seconds; 1000 s kept",
  };
  EXPECT_EQ(t.diagnostics, expected);
}

TEST_F(SettingsTuningTest, SlewThresholdTakesMillisecondsUpToASecond) {
  EXPECT_FALSE(Load().slew_threshold) << "unset: the default";
  for (const char* ms : {"0", "1000", "250"}) {
    Set("SlewThresholdMs", ms);
    const ServerTuning t = Load();
    EXPECT_TRUE(t.diagnostics.empty()) << ms;
    EXPECT_EQ(t.slew_threshold, std::chrono::milliseconds(std::stoi(ms)));
  }
  for (const char* bad : {"1001", "-1", "0.5", "128ms"}) {
    Set("SlewThresholdMs", bad);
    const ServerTuning t = Load();
    EXPECT_FALSE(t.slew_threshold) << bad;
    EXPECT_EQ(t.diagnostics,
              std::vector<std::string>{"SlewThresholdMs \"" + std::string(bad) +
                                       "\" is not a number of ms from 0 to 1000; 128 ms kept"});
  }
}

TEST_F(SettingsTuningTest, SyncFilterAndUpstreamsPerSync) {
  EXPECT_FALSE(Load().sync_filter || Load().upstreams_per_sync) << "unset: the defaults stay";
  Set("SyncFilter", "NO");
  Set("UpstreamsPerSync", "5");
  ServerTuning t = Load();
  EXPECT_EQ(t.sync_filter, false);
  EXPECT_EQ(t.upstreams_per_sync, 5);
  EXPECT_TRUE(t.diagnostics.empty());
  Set("SyncFilter", "YES");
  Set("UpstreamsPerSync", "1");
  t = Load();
  EXPECT_EQ(t.sync_filter, true);
  EXPECT_EQ(t.upstreams_per_sync, 1);
  for (const char* bad : {"0", "6", "-1", "three"}) {
    Set("SyncFilter", "no");
    Set("UpstreamsPerSync", bad);
    t = Load();
    EXPECT_FALSE(t.sync_filter || t.upstreams_per_sync) << bad;
    EXPECT_EQ(t.diagnostics, (std::vector<std::string>{"SyncFilter \"no\" is not YES or NO; YES kept",
                                                       "UpstreamsPerSync \"" + std::string(bad) +
                                                           "\" is not a number from 1 to 5; 1 kept"}));
  }
}

TEST_F(SettingsTuningTest, SyncRegression) {
  EXPECT_FALSE(Load().sync_regression) << "unset: the engine's default (on)";
  for (const char* v : {"YES", "NO"}) {
    Set("SyncRegression", v);
    const ServerTuning t = Load();
    EXPECT_EQ(t.sync_regression, std::string(v) == "YES");
    EXPECT_TRUE(t.diagnostics.empty());
  }
  Set("SyncRegression", "on");
  const ServerTuning t = Load();
  EXPECT_FALSE(t.sync_regression);
  EXPECT_EQ(t.diagnostics, std::vector<std::string>{"SyncRegression \"on\" is not YES or NO; YES kept"});
}

TEST_F(SettingsTuningTest, OutOfRangeConnectionLimitsAndABudgetWithoutColonAreIgnoredQuietly) {
  Set("TcpIdleTimeout", "0");
  Set("TcpMaxConnections", "1000001");
  Set("AmplificationBudget", "5000");
  const ServerTuning t = Load();
  EXPECT_FALSE(t.tcp_idle_timeout || t.tcp_max_connections || t.amplification_budget);
  EXPECT_TRUE(t.diagnostics.empty());
}

TEST_F(SettingsTuningTest, BindAddressTakesEitherFamilyAndNamesTheFallbackOtherwise) {
  const auto any6 = boost::asio::ip::address_v6::any();
  std::vector<std::string> lines;
  EXPECT_EQ(LoadBindAddress(registry_, any6, lines), std::nullopt);
  Set("BindAddress", "127.0.0.1");
  EXPECT_EQ(LoadBindAddress(registry_, any6, lines), boost::asio::ip::make_address("127.0.0.1"));
  Set("BindAddress", "::1");
  EXPECT_EQ(LoadBindAddress(registry_, any6, lines), boost::asio::ip::make_address("::1"));
  EXPECT_TRUE(lines.empty());
  Set("BindAddress", "localhost");
  EXPECT_EQ(LoadBindAddress(registry_, any6, lines), std::nullopt);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "BindAddress \"localhost\" is not an IPv4 or IPv6 address; listening on ::");
}

TEST_F(SettingsTuningTest, NtpRateLimitIsOffUnlessSetAndABadValueSaysItStaysOff) {
  EXPECT_FALSE(Load().ntp_rate_limit);
  Set("NtpRateLimit", "NO");
  EXPECT_FALSE(Load().ntp_rate_limit);
  Set("NtpRateLimit", "YES");
  EXPECT_EQ(Load().ntp_rate_limit, (RateLimitParams{3, 8, 2}));
  Set("NtpRateLimit", "-2:32:1");
  ServerTuning t = Load();
  EXPECT_EQ(t.ntp_rate_limit, (RateLimitParams{-2, 32, 1}));
  EXPECT_TRUE(t.diagnostics.empty());
  Set("NtpRateLimit", "3:8:9");
  t = Load();
  EXPECT_FALSE(t.ntp_rate_limit);
  ASSERT_EQ(t.diagnostics.size(), 1u);
  EXPECT_EQ(t.diagnostics[0],
            "NtpRateLimit \"3:8:9\" is not YES, NO or <interval -4..12>:<burst 1..255>:<leak 1..4>; the NTP "
            "rate limit stays off");
}

TEST(MetricsAddressTest, AddressAndPortOrAComplaintNamingTheValue) {
  const auto a = [](const char* text) { return boost::asio::ip::make_address(text); };
  const struct {
    std::string_view text;
    std::optional<MetricsAddress> address;
  } cases[] = {
      {"127.0.0.1:9123", MetricsAddress{a("127.0.0.1"), 9123}},
      {"[::1]:9123", MetricsAddress{a("::1"), 9123}},
      {"0.0.0.0:1", MetricsAddress{a("0.0.0.0"), 1}},
      {"[::]:65535", MetricsAddress{a("::"), 65535}},
      {"9123", std::nullopt},
      {":9123", std::nullopt},
      {"127.0.0.1", std::nullopt},
      {"127.0.0.1:", std::nullopt},
      {"127.0.0.1:0", std::nullopt},
      {"127.0.0.1:65536", std::nullopt},
      {"127.0.0.1:99999999999", std::nullopt},
      {"127.0.0.1:+80", std::nullopt},
      {"127.0.0.1:80 ", std::nullopt},
      {"::1:9123", std::nullopt},
      {"[127.0.0.1]:9123", std::nullopt},
      {"[::1:9123", std::nullopt},
      {"[]:9123", std::nullopt},
      {"localhost:9123", std::nullopt},
      {"[fe80::1%1]:9123", std::nullopt},
      {"256.0.0.1:9123", std::nullopt},
  };
  for (const auto& c : cases) {
    const MetricsAddressParse p = ParseMetricsAddress(c.text);
    EXPECT_EQ(p.address, c.address) << c.text;
    if (c.address) {
      EXPECT_TRUE(p.complaint.empty()) << c.text;
    } else {
      EXPECT_EQ(p.complaint, "MetricsAddress \"" + std::string(c.text) +
                                 "\" is not <address>:<port> (such as 127.0.0.1:9123 or [::1]:9123); no "
                                 "metrics endpoint");
    }
  }
  const MetricsAddressParse empty = ParseMetricsAddress("");
  EXPECT_FALSE(empty.address);
  EXPECT_TRUE(empty.complaint.empty());
}

TEST_F(SettingsTuningTest, MetricsAddressIsOffUnlessSetAndUsable) {
  std::vector<std::string> lines;
  EXPECT_EQ(LoadMetricsAddress(registry_, lines), std::nullopt);
  EXPECT_TRUE(lines.empty());
  Set("MetricsAddress", "[::1]:9100");
  EXPECT_EQ(LoadMetricsAddress(registry_, lines),
            (MetricsAddress{boost::asio::ip::make_address("::1"), 9100}));
  EXPECT_TRUE(lines.empty());
  Set("MetricsAddress", "9100");
  EXPECT_EQ(LoadMetricsAddress(registry_, lines), std::nullopt);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("MetricsAddress \"9100\""), std::string::npos) << lines[0];
}

TEST_F(SettingsTuningTest, NtsIsOnOnlyWithCertificateAndKeyAndTakesARotationPeriod) {
  NtsCookieSettings nts = LoadNtsCookieSettings(registry_);
  EXPECT_FALSE(nts.on);
  EXPECT_EQ(nts.rotation, std::chrono::hours(24));
  Set("NtsCertificate", "/etc/meridel/nts.pem");
  EXPECT_FALSE(LoadNtsCookieSettings(registry_).on) << "a certificate without its key";
  Set("NtsKey", "/etc/meridel/nts.key");
  Set("NtsKeyRotationHours", "6");
  nts = LoadNtsCookieSettings(registry_);
  EXPECT_TRUE(nts.on);
  EXPECT_EQ(nts.rotation, std::chrono::hours(6));
  EXPECT_TRUE(nts.diagnostics.empty());
  for (const char* bad : {"0", "8761", "six", "-1"}) {
    Set("NtsKeyRotationHours", bad);
    nts = LoadNtsCookieSettings(registry_);
    EXPECT_EQ(nts.rotation, std::chrono::hours(24)) << bad;
    ASSERT_EQ(nts.diagnostics.size(), 1u) << bad;
    EXPECT_NE(nts.diagnostics[0].find("24 kept"), std::string::npos);
  }
}

TEST_F(SettingsTuningTest, NtsUpstreamTrustAndPlainFallback) {
  ServerTuning t = Load();
  EXPECT_FALSE(t.nts_plain_fallback);
  EXPECT_TRUE(t.nts_trusted_certificates.empty());
  Set("NtsTrustedCertificates", "/etc/meridel/upstream-ca.pem");
  Set("NtsPlainFallback", "YES");
  t = Load();
  EXPECT_EQ(t.nts_trusted_certificates, "/etc/meridel/upstream-ca.pem");
  EXPECT_EQ(t.nts_plain_fallback, std::optional<bool>(true));
  Set("NtsPlainFallback", "NO");
  EXPECT_EQ(Load().nts_plain_fallback, std::optional<bool>(false));
  Set("NtsPlainFallback", "yes please");
  t = Load();
  EXPECT_FALSE(t.nts_plain_fallback) << "unusable: the default (no fallback) stays";
  ASSERT_EQ(t.diagnostics.size(), 1u);
  EXPECT_NE(t.diagnostics[0].find("NtsPlainFallback"), std::string::npos);
  EXPECT_NE(t.diagnostics[0].find("NO kept"), std::string::npos);
}

}  // namespace
}  // namespace mdl
