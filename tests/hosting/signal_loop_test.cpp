// The signal loop: pause, continue and stop sent to this process reach the
// callbacks in order on the loop's thread while another thread runs, and a
// thread of the host can end the loop. Signals go to this process only.
#include "server/hosting/signal_loop.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace mdl::service {
namespace {

using namespace std::chrono_literals;

// What the callbacks saw, and a wait for the n-th of them.
class Journal {
 public:
  void Add(const std::string& event) {
    std::lock_guard lock(mutex_);
    events_.push_back(event + (std::this_thread::get_id() == loop_thread_ ? "" : " (wrong thread)"));
    changed_.notify_all();
  }
  bool WaitFor(size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 5s, [&] { return events_.size() >= count; });
  }
  std::vector<std::string> events() {
    std::lock_guard lock(mutex_);
    return events_;
  }
  SignalHandlers Handlers() {
    return {.stop =
                [this](int sig) {
                  Add(sig == SIGTERM ? "stop SIGTERM" : sig == SIGINT ? "stop SIGINT" : "stop ?");
                },
            .pause = [this] { Add("pause"); },
            .resume = [this] { Add("resume"); },
            .reload = [this] { Add("reload"); }};
  }

 private:
  const std::thread::id loop_thread_ = std::this_thread::get_id();
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> events_;
};

class SignalLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Before any thread of the test starts.
    ASSERT_TRUE(BlockServiceSignals());
    sigset_t now;
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, nullptr, &now), 0);
    for (int sig : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2, SIGHUP}) ASSERT_EQ(sigismember(&now, sig), 1) << sig;
  }
};

TEST_F(SignalLoopTest, PauseContinueAndStopReachTheCallbacksInOrder) {
  Journal journal;
  std::thread sender([&] {
    // Each signal after the previous one was handled, so that arrival order is what counts.
    ::kill(::getpid(), SIGUSR1);
    if (!journal.WaitFor(1)) return;
    ::kill(::getpid(), SIGUSR2);
    if (!journal.WaitFor(2)) return;
    ::kill(::getpid(), SIGUSR1);
    if (!journal.WaitFor(3)) return;
    ::kill(::getpid(), SIGHUP);
    if (!journal.WaitFor(4)) return;
    ::kill(::getpid(), SIGTERM);
  });
  const int stopped_by = RunSignalLoop(journal.Handlers(), 10s);
  sender.join();
  EXPECT_EQ(stopped_by, SIGTERM);
  EXPECT_EQ(journal.events(),
            (std::vector<std::string>{"pause", "resume", "pause", "reload", "stop SIGTERM"}));
}

TEST_F(SignalLoopTest, EmptyCallbacksAreSkippedAndSigintStops) {
  Journal journal;
  SignalHandlers handlers = journal.Handlers();
  handlers.pause = nullptr;
  handlers.reload = nullptr;
  ::kill(::getpid(), SIGUSR1);
  ::kill(::getpid(), SIGUSR2);
  ::kill(::getpid(), SIGHUP);  // ignored: it must not end the process
  EXPECT_EQ(RunSignalLoop(handlers, 200ms), 0) << "a pause or continue ended the loop";
  ::kill(::getpid(), SIGINT);
  EXPECT_EQ(RunSignalLoop(handlers, 10s), SIGINT);
  EXPECT_EQ(journal.events(), (std::vector<std::string>{"resume", "stop SIGINT"}));
}

TEST_F(SignalLoopTest, AnEngineThreadEndsTheLoopWithRequestStop) {
  Journal journal;
  std::thread engine([] {
    std::this_thread::sleep_for(50ms);
    RequestStop();
  });
  EXPECT_EQ(RunSignalLoop(journal.Handlers(), 10s), SIGTERM);
  engine.join();
  EXPECT_EQ(journal.events(), std::vector<std::string>{"stop SIGTERM"});
}

TEST_F(SignalLoopTest, GivesUpWhenNoSignalComes) {
  Journal journal;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(RunSignalLoop(journal.Handlers(), 100ms), 0);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, 90ms);
  EXPECT_LT(waited, 5s);
  EXPECT_TRUE(journal.events().empty());
}

}  // namespace
}  // namespace mdl::service
