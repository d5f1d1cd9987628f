// Tests of the client application on a frozen virtual clock: first start,
// stored settings, the schedule and its retries, run-once ending and saving
// at exit, against a TCP server on 127.0.0.1.
#include "client/client_app.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "common/registry/registry.h"
#include "tests/client/loopback_peer.h"

namespace mdl {
namespace {

namespace asio = boost::asio;
namespace fs = std::filesystem;
using namespace std::chrono;
using Outcome = ExchangeResult::Outcome;
using test::ClosedPort;
using test::LockedClock;
using test::ReplyServer;

const UtcTime kStart = UtcTime(sys_days(year(2026) / 5 / 4));

class ClientAppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("mdl_client_app_" + std::to_string(::getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    clock_.set_zone(ZoneFacts{});
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path RegistryFile() const { return dir_ / "registry.reg"; }
  std::string FileText() const {
    std::ifstream in(RegistryFile());
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  void Store(const std::string& value) {
    Registry reg(RegistryFile(), [](const std::string&) {});
    reg.CreateKey(kClientKeyPath);
    ASSERT_TRUE(reg.WriteValue(Hive::kLocalMachine, kClientKey, kClientValueName, value));
  }
  static ClientAppOptions Options(bool run_once) {
    ClientAppOptions o;
    o.run_once = run_once;
    o.print_reports = true;
    o.timeout = milliseconds(500);
    return o;
  }
  ClientAppOutputs Outputs() {
    ClientAppOutputs o;
    o.out = [this](const std::string& s) { out_.push_back(s); };
    o.log = [this](const std::string& s) { log_.push_back(s); };
    o.on_exit = [this](int status) { exit_status_ = status; };
    o.on_change = [this] { ++changes_; };
    return o;
  }
  template <class Pred>
  bool Pump(Pred done) {
    return test::Pump(io_, done);
  }
  // Runs what is ready now (a tick that starts an exchange).
  void Poll() {
    io_.restart();
    io_.poll();
  }
  // Lets every exchange under way finish (its reply or its failure).
  bool Settle(const ClientApp& app) {
    return Pump([&] { return !app.busy(); });
  }

  asio::io_context io_;
  VirtualClock clock_{kStart};
  fs::path dir_;
  std::vector<std::string> out_;
  std::vector<std::string> log_;
  std::optional<int> exit_status_;
  int changes_ = 0;
};

TEST_F(ClientAppTest, FirstStartWritesTheDefaultValue) {
  Registry reg(RegistryFile(), [](const std::string&) {});
  ClientApp app(io_, clock_, reg, Options(false), Outputs());
  app.Load();
  EXPECT_EQ(reg.ReadValue(kClientKey, kClientValueName), "hostname:5:Minute/s:YES");
  EXPECT_NE(FileText().find("[HKEY_LOCAL_MACHINE\\Software\\Meridel]\n\"MDLClient\"="
                            "\"hostname:5:Minute/s:YES\""),
            std::string::npos)
      << FileText();
  EXPECT_EQ(app.schedule().interval(), 300);
  EXPECT_EQ(app.settings().host, "hostname");
  EXPECT_FALSE(app.busy()) << "the first exchange starts in the next handler";
  app.Unload();
  io_.poll();
  EXPECT_FALSE(app.busy()) << "no exchange after the unload";
  EXPECT_FALSE(app.settings_changed());
}

TEST_F(ClientAppTest, RunOnceSetsTheClockAndExitsZero) {
  const UtcTime server_time = kStart + hours(3);
  ReplyServer server(io_, server_time);
  Store(server.host() + ":2:Hour/s:NO");
  Registry reg(RegistryFile(), [](const std::string&) {});
  ClientAppOptions o = Options(true);
  o.virtual_clock = true;
  ClientApp app(io_, clock_, reg, o, Outputs());
  app.Load();
  EXPECT_EQ(app.schedule().interval(), 7200) << "2 Hour/s";
  EXPECT_FALSE(app.settings().run_minimized);
  EXPECT_EQ(clock_.pending_timers(), 0u) << "run-once needs no tick";
  ASSERT_TRUE(Pump([&] { return exit_status_.has_value(); }));
  EXPECT_EQ(*exit_status_, 0) << "run-once must end with 0 after setting the clock";
  EXPECT_TRUE(app.ended()) << "settings saved before the exit request";
  EXPECT_EQ(clock_.set_count(), 1);
  EXPECT_EQ(clock_.now(), server_time) << "no time passed on the frozen clock";
  ASSERT_EQ(out_.size(), 1u) << "the report goes to the output once";
  EXPECT_EQ(out_[0].rfind("MDL Server: MDLS v5 - Zone: UTC\r\n", 0), 0u) << out_[0];
  EXPECT_EQ(app.report(), out_[0]);
  EXPECT_EQ(app.tray_tip().rfind(" MDL Server Client: Time adjusted by ", 0), 0u) << app.tray_tip();
  ASSERT_EQ(log_.size(), 1u);
  EXPECT_EQ(log_[0], "Virtual clock set to 2026-05-04 3:0:0.0 UTC; the system clock is untouched");
}

TEST_F(ClientAppTest, RunOnceWithoutServerRetriesTenTicksApartThenExitsOne) {
  const std::string host = "127.0.0.1:" + std::to_string(ClosedPort());
  Store(host + ":5:Minute/s:YES");
  Registry reg(RegistryFile(), [](const std::string&) {});
  ClientApp app(io_, clock_, reg, Options(true), Outputs());
  app.Load();
  ASSERT_TRUE(Pump([&] { return !log_.empty(); }));
  EXPECT_EQ(log_[0], "Exchange with " + host + " failed: cannot connect: Connection refused");
  EXPECT_FALSE(exit_status_) << "no reply yet: run-once waits for the retry";
  for (int second = 1; second <= 10 * kRunOnceAttempts && !exit_status_; ++second) {
    clock_.advance(seconds(1));
    Poll();
    ASSERT_TRUE(Settle(app));
    ASSERT_EQ(log_.size(), static_cast<size_t>(1 + second / 10))
        << "one attempt every 10 ticks, at " << second;
  }
  ASSERT_TRUE(Pump([&] { return exit_status_.has_value(); }));
  EXPECT_EQ(*exit_status_, 1) << "run-once must end with 1 when no attempt got a reply";
  EXPECT_EQ(log_.size(), static_cast<size_t>(kRunOnceAttempts));
  EXPECT_EQ(clock_.set_count(), 0);
  EXPECT_TRUE(out_.empty()) << "no report without a reply";
  ASSERT_TRUE(app.last_result());
  EXPECT_EQ(app.last_result()->outcome, Outcome::kConnectFailed);
}

TEST_F(ClientAppTest, RunOnceAttemptsValueBoundsTheRetries) {
  const std::string host = "127.0.0.1:" + std::to_string(ClosedPort());
  for (const auto& [value, attempts] : {std::pair<std::string, int>{"2", 2}, {"0", kRunOnceAttempts}}) {
    SCOPED_TRACE(value);
    Store(host + ":5:Minute/s:YES");
    Registry reg(RegistryFile(), [](const std::string&) {});
    ASSERT_TRUE(reg.WriteValue(Hive::kLocalMachine, kClientKey, kRunOnceAttemptsValueName, value));
    log_.clear();
    exit_status_.reset();
    ClientApp app(io_, clock_, reg, Options(true), Outputs());
    app.Load();
    int failures = 0;
    for (int second = 0; second <= 10 * kRunOnceAttempts + 10 && !exit_status_; ++second) {
      if (second > 0) clock_.advance(seconds(1));
      Poll();  // the tick, which may start an exchange
      ASSERT_TRUE(Settle(app));
      Poll();
    }
    ASSERT_TRUE(exit_status_.has_value());
    EXPECT_EQ(*exit_status_, 1);
    for (const std::string& line : log_) failures += line.starts_with("Exchange with ") ? 1 : 0;
    EXPECT_EQ(failures, attempts);
    if (value == "0") {
      EXPECT_EQ(log_[0], "Setting RunOnceAttempts=\"0\" allows no exchange; 30 kept");
    }
  }
}

// A boot script that runs before the server is up: the retry 10 ticks
// after the server came gets the time.
TEST_F(ClientAppTest, RunOnceSucceedsAgainstAServerStartedFifteenSecondsLater) {
  const uint16_t port = ClosedPort();
  Store("127.0.0.1:" + std::to_string(port) + ":5:Minute/s:YES");
  Registry reg(RegistryFile(), [](const std::string&) {});
  ClientAppOptions o = Options(true);
  o.virtual_clock = true;
  ClientApp app(io_, clock_, reg, o, Outputs());
  app.Load();
  ASSERT_TRUE(Pump([&] { return !log_.empty(); }));
  std::optional<ReplyServer> server;
  for (int second = 1; second <= 30 && !exit_status_; ++second) {
    clock_.advance(seconds(1));
    if (second == 15) server.emplace(io_, kStart + hours(1), port);
    Poll();
    ASSERT_TRUE(Settle(app));
  }
  ASSERT_TRUE(Pump([&] { return exit_status_.has_value(); }));
  EXPECT_EQ(*exit_status_, 0) << "the third attempt (20 s) meets the server";
  ASSERT_TRUE(server);
  EXPECT_EQ(server->requests(), 1);
  EXPECT_EQ(clock_.set_count(), 1);
  EXPECT_EQ(out_.size(), 1u);
  EXPECT_EQ(log_.size(), 3u) << "two failures and the virtual clock's line";
}

TEST_F(ClientAppTest, RunOnceWithAHostThatCannotWorkEndsAtOnce) {
  Store("bad host name with spaces:5:Minute/s:YES");
  Registry reg(RegistryFile(), [](const std::string&) {});
  ClientApp app(io_, clock_, reg, Options(true), Outputs());
  app.Load();
  ASSERT_TRUE(Pump([&] { return exit_status_.has_value(); }));
  EXPECT_EQ(*exit_status_, 1);
  ASSERT_TRUE(app.last_result());
  EXPECT_EQ(app.last_result()->outcome, Outcome::kBadHost);
}

TEST_F(ClientAppTest, ClockNotSetIsReportedAndEndsRunOnceWithOne) {
  LockedClock locked(kStart);
  locked.set_zone(ZoneFacts{});
  ReplyServer server(io_, kStart + hours(3));
  Store(server.host() + ":5:Minute/s:YES");
  Registry reg(RegistryFile(), [](const std::string&) {});
  ClientApp app(io_, locked, reg, Options(true), Outputs());
  app.Load();
  ASSERT_TRUE(Pump([&] { return exit_status_.has_value(); }));
  EXPECT_EQ(*exit_status_, 1);
  ASSERT_EQ(out_.size(), 1u) << "the report is printed, saying the clock was not set";
  const std::string tail = "\r\nClock not set: Operation not permitted";
  EXPECT_EQ(out_[0].substr(out_[0].size() - tail.size()), tail) << out_[0];
  ASSERT_EQ(log_.size(), 1u);
  EXPECT_EQ(log_[0], "Exchange with " + server.host() + " failed: Clock not set: Operation not permitted");
  EXPECT_EQ(app.tray_tip(), "");
  EXPECT_EQ(app.schedule().countdown(), 0) << "a refused clock is not retried early";
}

TEST_F(ClientAppTest, RefusedReplyIsReportedRetriedSoonAndEndsRunOnceWithOne) {
  ReplyServer server(io_, kStart + hours(24 * 365 * 3));
  Store(server.host() + ":5:Minute/s:YES");
  {
    Registry reg(RegistryFile(), [](const std::string&) {});
    ASSERT_TRUE(reg.WriteValue(Hive::kLocalMachine, kClientKey, kPlausibleYearsValueName, "1"));
    ASSERT_TRUE(reg.WriteValue(Hive::kLocalMachine, kClientKey, kMaxRoundTripValueName, "fast"));
  }
  Registry reg(RegistryFile(), [](const std::string&) {});
  ClientApp app(io_, clock_, reg, Options(true), Outputs());
  app.Load();
  ASSERT_TRUE(Pump([&] { return exit_status_.has_value(); }));
  EXPECT_EQ(*exit_status_, 1) << "a refused reply is a failure";
  EXPECT_EQ(clock_.set_count(), 0);
  ASSERT_EQ(out_.size(), 1u) << "the report is printed with the refusal";
  EXPECT_TRUE(out_[0].starts_with("MDL Server: MDLS v5 - Zone: UTC\r\n")) << out_[0];
  EXPECT_TRUE(out_[0].ends_with("more than 1 years.")) << out_[0];
  ASSERT_EQ(log_.size(), 2u);
  EXPECT_EQ(log_[0], "Setting MaxRoundTripMs=\"fast\" is not a number up to 3600000; 2000 kept");
  EXPECT_TRUE(
      log_[1].starts_with("Exchange with " + server.host() + " failed: Refused: the server's time is +1095"))
      << log_[1];
  EXPECT_EQ(app.schedule().countdown(), app.schedule().interval() - 10) << "retried 10 ticks later";
}

TEST_F(ClientAppTest, SavesAtExitOnlyWhenSettingsChanged) {
  const std::string host = "127.0.0.1:" + std::to_string(ClosedPort());
  Store(host + ":7:Stray:NO");  // an odd value must survive an unchanged run
  {
    Registry reg(RegistryFile(), [](const std::string&) {});
    ClientApp app(io_, clock_, reg, Options(false), Outputs());
    app.Load();
    EXPECT_EQ(app.schedule().interval(), 7) << "unknown unit counts seconds";
    app.Unload();
  }
  EXPECT_EQ(Registry(RegistryFile()).ReadValue(kClientKey, kClientValueName), host + ":7:Stray:NO");
  {
    Registry reg(RegistryFile(), [](const std::string&) {});
    ClientApp app(io_, clock_, reg, Options(false), Outputs());
    app.Load();
    const int before = changes_;
    app.SetIntervalNumber("not a number");
    EXPECT_FALSE(app.settings_changed()) << "a non-number in the box changes nothing";
    EXPECT_EQ(changes_, before);
    app.SetIntervalNumber("3");
    app.SetIntervalUnit("Day/s");
    EXPECT_EQ(app.schedule().interval(), 3 * 86400);
    app.SetHost("127.0.0.2:1");
    EXPECT_EQ(app.settings().host, "127.0.0.2:1");
    EXPECT_EQ(changes_, before + 3) << "every applied edit is announced";
    app.Unload();
    EXPECT_FALSE(app.settings_changed());
  }
  EXPECT_EQ(Registry(RegistryFile()).ReadValue(kClientKey, kClientValueName), "127.0.0.2:1:3:Day/s:NO");
}

TEST_F(ClientAppTest, IntervalBeyondRangeIsNotApplied) {
  Store("127.0.0.1:1:100000:Day/s:YES");
  Registry reg(RegistryFile(), [](const std::string&) {});
  ClientApp app(io_, clock_, reg, Options(false), Outputs());
  app.Load();
  EXPECT_EQ(app.schedule().interval(), kDefaultIntervalSeconds) << "overflowing interval applied";
  bool said = false;
  for (const auto& line : log_) said |= line.find("exceeds 2147483647 seconds") != std::string::npos;
  EXPECT_TRUE(said) << "the refusal must be reported";
  app.Unload();
}

TEST_F(ClientAppTest, TickStartsAnExchangeWhenTheIntervalElapses) {
  ReplyServer server(io_, kStart + seconds(30));
  Store(server.host() + ":3:Second/s:YES");
  Registry reg(RegistryFile(), [](const std::string&) {});
  ClientApp app(io_, clock_, reg, Options(false), Outputs());
  app.Load();
  ASSERT_TRUE(Pump([&] { return server.requests() == 1 && !app.busy(); })) << "first exchange at once";
  EXPECT_EQ(clock_.set_count(), 1);
  for (int exchange = 2; exchange <= 4; ++exchange) {
    clock_.advance(seconds(2));
    ASSERT_TRUE(Settle(app));
    EXPECT_EQ(server.requests(), exchange - 1) << "one tick too early";
    clock_.advance(seconds(1));
    ASSERT_TRUE(Settle(app));
    EXPECT_EQ(server.requests(), exchange) << "due after 3 ticks";
  }
  EXPECT_EQ(clock_.set_count(), 4);
  app.Unload();
  EXPECT_EQ(clock_.pending_timers(), 0u) << "the tick stops at the unload";
  clock_.advance(seconds(10));
  Settle(app);
  EXPECT_EQ(server.requests(), 4);
}

TEST_F(ClientAppTest, FailedExchangeIsRetriedTenTicksLater) {
  ReplyServer server(io_, kStart + seconds(30));
  server.short_reply = true;
  Store(server.host() + ":1:Minute/s:YES");
  Registry reg(RegistryFile(), [](const std::string&) {});
  ClientApp app(io_, clock_, reg, Options(false), Outputs());
  app.Load();
  ASSERT_TRUE(Pump([&] { return app.last_result().has_value(); }));
  EXPECT_EQ(app.last_result()->outcome, Outcome::kBadReply);
  EXPECT_EQ(app.schedule().countdown(), 50) << "interval 60 less 10";
  clock_.advance(seconds(9));
  ASSERT_TRUE(Settle(app));
  EXPECT_EQ(server.requests(), 1) << "retried too early";
  clock_.advance(seconds(1));
  ASSERT_TRUE(Pump([&] { return server.requests() == 2 && !app.busy(); })) << "no retry after 10 ticks";
  server.short_reply = false;
  clock_.advance(seconds(10));
  ASSERT_TRUE(Pump([&] { return server.requests() == 3 && !app.busy(); })) << "the failed retry retries";
  ASSERT_EQ(app.last_result()->outcome, Outcome::kSynchronised) << app.last_result()->error;
  clock_.advance(seconds(59));
  ASSERT_TRUE(Settle(app));
  EXPECT_EQ(server.requests(), 3) << "after a success the full interval applies";
  clock_.advance(seconds(1));
  ASSERT_TRUE(Pump([&] { return server.requests() == 4 && !app.busy(); }));
  app.Unload();
}

TEST_F(ClientAppTest, FailureKeepsTheReportAndTheTip) {
  ReplyServer server(io_, kStart + seconds(30));
  Store(server.host() + ":5:Minute/s:YES");
  Registry reg(RegistryFile(), [](const std::string&) {});
  ClientApp app(io_, clock_, reg, Options(false), Outputs());
  app.Load();
  ASSERT_TRUE(Pump([&] { return app.last_result().has_value(); }));
  ASSERT_TRUE(app.last_result()->synchronised()) << app.last_result()->error;
  const std::string report = app.report();
  const std::string tip = app.tray_tip();
  ASSERT_FALSE(report.empty());
  server.short_reply = true;
  app.SyncNow();
  EXPECT_TRUE(app.busy());
  ASSERT_TRUE(Settle(app));
  EXPECT_EQ(app.last_result()->outcome, Outcome::kBadReply);
  EXPECT_EQ(app.report(), report);
  EXPECT_EQ(app.tray_tip(), tip);
  EXPECT_EQ(out_.size(), 1u) << "a failure prints no report";
  app.Unload();
}

}  // namespace
}  // namespace mdl
