// Tests of the client engine against a small TCP server on 127.0.0.1, on a
// frozen virtual clock: round trips and time-outs pass only when the test
// advances the clock.
#include "client/client_engine.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/client/loopback_peer.h"

namespace mdl {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using namespace std::chrono;
using Outcome = ExchangeResult::Outcome;
using test::LockedClock;
using test::Pump;

enum class Answer { kReply, kReplyInTwoParts, kShortThenClose, kShortThenWait, kTooLong, kSilent };

// Accepts one connection and reads the 24-byte request; Release() sends the
// answer (with the server time `server_time`), kReplyInTwoParts in two calls.
class TestServer {
 public:
  TestServer(asio::io_context& io, Answer answer, UtcTime server_time)
      : acceptor_(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0)),
        socket_(io),
        answer_(answer),
        server_time_(server_time) {
    acceptor_.async_accept(socket_, [this](const boost::system::error_code& ec) {
      if (ec) return;
      asio::async_read(socket_, asio::buffer(request_),
                       [this](const boost::system::error_code& ec2, std::size_t) {
                         if (!ec2) requests_++;
                       });
    });
  }

  // Changes the reply before it is sent (a hostile or broken server).
  std::function<void(std::vector<uint8_t>&)> mangle;

  uint16_t port() const { return acceptor_.local_endpoint().port(); }
  int requests() const { return requests_; }
  const std::array<uint8_t, 24>& request() const { return request_; }

  void Release() {
    if (reply_.empty()) {
      const auto reply = test::MakeReply(request_, server_time_);
      reply_.assign(reply.begin(), reply.end());
      if (mangle) mangle(reply_);
    }
    boost::system::error_code ignored;
    switch (answer_) {
      case Answer::kReply:
        asio::write(socket_, asio::buffer(reply_), ignored);
        break;
      case Answer::kReplyInTwoParts:
        asio::write(socket_, asio::buffer(reply_.data() + sent_, sent_ == 0 ? 10 : 14), ignored);
        sent_ += 10;
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

 private:
  tcp::acceptor acceptor_;
  tcp::socket socket_;
  Answer answer_;
  UtcTime server_time_;
  std::array<uint8_t, 24> request_{};
  std::vector<uint8_t> reply_;
  size_t sent_ = 0;
  int requests_ = 0;
};

UtcTime At(int h, int mi, int s, int ms) {
  return UtcTime(sys_days(year(2026) / 3 / 1)) + hours(h) + minutes(mi) + seconds(s) + milliseconds(ms);
}

std::string Host(uint16_t port) { return test::LoopbackHost(port); }

// Lets the loop settle: handlers for data already on loopback get to run.
void Drain(asio::io_context& io) {
  for (int i = 0; i < 5; ++i) {
    io.restart();
    io.run_one_for(milliseconds(2));
    io.poll();
  }
}

constexpr milliseconds kTimeout(500);

// One engine on a frozen clock; results collected in order.
struct EngineRun {
  asio::io_context io;
  VirtualClock clock{At(12, 0, 0, 100)};
  ClientEngine engine{io, clock};
  std::vector<ExchangeResult> results;

  EngineRun() {
    clock.set_zone(ZoneFacts{});
    engine.set_timeout(kTimeout);
  }
  void Start(const std::string& host) {
    engine.Exchange(host, [this](ExchangeResult r) { results.push_back(std::move(r)); });
  }
  bool WaitResult(size_t n = 1) {
    return Pump(io, [&] { return results.size() >= n; });
  }
};

// A clock whose zone lookup takes 7 ms: the time between the reply's arrival
// and the clock set.
class SlowZoneClock : public VirtualClock {
 public:
  using VirtualClock::VirtualClock;
  ZoneFacts zone() const override {
    const_cast<SlowZoneClock*>(this)->advance(milliseconds(7));
    return ZoneFacts{};
  }
};

TEST(ClientEngine, SuccessSetsClockToServerTimePlusHalfRoundTrip) {
  for (Answer answer : {Answer::kReply, Answer::kReplyInTwoParts}) {
    SCOPED_TRACE(answer == Answer::kReply ? "one segment" : "two segments");
    EngineRun run;
    const UtcTime server_time = At(12, 0, 5, 0);
    TestServer server(run.io, answer, server_time);
    run.Start(Host(server.port()));
    ASSERT_TRUE(Pump(run.io, [&] { return server.requests() == 1; }));
    EXPECT_EQ(std::string(server.request().begin(), server.request().begin() + 8), "MDLC5UTC");
    run.clock.advance(milliseconds(40));
    server.Release();
    if (answer == Answer::kReplyInTwoParts) {
      Drain(run.io);
      EXPECT_TRUE(run.results.empty()) << "10 bytes are no reply yet";
      run.clock.advance(milliseconds(30));
      server.Release();
    }
    ASSERT_TRUE(run.WaitResult());
    ASSERT_EQ(run.results.size(), 1u);
    const ExchangeResult& r = run.results[0];
    ASSERT_EQ(r.outcome, Outcome::kSynchronised) << r.error;
    EXPECT_TRUE(r.error.empty());
    const int64_t rtt = answer == Answer::kReply ? 40 : 70;
    EXPECT_EQ(r.rtt_ms, rtt) << "round trip runs from the connect to the reply's last byte";
    EXPECT_EQ(r.arrival, milliseconds(rtt));
    EXPECT_EQ(r.time_to_set, server_time + milliseconds(rtt / 2)) << "server time + RTT/2";
    ASSERT_EQ(run.clock.set_count(), 1) << "the clock is set once";
    EXPECT_EQ(run.clock.now(), server_time + milliseconds(rtt / 2));
    EXPECT_EQ(r.clock_set_to, run.clock.now());
    EXPECT_EQ(r.report.substr(0, r.report.find("\r\n")), "MDL Server: MDLS v5 - Zone: UTC");
    EXPECT_NE(r.report.find("\r\nServer Date: 2026-03-01 12:0:5.0\r\n"), std::string::npos) << r.report;
    EXPECT_NE(r.report.find("\r\nMDL Client: 2026-03-01 12:0:0.100\r\n"), std::string::npos)
        << "client time is the frozen send time in UTC (zone of the clock):\n"
        << r.report;
    EXPECT_NE(r.report.find("\r\nDrift: 4,900 milliseconds. Latency rTT: " + std::to_string(rtt) + "ms\r\n"),
              std::string::npos)
        << r.report;
    EXPECT_EQ(r.tray_tip.rfind(" MDL Server Client: Time adjusted by ", 0), 0u) << r.tray_tip;
    EXPECT_FALSE(run.engine.busy()) << "socket closed after the reply";
    EXPECT_EQ(run.clock.pending_timers(), 0u) << "the deadline is cancelled";
  }
}

TEST(ClientEngine, TimeFromArrivalToTheSetIsAdded) {
  asio::io_context io;
  SlowZoneClock clock(At(12, 0, 0, 0));
  ClientEngine engine(io, clock);
  std::optional<ExchangeResult> result;
  const UtcTime server_time = At(12, 0, 5, 0);
  TestServer server(io, Answer::kReply, server_time);
  engine.Exchange(Host(server.port()), [&](ExchangeResult r) { result = std::move(r); });
  ASSERT_TRUE(Pump(io, [&] { return server.requests() == 1; }));
  clock.advance(milliseconds(20));
  server.Release();
  ASSERT_TRUE(Pump(io, [&] { return result.has_value(); }));
  ASSERT_EQ(result->outcome, Outcome::kSynchronised) << result->error;
  EXPECT_EQ(result->time_to_set, server_time + milliseconds(10));
  EXPECT_EQ(result->clock_set_to, server_time + milliseconds(17)) << "7 ms passed after the arrival";
  EXPECT_EQ(clock.now(), server_time + milliseconds(17));
}

TEST(ClientEngine, BadRepliesTakeTheFailurePathAndLeaveTheClock) {
  const struct {
    Answer answer;
    const char* name;
    Outcome outcome;
    const char* error;
  } cases[] = {
      {Answer::kShortThenClose, "23 bytes then close", Outcome::kBadReply,
       "reply of wrong length (23 bytes): End of file"},
      {Answer::kShortThenWait, "23 bytes then nothing", Outcome::kTimedOut,
       "no reply from the server in time"},
      {Answer::kTooLong, "30 bytes", Outcome::kBadReply, "reply of wrong length (more than 24 bytes)"},
      {Answer::kSilent, "no answer", Outcome::kTimedOut, "no reply from the server in time"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EngineRun run;
    TestServer server(run.io, c.answer, At(12, 0, 5, 0));
    run.Start(Host(server.port()));
    ASSERT_TRUE(Pump(run.io, [&] { return server.requests() == 1; }));
    server.Release();
    Drain(run.io);
    if (c.outcome == Outcome::kTimedOut) {
      EXPECT_TRUE(run.results.empty()) << "failed before the time-out";
      run.clock.advance(kTimeout - milliseconds(1));
      EXPECT_TRUE(run.results.empty()) << "time-out fired early";
      run.clock.advance(milliseconds(1));
    }
    ASSERT_TRUE(run.WaitResult());
    ASSERT_EQ(run.results.size(), 1u);
    const ExchangeResult& r = run.results[0];
    EXPECT_EQ(r.outcome, c.outcome) << OutcomeName(r.outcome);
    EXPECT_EQ(r.error, c.error);
    EXPECT_EQ(run.clock.set_count(), 0) << "clock must stay untouched";
    EXPECT_EQ(r.report, "");
    EXPECT_EQ(r.tray_tip, "");
    EXPECT_FALSE(r.time_to_set);
    EXPECT_FALSE(run.engine.busy());
    EXPECT_EQ(run.clock.pending_timers(), 0u);
  }
}

TEST(ClientEngine, HostileRepliesAreRefusedAndLeaveTheClock) {
  const UtcTime now = At(12, 0, 0, 100);
  const auto year = seconds(31556952);
  const struct {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> mangle;
    UtcTime server_time;
    milliseconds rtt;
    bool refused;
    const char* line;
  } cases[] = {
      {"all 0xFF", [](auto& r) { std::fill(r.begin(), r.end(), 0xFF); }, now, milliseconds(10), true,
       "Refused: the reply is not a MDL Server reply."},
      {"a request sent back", [](auto& r) { r[3] = 'C'; }, now, milliseconds(10), true,
       "Refused: the reply is not a MDL Server reply."},
      {"wrong send time echoed", [](auto& r) { r[15] ^= 1; }, now, milliseconds(10), true,
       "Refused: the reply does not echo this client's send time."},
      {"+100 years", nullptr, now + 100 * year, milliseconds(10), true, "more than 10 years."},
      {"-10 years and a day", nullptr, now - 10 * year - hours(24), milliseconds(10), true,
       "Refused: the server's time is -3653 days from this clock, more than 10 years."},
      {"-10 years less a day", nullptr, now - 10 * year + hours(24), milliseconds(10), false, ""},
      {"round trip 2001 ms", nullptr, now, milliseconds(2001), true,
       "Refused: round trip 2001ms is above the limit of 2000ms."},
      {"round trip 2000 ms", nullptr, now, milliseconds(2000), false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EngineRun run;
    run.engine.set_timeout(seconds(5));
    TestServer server(run.io, Answer::kReply, c.server_time);
    server.mangle = c.mangle;
    run.Start(Host(server.port()));
    ASSERT_TRUE(Pump(run.io, [&] { return server.requests() == 1; }));
    run.clock.advance(c.rtt);
    server.Release();
    ASSERT_TRUE(run.WaitResult());
    const ExchangeResult& r = run.results[0];
    if (!c.refused) {
      EXPECT_EQ(r.outcome, Outcome::kSynchronised) << r.error;
      continue;
    }
    EXPECT_EQ(r.outcome, Outcome::kRefused) << OutcomeName(r.outcome);
    EXPECT_EQ(run.clock.set_count(), 0) << "clock must stay untouched";
    EXPECT_NE(r.error.find(c.line), std::string::npos) << r.error;
    EXPECT_TRUE(r.report.ends_with(r.error)) << "the refusal ends the report:\n" << r.report;
    for (const char* shown : {"Drift:", "Adjusted by:", "Server Date:"})
      EXPECT_EQ(r.report.find(shown), std::string::npos) << "a refused reply's " << shown << "\n" << r.report;
    EXPECT_EQ(r.tray_tip, "");
  }
  // Limits of 0 switch both checks off.
  EngineRun run;
  run.engine.set_timeout(seconds(10));
  run.engine.set_limits(ReplyLimits{0, 0});
  TestServer server(run.io, Answer::kReply, now + 100 * year);
  run.Start(Host(server.port()));
  ASSERT_TRUE(Pump(run.io, [&] { return server.requests() == 1; }));
  run.clock.advance(seconds(3));
  server.Release();
  ASSERT_TRUE(run.WaitResult());
  EXPECT_EQ(run.results[0].outcome, Outcome::kSynchronised) << run.results[0].error;
}

TEST(ClientEngine, RefusedAndBadAddressesTakeTheFailurePath) {
  const uint16_t closed_port = test::ClosedPort();
  const struct {
    std::string host;
    Outcome outcome;
    std::string error;
  } cases[] = {
      {Host(closed_port), Outcome::kConnectFailed, "cannot connect: Connection refused"},
      {"", Outcome::kBadHost, "bad server address \"\""},
      {"127.0.0.1:99999", Outcome::kBadHost, "bad server address \"127.0.0.1:99999\""},
      {"[::1", Outcome::kBadHost, "bad server address \"[::1\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host);
    EngineRun run;
    run.Start(c.host);
    EXPECT_TRUE(run.results.empty()) << "reported inside Exchange()";
    ASSERT_TRUE(run.WaitResult());
    EXPECT_EQ(run.results[0].outcome, c.outcome) << OutcomeName(run.results[0].outcome);
    EXPECT_EQ(run.results[0].error, c.error);
    EXPECT_EQ(run.clock.set_count(), 0);
    EXPECT_FALSE(run.engine.busy());
  }
}

TEST(ClientEngine, FailedClockSetIsReportedAsFailure) {
  asio::io_context io;
  LockedClock clock(At(12, 0, 0, 0));
  clock.set_zone(ZoneFacts{});
  ClientEngine engine(io, clock);
  std::optional<ExchangeResult> result;
  TestServer server(io, Answer::kReply, At(12, 0, 5, 0));
  engine.Exchange(Host(server.port()), [&](ExchangeResult r) { result = std::move(r); });
  ASSERT_TRUE(Pump(io, [&] { return server.requests() == 1; }));
  server.Release();
  ASSERT_TRUE(Pump(io, [&] { return result.has_value(); }));
  EXPECT_EQ(result->outcome, Outcome::kClockNotSet) << "an unset clock is no success";
  EXPECT_FALSE(result->synchronised());
  EXPECT_EQ(result->error, "Clock not set: Operation not permitted");
  EXPECT_NE(result->report.find("\r\nAdjusted by: "), std::string::npos) << result->report;
  const std::string tail = "\r\nClock not set: Operation not permitted";
  ASSERT_GE(result->report.size(), tail.size());
  EXPECT_EQ(result->report.substr(result->report.size() - tail.size()), tail)
      << "the report must say the clock was not set";
  EXPECT_EQ(result->tray_tip, "") << "the tip must not claim an adjustment";
  EXPECT_EQ(result->time_to_set, At(12, 0, 5, 0)) << "the refused time is kept";
  EXPECT_FALSE(result->clock_set_to);
}

TEST(ClientEngine, NewExchangeClosesTheRunningOne) {
  EngineRun run;
  TestServer silent(run.io, Answer::kSilent, At(12, 0, 5, 0));
  TestServer good(run.io, Answer::kReply, At(12, 0, 5, 0));
  int first_calls = 0;
  run.engine.Exchange(Host(silent.port()), [&](ExchangeResult) { ++first_calls; });
  ASSERT_TRUE(Pump(run.io, [&] { return silent.requests() == 1; }));
  run.clock.advance(kTimeout / 2);
  run.Start(Host(good.port()));
  ASSERT_TRUE(Pump(run.io, [&] { return good.requests() == 1; }));
  good.Release();
  ASSERT_TRUE(run.WaitResult());
  EXPECT_EQ(run.results[0].outcome, Outcome::kSynchronised) << run.results[0].error;
  run.clock.advance(kTimeout * 2);
  Drain(run.io);
  EXPECT_EQ(first_calls, 0) << "the closed exchange must neither report nor time out";
  EXPECT_EQ(run.results.size(), 1u);
  EXPECT_EQ(run.clock.pending_timers(), 0u);
}

TEST(ClientEngine, CloseDropsTheRunningExchange) {
  EngineRun run;
  TestServer server(run.io, Answer::kReply, At(12, 0, 5, 0));
  run.Start(Host(server.port()));
  ASSERT_TRUE(Pump(run.io, [&] { return server.requests() == 1; }));
  EXPECT_TRUE(run.engine.busy());
  run.engine.Close();
  EXPECT_FALSE(run.engine.busy());
  server.Release();
  run.clock.advance(kTimeout * 2);
  Drain(run.io);
  EXPECT_TRUE(run.results.empty());
  EXPECT_EQ(run.clock.set_count(), 0) << "a closed exchange must not set the clock";
}

}  // namespace
}  // namespace mdl
