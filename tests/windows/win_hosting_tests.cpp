// The Windows service host's pieces: the instance lock on LockFileEx, the
// control requests that stand in for signals, the event log's source, the
// program's own path and the default settings store.
#include <gtest/gtest.h>
#include <windows.h>

#include <csignal>
#include <thread>

#include "common/files/executable_path.h"
#include "common/registry/system_registry.h"
#include "server/hosting/event_log.h"
#include "server/hosting/instance_lock.h"
#include "server/hosting/service_control_win.h"
#include "server/hosting/service_dispatch.h"
#include "server/hosting/signal_loop.h"
#include "tests/windows/win_support.h"

namespace mdl::service {
namespace {

TEST(WinInstanceLock, OneHolderPerFolderUntilReleased) {
  test::WinTempDir tmp;
  const auto file = tmp.path() / ".lock";
  InstanceLock first = InstanceLock::TryAcquire(file);
  ASSERT_TRUE(first.held()) << first.error();
  InstanceLock second = InstanceLock::TryAcquire(file);
  EXPECT_EQ(second.state(), InstanceLock::State::kHeldElsewhere);
  EXPECT_EQ(SignalInstance(file, 0).outcome, SignalResult::Outcome::kFailed);  // runs, but no signals here

  InstanceLock moved = std::move(first);
  EXPECT_TRUE(moved.held());
  moved.Release();
  EXPECT_EQ(moved.state(), InstanceLock::State::kReleased);
  EXPECT_EQ(SignalInstance(file, 0).outcome, SignalResult::Outcome::kNotRunning);
  InstanceLock third = InstanceLock::TryAcquire(file);
  EXPECT_TRUE(third.held());
  EXPECT_EQ(SignalInstance(tmp.path() / "missing", 0).outcome, SignalResult::Outcome::kNotRunning);

  EXPECT_EQ(InstanceLock::TryAcquire(tmp.path() / "no" / "such" / ".lock").state(),
            InstanceLock::State::kFailed);
}

TEST(WinSignalLoop, ControlRequestsReachTheHandlersInOrderAndStopEndsTheLoop) {
  ASSERT_TRUE(BlockServiceSignals());
  EXPECT_EQ(RunSignalLoop({}, std::chrono::milliseconds(20)), 0);  // nothing came

  int pauses = 0, resumes = 0, stopped_with = 0;
  SignalHandlers handlers{
      .stop = [&](int sig) { stopped_with = sig; }, .pause = [&] { ++pauses; }, .resume = [&] { ++resumes; }};
  win::Push(win::Request::kPause);
  win::Push(win::Request::kPause);  // pending twice counts once
  win::Push(win::Request::kContinue);
  std::thread later([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    RequestStop();
  });
  EXPECT_EQ(RunSignalLoop(handlers, std::chrono::seconds(10)), SIGTERM);
  later.join();
  EXPECT_EQ(pauses, 1);
  EXPECT_EQ(resumes, 1);
  EXPECT_EQ(stopped_with, SIGTERM);

  // Ctrl+C in the console is SIGINT.
  GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
  const int sig = RunSignalLoop({}, std::chrono::seconds(2));
  // Without a console (ctest's) Wine has nowhere to raise the event;
  // scripts/e2e-windows stops the server with Ctrl+C in its console.
  if (sig == 0) GTEST_SKIP() << "no console to deliver Ctrl+C to";
  EXPECT_EQ(sig, SIGINT);
}

TEST(WinServiceDispatch, RunsTheBodyInTheForegroundWhenNotStartedByTheManager) {
  int runs = 0;
  EXPECT_EQ(RunAsService(kServerService, true, [&] { return ++runs + 6; }), 7);
  // Not started by the manager: the dispatcher gives up and the body runs here.
  EXPECT_EQ(RunAsService(kServerService, false, [&] { return ++runs + 6; }), 8);
  EXPECT_EQ(runs, 2);
  EXPECT_FALSE(win::UnderServiceManager());
}

TEST(WinEventLog, WritesCleanLinesToTheConsoleCopy) {
  test::WinTempDir tmp;
  const auto out = tmp.path() / "console.txt";
  std::FILE* console = _wfopen(out.wstring().c_str(), L"w+b");
  ASSERT_NE(console, nullptr);
  {
    EventLog log("QOR_MDL_Server_SVC_Test", EventLogOptions{console, false, true});
    log.Entry(EventLevel::kNotice, "MDL Start [0] ");
    log.Error("bad\x01line\r\nsecond");
  }
  std::fseek(console, 0, SEEK_SET);
  char buf[256] = {};
  const size_t n = std::fread(buf, 1, sizeof buf - 1, console);
  std::fclose(console);
  const std::string text(buf, n);
  EXPECT_NE(text.find(" --- MDL Start [0] \n"), std::string::npos) << text;
  EXPECT_NE(text.find("bad\\x01line\nsecond\n"), std::string::npos) << text;
}

TEST(WinProgramPaths, ExecutableAndDefaultStore) {
  const auto exe = files::ExecutablePath();
  EXPECT_EQ(exe.filename().string(), "win_hosting_tests.exe");
  EXPECT_TRUE(exe.is_absolute());
  EXPECT_TRUE(DefaultStoreFile("C:\\Meridel").empty());  // the system registry
}

}  // namespace
}  // namespace mdl::service
