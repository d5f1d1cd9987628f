// The update check inside the engine: a missing list fetched at start and
// synchronised from at once, the button's commands and answers, the state in
// the snapshot, and shutdown or time-out in the middle of a check.
#include <gtest/gtest.h>

#include "engine_fixture.h"
#include "tests/support/temp_dir.h"
#include "tests/update/http_peer.h"

namespace mdl::testing {
namespace {

// A UDP socket standing in for the upstream: it only notes the queries.
class QuerySink {
 public:
  QuerySink() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_in a = Loopback(0);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~QuerySink() { ::close(fd_); }
  uint16_t port() const { return port_; }
  bool GotQuery() {
    char buf[512];
    return ::recv(fd_, buf, sizeof buf, 0) == 48;
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

std::string ListNaming(uint16_t port) {
  return "list\n2\n3\n4\n5\n127.0.0.1:" + std::to_string(port) + ":::Local chronyd - NA:::2:::x\n";
}

std::string VersionFile(const std::string& version, size_t list_size) {
  return "MDL-:-" + version + "-:-a-:-b-:-" + std::to_string(list_size) + "-:-c";
}

HttpPeer::Handler Serve(std::string version_file, std::string list) {
  return [version_file, list](const std::string& request) -> PeerReply {
    if (request.rfind("GET /Meridel/MDLVCS4.IPF ", 0) == 0) return Ok(version_file);
    return Ok(list);
  };
}

class UpdateEngineTest : public EngineFixture {
 protected:
  void StartWith(const std::string& update_host, bool window, const std::string& extra = "") {
    update_host_ = update_host;
    WriteSettings(extra);
    registry_ = std::make_unique<Registry>(home_ / "registry.reg", [](const std::string&) {});
    EngineOptions o;
    o.home = home_;
    o.bind_address = boost::asio::ip::address_v4::loopback();
    o.sync_at_start = false;
    o.service_build = !window;
    handle_ = std::make_unique<EngineHandle>(clock_, *registry_, o, this);
    handle_->StartHere();
  }
  void OnEvent(const EngineEvent& e) override {
    EngineFixture::OnEvent(e);
    if (auto* q = std::get_if<UpdateQuestion>(&e)) questions_.push_back(*q);
    if (auto* n = std::get_if<UpdateNotice>(&e)) notices_.push_back(*n);
  }
  std::filesystem::path List() const { return home_ / "QOR_MDLS4.MDL"; }

  std::vector<UpdateQuestion> questions_;
  std::vector<UpdateNotice> notices_;
};

TEST_F(UpdateEngineTest, MissingListIsFetchedAtStartReadAndSynchronisedFrom) {
  QuerySink upstream;
  const std::string list = ListNaming(upstream.port());
  HttpPeer peer(Serve(VersionFile("5.1.10", list.size()), list));
  StartWith(peer.host(), /*window=*/false);
  ASSERT_TRUE(PollUntil([&] { return upstream.GotQuery(); })) << "no upstream query after the download";
  EXPECT_EQ(ReadFile(List()), list);
  auto s = Snap();
  ASSERT_EQ(s->servers.size(), 1u);
  EXPECT_EQ(s->servers[0].display_text, "Local chronyd - NA");
  EXPECT_TRUE(s->update_button_enabled);
  EXPECT_FALSE(Figures().update_running);
  EXPECT_EQ(Figures().update_status, "Server list updated: 1 servers.");
  // Without a window nothing is asked; the notice is a line.
  EXPECT_TRUE(questions_.empty());
  EXPECT_TRUE(notices_.empty());
  EXPECT_TRUE(Diagnosed("Meridel Server Updater No Updates Available."));
  EXPECT_TRUE(Diagnosed("server list downloaded from " + peer.host() + " (1 servers)"));
}

TEST_F(UpdateEngineTest, ButtonStartsTheCheckAndTheAnswerDecides) {
  QuerySink upstream;
  const std::string list = ListNaming(upstream.port());
  WriteFile(List(), "old\n2\n3\n4\n5\nold.example:::Old - NA:::2:::x\n");
  HttpPeer peer(Serve(VersionFile("5.1.10", list.size()), list));
  StartWith(peer.host(), /*window=*/true);
  EXPECT_TRUE(peer.requests().empty());  // a list is there: no check at start
  EXPECT_TRUE(Snap()->update_button_enabled);
  for (bool yes : {false, true}) {
    questions_.clear();
    Do(cmd::CheckForUpdates{});
    auto s = Snap();
    EXPECT_FALSE(s->update_button_enabled);
    EXPECT_TRUE(Figures().update_running);
    Do(cmd::CheckForUpdates{});  // pressed again meanwhile: still one check
    ASSERT_TRUE(PollUntil([&] { return !questions_.empty(); }));
    EXPECT_EQ(questions_[0].title, "Meridel Update Available!");
    EXPECT_FALSE(Snap()->update_button_enabled);
    Do(cmd::AnswerUpdate{questions_[0].id, yes});
    ASSERT_TRUE(PollUntil([&] { return Snap()->update_button_enabled; }));
    EXPECT_EQ(Snap()->servers[0].display_text, yes ? "Local chronyd - NA" : "Old - NA");
  }
  EXPECT_TRUE(PollUntil([&] { return upstream.GotQuery(); })) << "no synchronisation after the new list";
  EXPECT_EQ(peer.requests().size(), 3u);  // version, version, list
  EXPECT_TRUE(notices_.empty());          // something was offered each time
}

TEST_F(UpdateEngineTest, StalledCheckEndsAtTheTimeOutAndShutdownEndsItQuietly) {
  HttpPeer peer([](const std::string&) { return PeerReply{{}, /*stall=*/true}; });
  WriteFile(List(), "old\n2\n3\n4\n5\nold.example:::Old - NA:::2:::x\n");
  StartWith(peer.host(), /*window=*/true);
  Do(cmd::CheckForUpdates{});
  ASSERT_TRUE(PollUntil([&] { return !peer.requests().empty(); }));
  Advance(std::chrono::seconds(29), std::chrono::seconds(1));
  EXPECT_FALSE(Snap()->update_button_enabled);
  Advance(std::chrono::seconds(2), std::chrono::seconds(1));
  auto s = Snap();
  EXPECT_TRUE(s->update_button_enabled);
  const std::string status = Figures().update_status;
  EXPECT_NE(status.find("within 30 s"), std::string::npos) << status;
  // A second check, ended by the shutdown.
  Do(cmd::CheckForUpdates{});
  ASSERT_TRUE(PollUntil([&] { return peer.requests().size() == 2; }));
  Do(cmd::Shutdown{});
  EXPECT_TRUE(handle_->snapshot()->shut_down);
}

}  // namespace
}  // namespace mdl::testing
