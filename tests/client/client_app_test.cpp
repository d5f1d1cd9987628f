// Tests of the client application: first start, stored settings, run-once
// ending and saving at exit, against a TCP server on 127.0.0.1.
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
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include "common/clock/virtual_clock.h"
#include "common/registry/registry.h"
#include "common/time/mdl_stamp.h"

namespace mdl {
namespace {

namespace asio = boost::asio;
namespace fs = std::filesystem;
using asio::ip::tcp;
using namespace std::chrono;

// Answers every connection with a well-formed reply carrying `server_time`.
class ReplyServer {
 public:
  ReplyServer(asio::io_context& io, UtcTime server_time)
      : acceptor_(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0)), server_time_(server_time) {
    Accept();
  }
  uint16_t port() const { return acceptor_.local_endpoint().port(); }

 private:
  void Accept() {
    auto socket = std::make_shared<tcp::socket>(acceptor_.get_executor());
    acceptor_.async_accept(*socket, [this, socket](const boost::system::error_code& ec) {
      if (ec) return;
      auto buf = std::make_shared<std::array<uint8_t, 24>>();
      asio::async_read(*socket, asio::buffer(*buf),
                       [this, socket, buf](const boost::system::error_code& ec2, std::size_t) {
                         if (ec2) return;
                         std::copy_n("MDLS5", 5, buf->begin());
                         const auto stamp = MdlStampFromUtc(server_time_);
                         std::copy(stamp.begin(), stamp.end(), buf->begin() + 16);
                         boost::system::error_code ignored;
                         asio::write(*socket, asio::buffer(*buf), ignored);
                       });
      Accept();
    });
  }
  tcp::acceptor acceptor_;
  UtcTime server_time_;
};

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
  ClientAppOptions Options() {
    ClientAppOptions o;
    o.run_once = true;
    o.print_reports = true;
    o.timeout = milliseconds(500);
    o.out = [this](const std::string& s) { out_.push_back(s); };
    o.log = [this](const std::string& s) { log_.push_back(s); };
    o.on_exit = [this](int status) {
      exit_status_ = status;
      io_.stop();
    };
    return o;
  }

  asio::io_context io_;
  VirtualClock clock_ = VirtualClock::Frozen(UtcTime(sys_days(year(2026) / 5 / 4)));
  fs::path dir_;
  std::vector<std::string> out_;
  std::vector<std::string> log_;
  std::optional<int> exit_status_;
};

TEST_F(ClientAppTest, FirstStartWritesTheDefaultValue) {
  Registry reg(RegistryFile(), [](const std::string&) {});
  ClientApp app(io_, clock_, reg, Options());
  app.Form_Load();
  EXPECT_EQ(reg.ReadValue(kClientKey, kClientValueName), "hostname:5:Minute/s:YES");
  EXPECT_NE(FileText().find("[HKEY_LOCAL_MACHINE\\Software\\Meridel]\n\"MDLClient\"="
                            "\"hostname:5:Minute/s:YES\""),
            std::string::npos)
      << FileText();
  EXPECT_EQ(app.schedule().interval(), 300);
  EXPECT_EQ(app.engine().host(), "hostname");
  app.Form_Unload();
  EXPECT_FALSE(app.settings_changed());
}

TEST_F(ClientAppTest, RunOnceSetsTheClockAndExitsZero) {
  const UtcTime server_time = UtcTime(sys_days(year(2026) / 5 / 4)) + hours(3);
  ReplyServer server(io_, server_time);
  Store("127.0.0.1:" + std::to_string(server.port()) + ":2:Hour/s:NO");
  Registry reg(RegistryFile(), [](const std::string&) {});
  ClientApp app(io_, clock_, reg, Options());
  app.Form_Load();
  EXPECT_EQ(app.schedule().interval(), 7200) << "2 Hour/s";
  EXPECT_FALSE(app.settings().run_minimized);
  io_.run_for(seconds(3));
  ASSERT_EQ(exit_status_, 0) << "run-once must end with 0 after setting the clock";
  EXPECT_EQ(clock_.set_count(), 1);
  EXPECT_LT(clock_.now() - server_time, milliseconds(100));
  ASSERT_EQ(out_.size(), 1u) << "the report goes to the output once";
  EXPECT_EQ(out_[0].rfind("MDL Server: MDLS v5 - Zone: UTC\r\n", 0), 0u) << out_[0];
}

TEST_F(ClientAppTest, RunOnceWithoutServerExitsOne) {
  uint16_t closed_port;
  {
    tcp::acceptor probe(io_, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    closed_port = probe.local_endpoint().port();
  }
  Store("127.0.0.1:" + std::to_string(closed_port) + ":5:Minute/s:YES");
  Registry reg(RegistryFile(), [](const std::string&) {});
  ClientApp app(io_, clock_, reg, Options());
  app.Form_Load();
  io_.run_for(seconds(3));
  ASSERT_EQ(exit_status_, 1) << "run-once must end with 1 when the exchange failed";
  EXPECT_EQ(clock_.set_count(), 0);
  EXPECT_EQ(app.schedule().countdown(), 290) << "a failed exchange with interval 300 retries in 10 s";
  ASSERT_FALSE(log_.empty()) << "a failed exchange leaves a diagnostic line";
  EXPECT_NE(log_.back().find("failed"), std::string::npos) << log_.back();
}

TEST_F(ClientAppTest, SavesAtExitOnlyWhenSettingsChanged) {
  Store("timehost:7:Stray:NO");  // an odd value must survive an unchanged run
  {
    Registry reg(RegistryFile(), [](const std::string&) {});
    ClientAppOptions o = Options();
    o.run_once = false;
    ClientApp app(io_, clock_, reg, o);
    app.Form_Load();
    EXPECT_EQ(app.schedule().interval(), 7) << "unknown unit counts seconds";
    app.Form_Unload();
  }
  EXPECT_EQ(Registry(RegistryFile()).ReadValue(kClientKey, kClientValueName), "timehost:7:Stray:NO");
  {
    Registry reg(RegistryFile(), [](const std::string&) {});
    ClientAppOptions o = Options();
    o.run_once = false;
    ClientApp app(io_, clock_, reg, o);
    app.Form_Load();
    app.svrFreN_Change("not a number");
    EXPECT_FALSE(app.settings_changed()) << "a non-number in the box changes nothing";
    app.svrFreN_Change("3");
    app.svrFreQ_Click("Day/s");
    EXPECT_EQ(app.schedule().interval(), 3 * 86400);
    app.MDLSHost_Change("otherhost");
    EXPECT_EQ(app.engine().host(), "otherhost");
    app.Form_Unload();
  }
  EXPECT_EQ(Registry(RegistryFile()).ReadValue(kClientKey, kClientValueName), "otherhost:3:Day/s:NO");
}

TEST_F(ClientAppTest, IntervalBeyondRangeIsNotApplied) {
  Store("timehost:100000:Day/s:YES");
  Registry reg(RegistryFile(), [](const std::string&) {});
  ClientAppOptions o = Options();
  o.run_once = false;
  ClientApp app(io_, clock_, reg, o);
  app.Form_Load();
  EXPECT_EQ(app.schedule().interval(), kDefaultIntervalSeconds) << "overflowing interval applied";
  bool said = false;
  for (const auto& line : log_) said |= line.find("exceeds 2147483647 seconds") != std::string::npos;
  EXPECT_TRUE(said) << "the refusal must be reported";
  app.Form_Unload();
}

TEST_F(ClientAppTest, TickStartsAnExchangeWhenTheIntervalElapses) {
  ReplyServer server(io_, UtcTime(sys_days(year(2026) / 5 / 4)) + seconds(30));
  Store("127.0.0.1:" + std::to_string(server.port()) + ":2:Second/s:YES");
  Registry reg(RegistryFile(), [](const std::string&) {});
  ClientAppOptions o = Options();
  o.run_once = false;
  o.tick = milliseconds(20);
  ClientApp app(io_, clock_, reg, o);
  app.Form_Load();
  io_.run_for(milliseconds(150));  // first exchange at once, then one every 2 ticks
  app.Form_Unload();
  EXPECT_GE(clock_.set_count(), 3) << "exchanges must repeat on the tick";
  EXPECT_LE(clock_.set_count(), 9) << "more exchanges than ticks allow";
}

}  // namespace
}  // namespace mdl
