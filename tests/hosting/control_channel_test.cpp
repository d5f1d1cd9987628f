// The control channel over its Unix socket: answers, bounded requests, slow
// and idle clients, the socket's mode, a stale socket and a live one.
#include "server/hosting/control_channel.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "server/hosting/unit_file.h"
#include "tests/support/temp_dir.h"
#include "tests/support/unique_fd.h"

namespace mdl::service {
namespace {

using namespace std::chrono_literals;
using testing::TempDir;
using testing::UniqueFd;
using Steady = std::chrono::steady_clock;

constexpr std::string_view kService = "MDLServer";

// A fake snapshot source: "status" and "status json" answer with the count of questions so far.
struct FakeSource {
  std::atomic<int> asked{0};
  ControlAnswer answer() {
    return [this](std::string_view request) -> std::optional<std::string> {
      if (request == "status") return "status #" + std::to_string(++asked) + "\n";
      if (request == "status json") return "{\"n\":" + std::to_string(++asked) + "}\n";
      return std::nullopt;
    };
  }
};

UniqueFd Connect(const std::string& path) {
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return UniqueFd();
  return fd;
}

// Everything the peer writes until it closes, at most `limit` long.
std::string ReadToEnd(int fd, std::chrono::milliseconds limit) {
  std::string out;
  const auto end = Steady::now() + limit;
  while (Steady::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char buf[512];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return out;
    out.append(buf, static_cast<size_t>(n));
  }
  return out + "<still open>";
}

void Send(int fd, std::string_view text) {
  ASSERT_EQ(::send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
}

TEST(ControlChannelTest, RequestLineIsDecidedWithinItsBound) {
  using State = ControlRequest::State;
  EXPECT_EQ(ParseControlRequest("").state, State::kIncomplete);
  EXPECT_EQ(ParseControlRequest("status").state, State::kIncomplete);
  ControlRequest r = ParseControlRequest("status json\r\nrest");
  EXPECT_EQ(r.state, State::kLine);
  EXPECT_EQ(r.line, "status json");
  EXPECT_EQ(ParseControlRequest("\n").line, "");
  EXPECT_EQ(ParseControlRequest("a\rb\n").line, "a\rb");  // only a CR before the LF goes
  // 63 bytes and the line end fit; 64 without one, or a line end beyond, do not.
  const std::string longest(kControlRequestMax - 1, 'x');
  EXPECT_EQ(ParseControlRequest(longest).state, State::kIncomplete);
  EXPECT_EQ(ParseControlRequest(longest + "\n").line, longest);
  EXPECT_EQ(ParseControlRequest(longest + "x").state, State::kRefused);
  EXPECT_EQ(ParseControlRequest(longest + "x\n").state, State::kRefused);
}

TEST(ControlChannelTest, AnswersStatusRequestsAndRefusesOthers) {
  TempDir dir;
  FakeSource source;
  ControlChannel channel;
  ASSERT_TRUE(channel.Start(dir.path(), kService, source.answer())) << channel.error();
  EXPECT_EQ(channel.endpoint(), (dir.path() / "control.sock").string());
  // The client of the same folder has a socket of its own and is not this one.
  ControlChannel client;
  ASSERT_TRUE(client.Start(dir.path(), kClientService.name, source.answer())) << client.error();
  EXPECT_EQ(client.endpoint(), (dir.path() / "client-control.sock").string());
  client.Stop();
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "client-control.sock"));
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "control.sock"));

  ControlReply r = AskControl(dir.path(), kService, "status");
  EXPECT_EQ(r.kind, ControlReply::Kind::kAnswered) << r.text;
  EXPECT_EQ(r.text, "status #1\n");
  r = AskControl(dir.path(), kService, "status json");
  EXPECT_EQ(r.text, "{\"n\":2}\n");

  // CR LF ends a line too; anything else is refused without asking the source.
  UniqueFd crlf = Connect(channel.endpoint());
  ASSERT_TRUE(crlf.valid());
  Send(crlf.get(), "status\r\n");
  EXPECT_EQ(ReadToEnd(crlf.get(), 3000ms), "status #3\n");
  for (const std::string request : {"pause", "status  json", "", "STATUS", "status json extra"}) {
    r = AskControl(dir.path(), kService, request);
    EXPECT_EQ(r.kind, ControlReply::Kind::kAnswered);
    EXPECT_EQ(r.text, kControlUnknown) << "request '" << request << "'";
  }
  EXPECT_EQ(source.asked.load(), 3);
}

TEST(ControlChannelTest, RequestsAreBoundedInSizeAndTime) {
  TempDir dir;
  FakeSource source;
  ControlChannel channel;
  ASSERT_TRUE(channel.Start(dir.path(), kService, source.answer())) << channel.error();

  // 64 bytes without a line end: refused at once, the rest never read.
  UniqueFd big = Connect(channel.endpoint());
  ASSERT_TRUE(big.valid());
  Send(big.get(), std::string(kControlRequestMax, 's'));
  EXPECT_EQ(ReadToEnd(big.get(), 1500ms), kControlUnknown);
  // A long line that begins like a request is no request either.
  UniqueFd padded = Connect(channel.endpoint());
  Send(padded.get(), "status" + std::string(kControlRequestMax, ' ') + "\n");
  EXPECT_EQ(ReadToEnd(padded.get(), 1500ms), kControlUnknown);

  // Clients that send nothing (or half a line) take every slot; they are
  // closed after the request time, and meanwhile a well-behaved one waits.
  std::vector<UniqueFd> idle;
  for (size_t i = 0; i < kControlConnectionsMax; ++i) {
    idle.push_back(Connect(channel.endpoint()));
    ASSERT_TRUE(idle.back().valid());
  }
  Send(idle[0].get(), "stat");
  const auto start = Steady::now();
  ControlReply r = AskControl(dir.path(), kService, "status", 5000ms);
  const auto took = Steady::now() - start;
  EXPECT_EQ(r.kind, ControlReply::Kind::kAnswered) << r.text;
  EXPECT_EQ(r.text, "status #1\n");
  EXPECT_GE(took, 1500ms) << "a fifth connection was served while four were open";
  EXPECT_LT(took, 4000ms);
  for (UniqueFd& fd : idle) EXPECT_EQ(ReadToEnd(fd.get(), 1000ms), "") << "an idle client got an answer";
  EXPECT_EQ(source.asked.load(), 1);
}

TEST(ControlChannelTest, ManyAskersAtOnceAreAllAnswered) {
  TempDir dir;
  FakeSource source;
  ControlChannel channel;
  ASSERT_TRUE(channel.Start(dir.path(), kService, source.answer())) << channel.error();
  // More than the slots and the backlog together: the rest wait for room.
  constexpr int kAskers = 24;
  std::vector<ControlReply> replies(kAskers);
  std::vector<std::thread> askers;
  for (int i = 0; i < kAskers; ++i)
    askers.emplace_back([&, i] { replies[i] = AskControl(dir.path(), kService, "status", 5000ms); });
  for (std::thread& t : askers) t.join();
  for (const ControlReply& r : replies) {
    EXPECT_EQ(r.kind, ControlReply::Kind::kAnswered) << r.text;
    EXPECT_EQ(r.text.rfind("status #", 0), 0u) << r.text;
  }
  EXPECT_EQ(source.asked.load(), kAskers);
}

TEST(ControlChannelTest, SocketIsPrivateAndRemovedAtStop) {
  TempDir dir;
  FakeSource source;
  auto channel = std::make_unique<ControlChannel>();
  ASSERT_TRUE(channel->Start(dir.path(), kService, source.answer())) << channel->error();
  const std::string path = channel->endpoint();
  struct stat st {};
  ASSERT_EQ(::lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  channel->Stop();
  EXPECT_NE(::lstat(path.c_str(), &st), 0) << "the socket outlived Stop()";
  EXPECT_EQ(AskControl(dir.path(), kService, "status").kind, ControlReply::Kind::kNoInstance);
  channel->Stop();  // twice is harmless
  channel.reset();
  // An empty folder, and one that does not exist: nobody runs there.
  EXPECT_EQ(AskControl(dir.path(), kService, "status").kind, ControlReply::Kind::kNoInstance);
  EXPECT_EQ(AskControl(dir.path() / "missing", kService, "status").kind, ControlReply::Kind::kNoInstance);
}

TEST(ControlChannelTest, OtherUsersAreNotAnsweredEvenThroughAWiderMode) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to ask as another user";
  TempDir dir;
  FakeSource source;
  ControlChannel channel;
  ASSERT_TRUE(channel.Start(dir.path(), kService, source.answer())) << channel.error();
  // Opened up by hand: the peer's credentials still stand in the way.
  ASSERT_EQ(::chmod(channel.endpoint().c_str(), 0666), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) ::_exit(2);
    const ControlReply r = AskControl(dir.path(), kService, "status", 3000ms);
    // Connected (the mode let it) and closed without an answer.
    ::_exit(r.text.find("status #") == std::string::npos && r.kind != ControlReply::Kind::kNoInstance ? 0
                                                                                                      : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "another user was answered (1) or could not switch users (2)";
  EXPECT_EQ(source.asked.load(), 0);
  EXPECT_EQ(AskControl(dir.path(), kService, "status").text, "status #1\n");  // root still is
}

TEST(ControlChannelTest, StaleSocketIsReplacedLiveOneAndOtherFilesAreNot) {
  TempDir dir;
  const std::string path = ControlEndpoint(dir.path(), kService);
  {
    // A socket left behind: bound, never served, its program gone.
    UniqueFd stale(::socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(stale.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  }
  EXPECT_EQ(AskControl(dir.path(), kService, "status").kind, ControlReply::Kind::kNoInstance);
  FakeSource source;
  ControlChannel first;
  ASSERT_TRUE(first.Start(dir.path(), kService, source.answer())) << first.error();
  EXPECT_EQ(AskControl(dir.path(), kService, "status").text, "status #1\n");

  // A second program in the same folder leaves the live socket alone.
  ControlChannel second;
  EXPECT_FALSE(second.Start(dir.path(), kService, source.answer()));
  EXPECT_NE(second.error().find("in use"), std::string::npos) << second.error();
  EXPECT_EQ(AskControl(dir.path(), kService, "status").text, "status #2\n");
  first.Stop();

  // A file that is not a socket is never removed.
  ASSERT_TRUE(testing::WriteFile(path, "mine"));
  ControlChannel third;
  EXPECT_FALSE(third.Start(dir.path(), kService, source.answer()));
  EXPECT_EQ(testing::ReadFile(path), "mine");

  // A path beyond the socket address's size is refused with a reason.
  const std::filesystem::path deep = dir.path() / std::string(120, 'd');
  ControlChannel fourth;
  EXPECT_FALSE(fourth.Start(deep, kService, source.answer()));
  EXPECT_NE(fourth.error().find("too long"), std::string::npos) << fourth.error();
  EXPECT_EQ(AskControl(deep, kService, "status").kind, ControlReply::Kind::kFailed);
}

TEST(ControlChannelTest, ServerThatNeverAnswersTimesTheAskerOut) {
  TempDir dir;
  const std::string path = ControlEndpoint(dir.path(), kService);
  UniqueFd mute(::socket(AF_UNIX, SOCK_STREAM, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(::bind(mute.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(mute.get(), 4), 0);
  const auto start = Steady::now();
  const ControlReply r = AskControl(dir.path(), kService, "status", 700ms);
  EXPECT_EQ(r.kind, ControlReply::Kind::kFailed);
  EXPECT_NE(r.text.find("no answer"), std::string::npos) << r.text;
  EXPECT_LT(Steady::now() - start, 3s);
}

}  // namespace
}  // namespace mdl::service
