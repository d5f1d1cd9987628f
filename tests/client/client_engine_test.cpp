// Tests of the client engine against a small TCP server on 127.0.0.1.
#include "client/client_engine.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include "common/clock/virtual_clock.h"
#include "common/time/mdl_stamp.h"

namespace mdl {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using namespace std::chrono;

enum class Answer { kReply, kReplyInTwoParts, kShortThenClose, kShortThenWait, kTooLong, kSilent };

// Accepts one connection, reads the 24-byte request and answers as told,
// with the server time `server_time`, after `delay`.
class TestServer {
 public:
  TestServer(asio::io_context& io, Answer answer, UtcTime server_time, milliseconds delay = milliseconds(0))
      : acceptor_(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0)),
        socket_(io),
        timer_(io),
        answer_(answer),
        server_time_(server_time),
        delay_(delay) {
    acceptor_.async_accept(socket_, [this](const boost::system::error_code& ec) {
      if (ec) return;
      asio::async_read(socket_, asio::buffer(request_),
                       [this](const boost::system::error_code& ec2, std::size_t) {
                         if (ec2) return;
                         requests_++;
                         timer_.expires_after(delay_);
                         timer_.async_wait([this](const boost::system::error_code& ec3) {
                           if (!ec3) Respond();
                         });
                       });
    });
  }

  uint16_t port() const { return acceptor_.local_endpoint().port(); }
  int requests() const { return requests_; }
  const std::array<uint8_t, 24>& request() const { return request_; }

 private:
  void Respond() {
    reply_.assign(request_.begin(), request_.end());
    std::copy_n("MDLS5", 5, reply_.begin());
    const auto stamp = MdlStampFromUtc(server_time_);
    std::copy(stamp.begin(), stamp.end(), reply_.begin() + 16);
    boost::system::error_code ignored;
    switch (answer_) {
      case Answer::kReply:
        asio::write(socket_, asio::buffer(reply_), ignored);
        break;
      case Answer::kReplyInTwoParts:
        asio::write(socket_, asio::buffer(reply_.data(), 10), ignored);
        timer_.expires_after(milliseconds(30));
        timer_.async_wait([this](const boost::system::error_code& ec) {
          boost::system::error_code ignored2;
          if (!ec) asio::write(socket_, asio::buffer(reply_.data() + 10, 14), ignored2);
        });
        break;
      case Answer::kShortThenClose:
        asio::write(socket_, asio::buffer(reply_.data(), 23), ignored);
        socket_.close(ignored);
        break;
      case Answer::kShortThenWait:
        asio::write(socket_, asio::buffer(reply_.data(), 23), ignored);
        break;
      case Answer::kTooLong:
        reply_.resize(30, 0);
        asio::write(socket_, asio::buffer(reply_), ignored);
        break;
      case Answer::kSilent:
        break;
    }
  }

  tcp::acceptor acceptor_;
  tcp::socket socket_;
  asio::steady_timer timer_;
  Answer answer_;
  UtcTime server_time_;
  milliseconds delay_;
  std::array<uint8_t, 24> request_{};
  std::vector<uint8_t> reply_;
  int requests_ = 0;
};

UtcTime At(int h, int mi, int s, int ms) {
  return UtcTime(sys_days(year(2026) / 3 / 1)) + hours(h) + minutes(mi) + seconds(s) + milliseconds(ms);
}

// One exchange on a fresh engine; the loop ends at the first status or after 3 s.
struct EngineRun {
  asio::io_context io;
  VirtualClock clock = VirtualClock::Frozen(At(12, 0, 0, 100));
  ClientSchedule schedule{300};
  std::vector<ClientStatus> statuses;
  std::unique_ptr<ClientEngine> engine;

  explicit EngineRun(std::string host, milliseconds timeout = milliseconds(500)) {
    clock.set_zone(ZoneFacts{});
    engine = std::make_unique<ClientEngine>(io, clock, schedule, [this](const ClientStatus& s) {
      statuses.push_back(s);
      io.stop();
    });
    engine->set_host(std::move(host));
    engine->set_timeout(timeout);
  }
  void Exchange() {
    engine->SyncNow_Click();
    io.run_for(seconds(3));
  }
};

std::string Host(uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

TEST(ClientEngine, SuccessSetsClockToServerTimePlusHalfRoundTrip) {
  for (Answer answer : {Answer::kReply, Answer::kReplyInTwoParts}) {
    EngineRun run("");
    const UtcTime server_time = At(12, 0, 5, 0);
    TestServer server(run.io, answer, server_time, milliseconds(40));
    run.engine->set_host(Host(server.port()));
    run.Exchange();

    ASSERT_EQ(run.statuses.size(), 1u) << "one exchange gives one status";
    const ClientStatus& s = run.statuses[0];
    EXPECT_TRUE(s.succeeded) << s.error;
    EXPECT_EQ(std::string(server.request().begin(), server.request().begin() + 8), "MDLC5UTC");
    ASSERT_EQ(run.clock.set_count(), 1) << "the clock is set once";
    const auto added = duration_cast<milliseconds>(run.clock.now() - server_time).count();
    const int64_t least = answer == Answer::kReply ? 20 : 35;  // half of >= 40 or >= 70 ms
    EXPECT_GE(added, least) << "clock = server time + RTT/2";
    EXPECT_LE(added, least + 100) << "round trip on loopback far too long";
    EXPECT_EQ(s.clock_set_to, run.clock.now());
    EXPECT_EQ(s.report.substr(0, s.report.find("\r\n")), "MDL Server: MDLS v5 - Zone: UTC");
    EXPECT_NE(s.report.find("\r\nServer Date: 2026-03-01 12:0:5.0\r\n"), std::string::npos) << s.report;
    EXPECT_NE(s.report.find("\r\nMDL Client: 2026-03-01 12:0:0.100\r\n"), std::string::npos)
        << "client time is the frozen send time in UTC (zone of the clock):\n"
        << s.report;
    EXPECT_NE(s.report.find("\r\nDrift: 4,900 milliseconds. Latency rTT: "), std::string::npos) << s.report;
    EXPECT_NE(s.report.find("\r\nAdjusted by: "), std::string::npos);
    EXPECT_EQ(s.tray_tip.rfind(" MDL Server Client: Time adjusted by ", 0), 0u) << s.tray_tip;
    EXPECT_FALSE(run.engine->busy()) << "socket closed after the reply";
    EXPECT_EQ(run.schedule.countdown(), 0) << "success leaves the schedule alone";
  }
}

TEST(ClientEngine, BadRepliesTakeTheFailurePathAndLeaveTheClock) {
  const struct {
    Answer answer;
    const char* name;
  } cases[] = {{Answer::kShortThenClose, "23 bytes then close"},
               {Answer::kShortThenWait, "23 bytes then nothing"},
               {Answer::kTooLong, "30 bytes"},
               {Answer::kSilent, "no answer"}};
  for (const auto& c : cases) {
    EngineRun run("", milliseconds(300));
    TestServer server(run.io, c.answer, At(12, 0, 5, 0));
    run.engine->set_host(Host(server.port()));
    const auto started = steady_clock::now();
    run.Exchange();
    ASSERT_EQ(run.statuses.size(), 1u) << c.name << ": one failure status expected";
    EXPECT_FALSE(run.statuses[0].succeeded) << c.name;
    EXPECT_FALSE(run.statuses[0].error.empty()) << c.name << ": a failure says why";
    EXPECT_EQ(run.clock.set_count(), 0) << c.name << ": clock must stay untouched";
    EXPECT_EQ(run.schedule.countdown(), 290) << c.name << ": retry 10 ticks later";
    EXPECT_EQ(run.statuses[0].report, "") << c.name << ": report keeps its previous text";
    EXPECT_LT(steady_clock::now() - started, seconds(2)) << c.name << ": time-out not honoured";
    EXPECT_FALSE(run.engine->busy()) << c.name;
  }
}

TEST(ClientEngine, RefusedAndBadAddressesTakeTheFailurePath) {
  uint16_t closed_port;
  {
    asio::io_context io;
    tcp::acceptor probe(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    closed_port = probe.local_endpoint().port();
  }
  for (const std::string& host :
       {Host(closed_port), std::string(""), std::string("127.0.0.1:99999"), std::string("[::1")}) {
    EngineRun run(host);
    run.Exchange();
    ASSERT_EQ(run.statuses.size(), 1u) << host;
    EXPECT_FALSE(run.statuses[0].succeeded) << host;
    EXPECT_EQ(run.schedule.countdown(), 290) << host;
    EXPECT_EQ(run.clock.set_count(), 0) << host;
  }
}

TEST(ClientEngine, FailureKeepsTheLastReportAndTip) {
  EngineRun run("");
  {
    TestServer good(run.io, Answer::kReply, At(12, 0, 5, 0));
    run.engine->set_host(Host(good.port()));
    run.Exchange();
  }
  ASSERT_EQ(run.statuses.size(), 1u);
  ASSERT_TRUE(run.statuses[0].succeeded) << run.statuses[0].error;
  run.io.restart();
  TestServer bad(run.io, Answer::kTooLong, At(12, 0, 5, 0));
  run.engine->set_host(Host(bad.port()));
  run.Exchange();
  ASSERT_EQ(run.statuses.size(), 2u);
  EXPECT_FALSE(run.statuses[1].succeeded);
  EXPECT_EQ(run.statuses[1].report, run.statuses[0].report);
  EXPECT_EQ(run.statuses[1].tray_tip, run.statuses[0].tray_tip);
}

// A clock without the right to be set.
class LockedClock : public VirtualClock {
 public:
  using VirtualClock::VirtualClock;
  std::error_code set(UtcTime) override { return std::make_error_code(std::errc::operation_not_permitted); }
};

TEST(ClientEngine, FailedClockSetIsReportedAsFailure) {
  asio::io_context io;
  LockedClock clock(At(12, 0, 0, 0));
  ClientSchedule schedule(300);
  std::optional<ClientStatus> status;
  ClientEngine engine(io, clock, schedule, [&](const ClientStatus& s) {
    status = s;
    io.stop();
  });
  TestServer server(io, Answer::kReply, At(12, 0, 5, 0));
  engine.set_host(Host(server.port()));
  engine.set_timeout(milliseconds(500));
  engine.SyncNow_Click();
  io.run_for(seconds(3));
  ASSERT_TRUE(status);
  EXPECT_FALSE(status->succeeded) << "an unset clock is no success";
  EXPECT_EQ(status->error, "Clock not set: Operation not permitted");
  EXPECT_NE(status->report.find("\r\nAdjusted by: "), std::string::npos) << status->report;
  const std::string tail = "\r\nClock not set: Operation not permitted";
  ASSERT_GE(status->report.size(), tail.size());
  EXPECT_EQ(status->report.substr(status->report.size() - tail.size()), tail)
      << "the report must say the clock was not set";
  EXPECT_EQ(status->tray_tip, "") << "the tip must not claim an adjustment";
  EXPECT_EQ(schedule.countdown(), 0);
}

TEST(ClientEngine, NewExchangeClosesTheRunningOne) {
  EngineRun run("", milliseconds(500));
  TestServer silent(run.io, Answer::kSilent, At(12, 0, 5, 0));
  TestServer good(run.io, Answer::kReply, At(12, 0, 5, 0), milliseconds(50));
  run.engine->set_host(Host(silent.port()));
  run.engine->SyncNow_Click();
  run.io.run_for(milliseconds(100));
  EXPECT_TRUE(run.statuses.empty()) << "the silent server has not timed out yet";
  run.engine->set_host(Host(good.port()));
  run.io.restart();
  run.Exchange();
  ASSERT_EQ(run.statuses.size(), 1u) << "the closed exchange must not report";
  EXPECT_TRUE(run.statuses[0].succeeded) << run.statuses[0].error;
  run.io.restart();
  run.io.run_for(milliseconds(600));
  EXPECT_EQ(run.statuses.size(), 1u) << "the closed exchange's time-out must not fire";
}

}  // namespace
}  // namespace mdl
