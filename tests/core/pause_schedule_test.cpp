// A paused engine holds its synchronisation schedule: no query goes out while
// paused, even past the moment one was due, and after continuing the next one
// comes after the rest of the interval that was left at the pause.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <fstream>
#include <optional>

#include <gtest/gtest.h>

#include "common/time/ntp_timestamp.h"
#include "engine_fixture.h"

namespace mdl::testing {
namespace {

using std::chrono::seconds;

// An upstream on loopback that answers every query with the engine's own time.
class AnsweringUpstream {
 public:
  AnsweringUpstream() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(0);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~AnsweringUpstream() { ::close(fd_); }
  AnsweringUpstream(const AnsweringUpstream&) = delete;
  AnsweringUpstream& operator=(const AnsweringUpstream&) = delete;
  uint16_t port() const { return port_; }

  // Answers the queries waiting; returns how many there were.
  int Answer(UtcTime now) {
    int n = 0;
    std::array<uint8_t, 48> q{};
    sockaddr_in from{};
    socklen_t len = sizeof from;
    while (::recvfrom(fd_, q.data(), q.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &len) ==
           48) {
      ++n;
      std::array<uint8_t, 48> r{};
      r[0] = 0x24;  // server, version 4
      r[1] = 1;
      std::copy(q.begin() + 40, q.end(), r.begin() + 24);
      const auto stamp = NtpFromUtc(now).ToBytes();
      std::copy(stamp.begin(), stamp.end(), r.begin() + 32);
      std::copy(stamp.begin(), stamp.end(), r.begin() + 40);
      ::sendto(fd_, r.data(), r.size(), 0, reinterpret_cast<const sockaddr*>(&from), sizeof from);
      len = sizeof from;
    }
    return n;
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

class PauseScheduleTest : public EngineFixture {
 protected:
  void SetUp() override {
    EngineFixture::SetUp();
    WriteSettings();
    std::string text = ReadFile(home_ / "registry.reg");
    text.replace(text.find("NO:59:Minute/s"), 14, "NO:17:Second/s");
    std::ofstream(home_ / "registry.reg") << text;
    std::ofstream(home_ / "QOR_MDLS4.MDL")
        << "h1\nh2\nh3\nh4\nh5\n127.0.0.1:" << upstream_.port() << ":::Local upstream - NA:::2:::us\n";
  }
  // Advances `d` of frozen time a tenth of a second at a time, answering every
  // query; returns how many arrived.
  int Run(std::chrono::milliseconds d) {
    int queries = 0;
    for (auto done = std::chrono::milliseconds(0); done < d; done += kStep) queries += Step();
    return queries;
  }
  // The frozen time until the next query (answered), at most `limit`.
  std::optional<std::chrono::milliseconds> UntilQuery(std::chrono::milliseconds limit) {
    for (auto done = kStep; done <= limit; done += kStep)
      if (Step() > 0) return done;
    return std::nullopt;
  }
  // Lets the engine's I/O run until a query arrives (the name look-up runs on
  // the resolver's thread), answering it.
  bool QueryAnswered() {
    return PollUntil([&] { return upstream_.Answer(clock_.now()) > 0; });
  }

  static constexpr std::chrono::milliseconds kStep{100};
  int Step() {
    clock_.advance(kStep);
    RunFor(std::chrono::milliseconds(1));
    return upstream_.Answer(clock_.now());
  }

  AnsweringUpstream upstream_;
};

TEST_F(PauseScheduleTest, PausedEngineSendsNoQueryAndResumesWithTheRestOfTheInterval) {
  StartEngine();
  Do(cmd::SyncNow{});
  ASSERT_TRUE(QueryAnswered()) << "no first query";
  ASSERT_TRUE(PollUntil([&] { return clock_.set_count() == 1; })) << "the first reply did not set the clock";

  // Unpaused, the schedule runs: the next query follows one interval later.
  const auto interval = UntilQuery(seconds(30));
  ASSERT_TRUE(interval.has_value()) << "no second query";
  EXPECT_GE(*interval, seconds(16));
  EXPECT_LE(*interval, seconds(18));

  // Paused 9 s after that query, for far longer than the interval: nothing goes out.
  EXPECT_EQ(Run(seconds(9)), 0);
  Do(cmd::SetPaused{true});
  EXPECT_TRUE(Snap()->paused);
  EXPECT_EQ(Run(seconds(60)), 0) << "a query went out while paused";

  // Continued: only the rest of the interval left at the pause is waited for.
  Do(cmd::SetPaused{false});
  const auto rest = UntilQuery(seconds(30));
  ASSERT_TRUE(rest.has_value()) << "no query after continuing";
  EXPECT_GE(*rest, *interval - seconds(9) - seconds(1)) << "the pause moved the schedule forward";
  EXPECT_LE(*rest, *interval - seconds(9) + seconds(1)) << "the pause moved the schedule back";
}

}  // namespace
}  // namespace mdl::testing
