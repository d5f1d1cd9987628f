// The update check against a scripted loopback HTTP server, on a frozen
// virtual clock (its time-out fires only when a test advances the clock).
#include "server/update/update_check.h"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <chrono>
#include <thread>

#include "common/clock/virtual_clock.h"
#include "tests/support/ports.h"
#include "tests/support/temp_dir.h"
#include "tests/update/http_peer.h"

namespace mdl {
namespace {

using testing::HttpPeer;
using testing::Ok;
using testing::PeerReply;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

const std::string kOldList = "old list\n2\n3\n4\n5\nold.example:::Old - NA:::2:::x\n";  // 36 bytes
const std::string kNewList =
    "new list\n2\n3\n4\n5\n127.0.0.1:12345:::Local - NA:::2:::x\nh2:::Two - EU:::3:::y\n";

std::string VersionFileFor(const std::string& version, size_t list_size) {
  return "MDL-:-" + version + "-:-2026-:-x-:-" + std::to_string(list_size) + "-:-end\r\n";
}

class UpdateCheckTest : public ::testing::Test {
 protected:
  void MakeCheck(const std::string& host, bool can_ask, const std::string& auto_list = "",
                 const std::string& trusted_certificates = "") {
    UpdateCheckOptions o;
    o.home = dir_.path();
    o.version = "5.1.10";
    o.can_ask = can_ask;
    UpdateHooks h;
    h.diagnostic = [this](const std::string& l) { lines_.push_back(l); };
    h.ask = [this](const UpdateQuestion& q) { questions_.push_back(q); };
    h.notify = [this](const UpdateNotice& n) { notices_.push_back(n); };
    h.start_updater = [this](const UpdaterStart& s) { updater_.push_back(s); };
    h.list_installed = [this](int n) { installed_.push_back(n); };
    check_ = std::make_unique<UpdateCheck>(io_, clock_, o, h);
    check_->Configure(host, auto_list, trusted_certificates);
  }
  // Runs the loop until the check is idle or waits for an answer (5 s of real time at most).
  bool RunCheck() {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    size_t asked = questions_.size();
    io_.restart();  // a loop that ran out of work stays stopped until then
    while (check_->running() && questions_.size() == asked) {
      if (std::chrono::steady_clock::now() > end) return false;
      if (io_.poll() == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
  }
  bool Logged(const std::string& part) const {
    for (const auto& l : lines_)
      if (l.find(part) != std::string::npos) return true;
    return false;
  }
  std::filesystem::path List() const { return dir_.path() / "QOR_MDLS4.MDL"; }

  TempDir dir_{"mdl-update"};
  boost::asio::io_context io_;
  VirtualClock clock_{UtcFromNs(1'796'634'000'000'000'000)};
  std::unique_ptr<UpdateCheck> check_;
  std::vector<std::string> lines_;
  std::vector<UpdateQuestion> questions_;
  std::vector<UpdateNotice> notices_;
  std::vector<UpdaterStart> updater_;
  std::vector<int> installed_;
};

// Serves the version file and the list from memory.
HttpPeer::Handler Serve(std::string version_file, std::string list) {
  return [version_file, list](const std::string& request) -> PeerReply {
    if (request.rfind("GET /Meridel/MDLVCS4.IPF ", 0) == 0) return Ok(version_file);
    if (request.rfind("GET /Meridel/QOR_MDLS4.MDL ", 0) == 0) return Ok(list);
    return {{"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"}};
  };
}

TEST_F(UpdateCheckTest, MissingListIsFetchedWithoutAskingAndHandedOn) {
  HttpPeer peer(Serve(VersionFileFor("5.1.10", kNewList.size()), kNewList));
  MakeCheck(peer.host(), /*can_ask=*/true);
  EXPECT_TRUE(check_->ListFileMissing());
  check_->Start();
  EXPECT_FALSE(check_->button_enabled());
  ASSERT_TRUE(RunCheck());
  EXPECT_TRUE(questions_.empty());
  EXPECT_EQ(ReadFile(List()), kNewList);
  EXPECT_EQ(installed_, std::vector<int>{2});
  EXPECT_TRUE(check_->button_enabled());
  // Nothing was offered: the version step ends with its notice.
  ASSERT_EQ(notices_.size(), 1u);
  EXPECT_EQ(notices_[0].title, "Meridel Server Updater");
  EXPECT_EQ(notices_[0].text, "No Updates Available.");
  EXPECT_EQ(notices_[0].icon, UpdateIcon::kExclamation);
  EXPECT_EQ(notices_[0].buttons, UpdateButtons::kOk);
  // The exact request, and the list asked for on a second connection.
  auto requests = peer.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0], "GET /Meridel/MDLVCS4.IPF HTTP/1.1\r\nAccept: */*\r\nHost: " + peer.host() +
                             "\r\nReferer: Meridel S v5.1.10\r\nUser-Agent: Meridel v5.1.10\r\n\r\n");
  EXPECT_EQ(requests[1].substr(0, requests[1].find("\r\n")), "GET /Meridel/QOR_MDLS4.MDL HTTP/1.1");
  // No temporary file is left beside the list.
  EXPECT_EQ(dir_.Entries().size(), 1u);
}

TEST_F(UpdateCheckTest, VersionOffers) {
  struct Case {
    const char* newest;
    bool offered;
  } cases[] = {{"5.1.11", true}, {"5.1.10", false}, {"5.1.9", false}, {"5.2", true}};
  for (const Case& c : cases) {
    WriteFile(List(), kOldList);
    HttpPeer peer(Serve(VersionFileFor(c.newest, kOldList.size()), kNewList));
    questions_.clear();
    notices_.clear();
    MakeCheck(peer.host(), true);
    check_->Start();
    ASSERT_TRUE(RunCheck()) << c.newest;
    ASSERT_EQ(questions_.size(), c.offered ? 1u : 0u) << c.newest;
    if (c.offered) {
      EXPECT_EQ(questions_[0].kind, UpdateQuestionKind::kNewVersion);
      EXPECT_EQ(questions_[0].title, "Meridel Server AUTO Update Available!");
      EXPECT_EQ(questions_[0].text, std::string("Would you like to update your MDL Server Edition?\r\n"
                                                "The latest version is: ") +
                                        c.newest);
      EXPECT_EQ(questions_[0].icon, UpdateIcon::kInformation);
      EXPECT_EQ(questions_[0].buttons, UpdateButtons::kYesNo);
      check_->Answer(questions_[0].id, false);
      EXPECT_TRUE(notices_.empty());  // offered: no "No Updates Available."
    } else {
      ASSERT_EQ(notices_.size(), 1u) << c.newest;
      EXPECT_EQ(notices_[0].text, "No Updates Available.");
    }
    EXPECT_FALSE(check_->running());
    EXPECT_TRUE(check_->button_enabled());
    EXPECT_EQ(peer.requests().size(), 1u);
  }
}

TEST_F(UpdateCheckTest, YesToANewVersionStartsTheUpdaterAndKeepsTheButtonDisabled) {
  WriteFile(List(), kOldList);
  WriteFile(dir_.path() / "QORUpdate", "#!/bin/sh\n");
  HttpPeer peer(Serve(VersionFileFor("5.1.11", 1), kNewList));
  MakeCheck(peer.host(), true);
  check_->Start();
  ASSERT_TRUE(RunCheck());
  ASSERT_EQ(questions_.size(), 1u);
  check_->Answer(questions_[0].id + 1, true);  // a stale answer changes nothing
  EXPECT_TRUE(updater_.empty());
  check_->Answer(questions_[0].id, true);
  ASSERT_EQ(updater_.size(), 1u);
  EXPECT_EQ(updater_[0].program, dir_.path() / "QORUpdate");
  EXPECT_EQ(updater_[0].arguments, std::vector<std::string>{"/v5.1.10"});
  EXPECT_FALSE(check_->running());
  EXPECT_FALSE(check_->button_enabled());
  EXPECT_EQ(peer.requests().size(), 1u);  // the list step is not reached
  EXPECT_EQ(ReadFile(List()), kOldList);
}

TEST_F(UpdateCheckTest, ListOfAnotherSizeIsOfferedAndTheSameSizeIsNot) {
  // Same size, other content: not fetched.
  {
    WriteFile(List(), kOldList);
    std::string same_size = kOldList;
    same_size[0] = 'X';
    HttpPeer peer(Serve(VersionFileFor("5.1.10", kOldList.size()), same_size));
    MakeCheck(peer.host(), true);
    check_->Start();
    ASSERT_TRUE(RunCheck());
    EXPECT_TRUE(questions_.empty());
    EXPECT_EQ(peer.requests().size(), 1u);
    EXPECT_EQ(ReadFile(List()), kOldList);
  }
  for (bool yes : {false, true}) {
    WriteFile(List(), kOldList);
    questions_.clear();
    installed_.clear();
    HttpPeer peer(Serve(VersionFileFor("5.1.10", kNewList.size()), kNewList));
    MakeCheck(peer.host(), true);
    check_->Start();
    ASSERT_TRUE(RunCheck());
    ASSERT_EQ(questions_.size(), 1u);
    EXPECT_EQ(questions_[0].kind, UpdateQuestionKind::kNewList);
    EXPECT_EQ(questions_[0].title, "Meridel Update Available!");
    EXPECT_EQ(questions_[0].text, "Would you like to update your MDL Server File?");
    EXPECT_FALSE(check_->button_enabled());
    check_->Answer(questions_[0].id, yes);
    ASSERT_TRUE(RunCheck());
    EXPECT_EQ(ReadFile(List()), yes ? kNewList : kOldList) << yes;
    EXPECT_EQ(peer.requests().size(), yes ? 2u : 1u);
    EXPECT_EQ(installed_.size(), yes ? 1u : 0u);
    EXPECT_TRUE(check_->button_enabled());
  }
}

TEST_F(UpdateCheckTest, WithoutAWindowOffersAreLinesAndAnotherSizeNeedsAutoUpdateList) {
  for (const char* auto_list : {"", "NO", "YES"}) {
    WriteFile(List(), kOldList);
    lines_.clear();
    HttpPeer peer(Serve(VersionFileFor("5.1.11", kNewList.size()), kNewList));
    MakeCheck(peer.host(), /*can_ask=*/false, auto_list);
    check_->Start();
    ASSERT_TRUE(RunCheck());
    EXPECT_FALSE(check_->running());
    EXPECT_TRUE(questions_.empty());
    EXPECT_TRUE(notices_.empty());
    EXPECT_TRUE(updater_.empty());
    EXPECT_TRUE(
        Logged("Meridel Server AUTO Update Available! Would you like to update your MDL Server Edition? "
               "The latest version is: 5.1.11"));
    EXPECT_TRUE(Logged("Meridel Update Available!"));
    const bool fetched = std::string(auto_list) == "YES";
    EXPECT_EQ(ReadFile(List()), fetched ? kNewList : kOldList) << auto_list;
  }
}

TEST_F(UpdateCheckTest, ResponseShapesThatUsedToHang) {
  const std::string vf = VersionFileFor("5.1.10", kNewList.size());
  const std::string head = "HTTP/1.1 200 OK\r\n";
  std::vector<std::pair<std::string, PeerReply>> shapes;
  PeerReply split;
  const std::string whole = head + "Content-Length: " + std::to_string(vf.size()) + "\r\n\r\n" + vf;
  for (size_t at = 0; at < whole.size(); at += 3) split.pieces.push_back(whole.substr(at, 3));
  shapes.push_back({"split in 3-byte writes", split});
  shapes.push_back({"no Content-Length", PeerReply{{"HTTP/1.0 200 OK\r\n\r\n", vf}}});
  // Chunked: three bytes, the rest as one chunk (its size in hex), then the last chunk.
  char size_hex[16];
  std::snprintf(size_hex, sizeof size_hex, "%zx", vf.size() - 3);
  shapes.push_back(
      {"chunked", PeerReply{{head + "Transfer-Encoding: chunked\r\n\r\n", "3\r\n" + vf.substr(0, 3) + "\r\n",
                             std::string(size_hex) + "\r\n" + vf.substr(3) + "\r\n", "0\r\n\r\n"}}});
  for (auto& [name, reply] : shapes) {
    WriteFile(List(), kOldList);
    questions_.clear();
    HttpPeer peer([&](const std::string&) { return reply; });
    MakeCheck(peer.host(), true);
    check_->Start();
    ASSERT_TRUE(RunCheck()) << name;
    ASSERT_EQ(questions_.size(), 1u) << name << ": " << check_->status();
    EXPECT_EQ(questions_[0].kind, UpdateQuestionKind::kNewList) << name;
    check_->Answer(questions_[0].id, false);
  }
}

TEST_F(UpdateCheckTest, FailuresEndTheCheckWithTheButtonEnabled) {
  struct Case {
    const char* name;
    PeerReply reply;
    const char* logged;
  } cases[] = {
      {"404", {{"HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nNot found"}}, "answered 404"},
      {"too large", Ok(std::string(5000, 'x')), "larger than 4096 bytes"},
      {"five fields", Ok("a-:-5.2-:-b-:-c-:-10"), "fewer than six"},
      {"cut", {{"HTTP/1.1 200 OK\r\nContent-Length: 50\r\n\r\nMDL-:-5"}}, "before the answer was complete"},
  };
  for (const Case& c : cases) {
    WriteFile(List(), kOldList);
    lines_.clear();
    notices_.clear();
    HttpPeer peer([&](const std::string&) { return c.reply; });
    MakeCheck(peer.host(), true);
    check_->Start();
    ASSERT_TRUE(RunCheck()) << c.name;
    EXPECT_TRUE(check_->button_enabled()) << c.name;
    EXPECT_TRUE(Logged(c.logged)) << c.name << ": " << (lines_.empty() ? "" : lines_.back());
    EXPECT_EQ(check_->status().rfind("Update check failed: ", 0), 0u) << check_->status();
    EXPECT_TRUE(questions_.empty());
    EXPECT_EQ(ReadFile(List()), kOldList);
  }
  EXPECT_EQ(notices_.size(), 0u);
}

TEST_F(UpdateCheckTest, TooLargeAVersionFileIsToldInANotice) {
  HttpPeer peer([](const std::string&) { return Ok(std::string(5000, 'x')); });
  MakeCheck(peer.host(), true);
  check_->Start();
  ASSERT_TRUE(RunCheck());
  ASSERT_EQ(notices_.size(), 1u);
  EXPECT_NE(notices_[0].text.find("larger than 4096 bytes"), std::string::npos);
}

TEST_F(UpdateCheckTest, StalledHostEndsAtTheTimeOut) {
  HttpPeer peer([](const std::string&) {
    return PeerReply{{"HTTP/1.1 200 OK\r\nContent-Le"}, /*stall=*/true};
  });
  MakeCheck(peer.host(), true);
  check_->Start();
  // Connected, request sent, part of a header in: nothing more comes.
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  io_.restart();
  while (peer.requests().empty() && std::chrono::steady_clock::now() < end)
    io_.run_for(std::chrono::milliseconds(5));
  io_.run_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(check_->running());
  clock_.advance(std::chrono::seconds(29));
  io_.poll();
  EXPECT_TRUE(check_->running());
  clock_.advance(std::chrono::seconds(1));
  ASSERT_TRUE(RunCheck());
  EXPECT_FALSE(check_->running());
  EXPECT_TRUE(check_->button_enabled());
  EXPECT_TRUE(Logged("within 30 s"));
}

TEST_F(UpdateCheckTest, RefusedConnectionEndsTheCheck) {
  const uint16_t closed = testing::FreeTcpPort();
  MakeCheck("127.0.0.1:" + std::to_string(closed), true);
  check_->Start();
  ASSERT_TRUE(RunCheck());
  EXPECT_TRUE(check_->button_enabled());
  EXPECT_TRUE(Logged("cannot connect to 127.0.0.1:" + std::to_string(closed)));
}

TEST_F(UpdateCheckTest, BrokenDownloadsKeepTheOldList) {
  const std::string vf = VersionFileFor("5.1.10", kNewList.size());
  struct Case {
    const char* name;
    PeerReply list_reply;
    const char* logged;
    bool notice;
  } cases[] = {
      {"truncated",
       {{"HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kNewList.size()) + "\r\n\r\n" +
         kNewList.substr(0, 30)}},
       "before the answer was complete",
       false},
      {"no server", Ok("<html><body>Sorry</body></html>"), "names no server", true},
      {"too large", Ok(std::string(1024 * 1024 + 1, 'x')), "larger than 1048576 bytes", true},
      {"404", {{"HTTP/1.1 404 Not Found\r\n\r\n"}}, "answered 404", false},
  };
  for (const Case& c : cases) {
    WriteFile(List(), kOldList);
    lines_.clear();
    notices_.clear();
    questions_.clear();
    installed_.clear();
    HttpPeer peer([&](const std::string& request) {
      return request.rfind("GET /Meridel/MDLVCS4.IPF ", 0) == 0 ? Ok(vf) : c.list_reply;
    });
    MakeCheck(peer.host(), true);
    check_->Start();
    ASSERT_TRUE(RunCheck()) << c.name;
    ASSERT_EQ(questions_.size(), 1u) << c.name;
    check_->Answer(questions_[0].id, true);
    ASSERT_TRUE(RunCheck()) << c.name;
    EXPECT_EQ(ReadFile(List()), kOldList) << c.name;
    EXPECT_TRUE(Logged(c.logged)) << c.name << ": " << (lines_.empty() ? "" : lines_.back());
    EXPECT_TRUE(Logged("the old list is kept")) << c.name;
    EXPECT_TRUE(installed_.empty());
    EXPECT_EQ(notices_.size(), c.notice ? 1u : 0u) << c.name;
    EXPECT_TRUE(check_->button_enabled());
    EXPECT_EQ(dir_.Entries().size(), 1u) << c.name;  // no temporary file left
  }
}

}  // namespace
}  // namespace mdl
