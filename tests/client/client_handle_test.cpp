// Tests of the client handle: commands posted from another thread, the
// snapshots and events that come back, and the stop that saves.
#include "client/client_handle.h"

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
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
namespace cmd = client_command;

const UtcTime kHandleStart = UtcTime(sys_days(year(2026) / 5 / 4));
const UtcTime kServerTime = kHandleStart + hours(2);

// A reply server on a thread of its own that ends with the object (or after
// 10 s at the latest).
class ThreadedReplyServer {
 public:
  ThreadedReplyServer() : server_(io_, kServerTime), thread_([this] { io_.run_for(seconds(10)); }) {}
  ~ThreadedReplyServer() {
    io_.stop();
    thread_.join();
  }
  std::string host() const { return server_.host(); }

 private:
  asio::io_context io_;
  test::ReplyServer server_;
  std::thread thread_;
};

// What the handle sends back, collected from its thread.
class Collector {
 public:
  ClientHandleOutputs Outputs() {
    ClientHandleOutputs o;
    o.on_event = [this](const ClientEvent& e) {
      std::lock_guard lock(mutex_);
      if (const auto* d = std::get_if<client_event::Diagnostic>(&e)) diagnostics_.push_back(d->line);
      if (const auto* r = std::get_if<client_event::Report>(&e)) reports_.push_back(r->text);
      if (const auto* x = std::get_if<client_event::ExitRequest>(&e)) exit_status_ = x->status;
      changed_.notify_all();
    };
    o.on_snapshot = [this](std::shared_ptr<const ClientSnapshot> s) {
      std::lock_guard lock(mutex_);
      snapshots_.push_back(std::move(s));
      changed_.notify_all();
    };
    return o;
  }
  // Waits (at most 10 s) until the latest snapshot satisfies `pred`.
  template <class Pred>
  std::shared_ptr<const ClientSnapshot> WaitFor(Pred pred) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, seconds(10), [&] { return !snapshots_.empty() && pred(*snapshots_.back()); });
    return snapshots_.empty() || !pred(*snapshots_.back()) ? nullptr : snapshots_.back();
  }
  std::vector<std::shared_ptr<const ClientSnapshot>> snapshots() {
    std::lock_guard lock(mutex_);
    return snapshots_;
  }
  std::vector<std::string> diagnostics() {
    std::lock_guard lock(mutex_);
    return diagnostics_;
  }
  std::vector<std::string> reports() {
    std::lock_guard lock(mutex_);
    return reports_;
  }
  std::optional<int> exit_status() {
    std::lock_guard lock(mutex_);
    return exit_status_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::shared_ptr<const ClientSnapshot>> snapshots_;
  std::vector<std::string> diagnostics_;
  std::vector<std::string> reports_;
  std::optional<int> exit_status_;
};

class ClientHandleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("mdl_client_handle_" + std::to_string(::getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    clock_.set_zone(ZoneFacts{});
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path RegistryFile() const { return dir_ / "registry.reg"; }
  void Store(const std::string& value) {
    Registry reg(RegistryFile(), [](const std::string&) {});
    reg.CreateKey(kClientKeyPath);
    ASSERT_TRUE(reg.WriteValue(Hive::kLocalMachine, kClientKey, kClientValueName, value));
  }
  std::string Stored() { return Registry(RegistryFile()).ReadValue(kClientKey, kClientValueName); }

  VirtualClock clock_{kHandleStart};
  fs::path dir_;
};

std::string ClosedHost() { return test::LoopbackHost(test::ClosedPort()); }

TEST_F(ClientHandleTest, CommandsFromAnotherThreadShowInSnapshots) {
  ThreadedReplyServer server;
  const std::string closed = ClosedHost();
  Store(closed + ":5:Minute/s:YES");
  Registry registry(RegistryFile(), [](const std::string&) {});
  Collector collected;
  ClientAppOptions options;
  options.print_reports = true;
  ClientHandle handle(clock_, registry, options, collected.Outputs());
  EXPECT_EQ(handle.snapshot()->sequence, 0u);
  EXPECT_FALSE(handle.snapshot()->loaded);
  handle.Start();

  // The first exchange at load goes to the closed port.
  auto s = collected.WaitFor([](const ClientSnapshot& s) { return s.last_outcome.has_value() && !s.busy; });
  ASSERT_TRUE(s) << "no snapshot after the first exchange";
  EXPECT_TRUE(s->loaded);
  EXPECT_EQ(s->last_outcome, Outcome::kConnectFailed);
  EXPECT_EQ(s->last_error, "cannot connect: Connection refused");
  EXPECT_EQ(s->settings.host, closed);
  EXPECT_EQ(s->report, "");

  // Posted from this thread, run on the handle's in order.
  std::thread poster([&] {
    handle.Post(cmd::SetHost{server.host()});
    handle.Post(cmd::SyncNow{});
  });
  poster.join();
  s = collected.WaitFor(
      [](const ClientSnapshot& s) { return s.last_outcome == Outcome::kSynchronised && !s.busy; });
  ASSERT_TRUE(s) << "no snapshot of a synchronised exchange; last error: " << handle.snapshot()->last_error;
  EXPECT_EQ(s->settings.host, server.host());
  EXPECT_TRUE(s->settings_changed);
  EXPECT_EQ(s->clock_set_to, kServerTime);
  EXPECT_EQ(s->report.rfind("MDL Server: MDLS v5 - Zone: UTC\r\n", 0), 0u) << s->report;
  EXPECT_EQ(s->tray_tip.rfind(" MDL Server Client: Time adjusted by ", 0), 0u) << s->tray_tip;
  EXPECT_EQ(handle.snapshot()->sequence, collected.snapshots().back()->sequence);
  const auto reports = collected.reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0], s->report);

  handle.Post(cmd::SetIntervalNumber{"x"});
  handle.Post(cmd::SetIntervalNumber{"3"});
  handle.Post(cmd::SetIntervalUnit{"Hour/s"});
  handle.Post(cmd::SetRunMinimized{false});
  s = collected.WaitFor([](const ClientSnapshot& s) { return !s.settings.run_minimized; });
  ASSERT_TRUE(s);
  EXPECT_EQ(s->settings.number, "3") << "a non-number is not applied";
  EXPECT_EQ(s->interval_seconds, 3 * 3600);

  EXPECT_EQ(handle.Stop(), 0);
  EXPECT_TRUE(handle.finished());
  EXPECT_EQ(Stored(), server.host() + ":3:Hour/s:NO") << "the stop saves the changed settings";
  const auto all = collected.snapshots();
  EXPECT_TRUE(all.back()->finished);
  EXPECT_FALSE(all.back()->settings_changed);
  for (size_t i = 1; i < all.size(); ++i) EXPECT_LT(all[i - 1]->sequence, all[i]->sequence);
  const auto lines = collected.diagnostics();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "Exchange with " + closed + " failed: cannot connect: Connection refused");

  handle.Post(cmd::SyncNow{});  // dropped after the stop
  EXPECT_EQ(handle.Stop(), 0);
}

TEST_F(ClientHandleTest, RunOnceEndsPollingWithTheExitStatus) {
  ThreadedReplyServer server;
  Store(server.host() + ":5:Minute/s:YES");
  Registry registry(RegistryFile(), [](const std::string&) {});
  Collector collected;
  ClientAppOptions options;
  options.run_once = true;
  ClientHandle handle(clock_, registry, options, collected.Outputs());
  for (int i = 0; i < 500 && !handle.finished(); ++i) handle.PollFor(milliseconds(10));
  ASSERT_TRUE(handle.finished());
  EXPECT_EQ(collected.exit_status(), 0);
  EXPECT_EQ(handle.Stop(), 0);
  EXPECT_EQ(clock_.now(), kServerTime);
  EXPECT_TRUE(handle.snapshot()->finished);
  EXPECT_EQ(handle.snapshot()->last_outcome, Outcome::kSynchronised);
  EXPECT_TRUE(collected.reports().empty()) << "reports are printed only when asked for";
}

TEST_F(ClientHandleTest, SnapshotsAreCoalescedPerTurn) {
  const std::string closed = ClosedHost();
  Store(closed + ":5:Minute/s:YES");
  Registry registry(RegistryFile(), [](const std::string&) {});
  Collector collected;
  ClientHandle handle(clock_, registry, ClientAppOptions{}, collected.Outputs());
  handle.Poll();  // load; the first exchange starts
  ASSERT_FALSE(collected.snapshots().empty());
  EXPECT_TRUE(collected.snapshots().back()->loaded);
  for (int i = 1; i <= 4; ++i) handle.Post(cmd::SetIntervalNumber{std::to_string(i)});
  handle.Poll();
  EXPECT_EQ(handle.snapshot()->interval_seconds, 4 * 60);
  for (const auto& s : collected.snapshots()) {
    EXPECT_TRUE(s->interval_seconds == 300 || s->interval_seconds == 240)
        << "edits of one turn were published one by one: " << s->interval_seconds;
  }
  EXPECT_EQ(handle.Stop(), 0);
  EXPECT_EQ(Stored(), closed + ":4:Minute/s:YES");
}

}  // namespace
}  // namespace mdl
