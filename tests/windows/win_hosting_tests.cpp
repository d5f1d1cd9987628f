// The Windows service host's pieces: the instance lock on LockFileEx, the
// control requests that stand in for signals, the event log's source and the
// message table the Event Viewer reads from the service programs, the
// program's own path and the default settings store.
// First: Boost 1.74's coroutine headers use std::exchange without including <utility>.
#include <utility>

#include <gtest/gtest.h>
#include <windows.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <cctype>
#include <csignal>
#include <optional>
#include <string>
#include <thread>

#include "common/files/executable_path.h"
#include "common/registry/system_registry.h"
#include "server/hosting/control_channel.h"
#include "server/hosting/event_log.h"
#include "server/hosting/event_source_win.h"
#include "server/hosting/instance_lock.h"
#include "server/hosting/metrics_endpoint.h"
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

// What the Event Viewer does with an event of our source: the message of
// its id (and of its category) from the program named in the source's key,
// the event's strings put in.
std::wstring MessageOf(HMODULE module, DWORD id, const std::wstring& line) {
  const DWORD_PTR args[] = {reinterpret_cast<DWORD_PTR>(line.c_str())};
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_ARGUMENT_ARRAY, module,
      id, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), reinterpret_cast<wchar_t*>(&text), 0,
      reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(args)));
  std::wstring out = n > 0 ? std::wstring(text, n) : L"<no message " + std::to_wstring(id) + L">";
  LocalFree(text);
  return out;
}

TEST(WinEventMessages, TheServiceProgramsShowEachLineAsWritten) {
  // The tests are built into <build>/tests, the programs into <build>/bin.
  const auto bin = files::ExecutablePath().parent_path().parent_path() / "bin";
  const std::wstring line = L"[MDL Server installed successfully!] 100% of %2 \u00e9t\u00e9 {1}";
  for (const char* program : {"QOR_MDL_Server_SVC.exe", "QOR_MDLSC_SVC.exe"}) {
    SCOPED_TRACE(program);
    const auto path = bin / program;
    HMODULE module = LoadLibraryExW(path.wstring().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr) << path.string() << ": error " << GetLastError();
    EXPECT_TRUE(MessageOf(module, 109, line) == line);
    EXPECT_TRUE(MessageOf(module, 1, L"") == L"Service");
    // No other id: an event of another number would show the viewer's complaint.
    EXPECT_TRUE(MessageOf(module, 110, line) == L"<no message 110>");
    FreeLibrary(module);
  }
}

std::wstring StringValue(const std::wstring& key, const wchar_t* name, DWORD* type) {
  wchar_t buf[1024] = {};
  DWORD bytes = sizeof buf;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND,
                   type, buf, &bytes) != ERROR_SUCCESS) {
    return L"<none>";
  }
  return buf;
}

DWORD DwordValue(const std::wstring& key, const wchar_t* name) {
  DWORD value = 0xdeadbeef;
  DWORD bytes = sizeof value;
  RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, RRF_RT_REG_DWORD, nullptr, &value, &bytes);
  return value;
}

bool KeyExists(const std::wstring& key) {
  HKEY h = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
  RegCloseKey(h);
  return true;
}

TEST(WinEventSource, RegisteredWithTheProgramAndRemovedAgain) {
  const std::string source = "MDL_Test_Source_" + std::to_string(GetCurrentProcessId());
  const std::wstring key = EventSourceKey(source);
  EXPECT_EQ(key, L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" +
                     std::wstring(source.begin(), source.end()));
  const std::filesystem::path program = L"C:\\Program Files\\Meridel Server\\QOR_MDL_Server_SVC.exe";
  ASSERT_EQ(AddEventSource(source, program), "");
  DWORD type = 0;
  EXPECT_TRUE(StringValue(key, L"EventMessageFile", &type) == program.wstring());
  EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
  EXPECT_TRUE(StringValue(key, L"CategoryMessageFile", &type) == program.wstring());
  EXPECT_EQ(DwordValue(key, L"CategoryCount"), 1u);
  EXPECT_EQ(DwordValue(key, L"TypesSupported"), 7u);
  // Again over an existing source (a reinstall elsewhere): the new path wins.
  const std::filesystem::path moved = L"D:\\Meridel\\QOR_MDL_Server_SVC.exe";
  ASSERT_EQ(AddEventSource(source, moved), "");
  EXPECT_TRUE(StringValue(key, L"EventMessageFile", &type) == moved.wstring());

  EXPECT_EQ(RemoveEventSource(source), "");
  EXPECT_FALSE(KeyExists(key));
  EXPECT_EQ(RemoveEventSource(source), "");  // none left: nothing to do
}

TEST(WinProgramPaths, ExecutableAndDefaultStore) {
  const auto exe = files::ExecutablePath();
  EXPECT_EQ(exe.filename().string(), "win_hosting_tests.exe");
  EXPECT_TRUE(exe.is_absolute());
  EXPECT_TRUE(DefaultStoreFile("C:\\Meridel").empty());  // the system registry
}

// The metrics endpoint over Winsock: a scrape and a 404 on loopback, and a
// port it holds cannot be taken by a second endpoint.
TEST(WinMetricsEndpoint, AnswersOnLoopbackAndHoldsItsPort) {
  using boost::asio::ip::tcp;
  const auto loopback = boost::asio::ip::make_address("127.0.0.1");
  MetricsEndpoint endpoint([] { return std::optional<std::string>("meridel_up 1\n"); });
  ASSERT_FALSE(endpoint.Open(loopback, 0));
  ASSERT_NE(endpoint.port(), 0);
  auto ask = [&](const std::string& request) {
    boost::asio::io_context io;
    tcp::socket client(io);
    boost::system::error_code ec;
    client.connect(tcp::endpoint(loopback, endpoint.port()), ec);
    EXPECT_FALSE(ec) << ec.message();
    boost::asio::write(client, boost::asio::buffer(request), ec);
    std::string reply;
    boost::asio::read(client, boost::asio::dynamic_buffer(reply), ec);  // until the endpoint closes
    EXPECT_EQ(ec, boost::asio::error::eof) << ec.message();
    return reply;
  };
  const std::string scrape = ask("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(scrape.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << scrape;
  EXPECT_NE(scrape.find("\r\n\r\nmeridel_up 1\n"), std::string::npos) << scrape;
  EXPECT_EQ(ask("GET / HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 404 ", 0), 0u);

  MetricsEndpoint second([] { return std::optional<std::string>(); });
  EXPECT_TRUE(second.Open(loopback, endpoint.port())) << "a second endpoint took the port";
  endpoint.Close();
}

TEST(WinControlChannel, AnswersThroughItsPipeAndRefusesOthers) {
  test::WinTempDir tmp;
  int asked = 0;
  auto answer = [&asked](std::string_view r) -> std::optional<std::string> {
    if (r == "status") return "status #" + std::to_string(++asked) + "\n";
    return std::nullopt;
  };
  ControlChannel channel;
  ASSERT_TRUE(channel.Start(tmp.path(), "MDLServer", answer)) << channel.error();
  EXPECT_EQ(channel.endpoint().rfind("\\\\.\\pipe\\Meridel-MDLServer-", 0), 0u) << channel.endpoint();
  // The folder names the pipe however it is spelled; another folder or service names another.
  std::string upper = tmp.path().string();
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(ControlEndpoint(upper + "\\", "MDLServer"), channel.endpoint());
  EXPECT_NE(ControlEndpoint(tmp.path() / "other", "MDLServer"), channel.endpoint());
  EXPECT_NE(ControlEndpoint(tmp.path(), "MDLClient"), channel.endpoint());

  for (int i = 1; i <= 3; ++i) {
    const ControlReply r = AskControl(tmp.path(), "MDLServer", "status");
    EXPECT_EQ(r.kind, ControlReply::Kind::kAnswered) << r.text;
    EXPECT_EQ(r.text, "status #" + std::to_string(i) + "\n");
  }
  EXPECT_EQ(AskControl(tmp.path(), "MDLServer", "pause").text, kControlUnknown);
  EXPECT_EQ(AskControl(tmp.path(), "MDLServer", std::string(100, 's')).text, kControlUnknown);

  // A client that sends nothing is dropped after the request time; the next one is answered.
  const std::wstring name = std::filesystem::path(channel.endpoint()).wstring();
  HANDLE idle =
      CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(idle, INVALID_HANDLE_VALUE);
  const ControlReply after_idle = AskControl(tmp.path(), "MDLServer", "status");
  EXPECT_EQ(after_idle.text, "status #4\n");
  CloseHandle(idle);

  // A second program on the same folder does not take the pipe over.
  ControlChannel second;
  EXPECT_FALSE(second.Start(tmp.path(), "MDLServer", answer));
  EXPECT_EQ(AskControl(tmp.path(), "MDLServer", "status").text, "status #5\n");

  channel.Stop();
  EXPECT_EQ(AskControl(tmp.path(), "MDLServer", "status").kind, ControlReply::Kind::kNoInstance);
  EXPECT_EQ(AskControl(tmp.path() / "none", "MDLServer", "status").kind, ControlReply::Kind::kNoInstance);
}

}  // namespace
}  // namespace mdl::service
