// The engine on a thread of its own with a running clock, reached only
// through posted commands and published snapshots, under a steady NTP load
// from a loopback client.
#include <gtest/gtest.h>
#include <poll.h>

#include <mutex>

#include "engine_fixture.h"

namespace mdl::testing {
namespace {

using Ms = std::chrono::milliseconds;

// What the engine's thread publishes, kept for the test thread.
class Recorder : public EngineListener {
 public:
  void OnSnapshot(const SnapshotPtr& s) override {
    std::lock_guard lock(mu_);
    snapshots_.push_back(s);
    lit_ |= s->indicators;
  }
  std::vector<SnapshotPtr> snapshots() const {
    std::lock_guard lock(mu_);
    return snapshots_;
  }
  uint8_t lit() const {
    std::lock_guard lock(mu_);
    return lit_;
  }

 private:
  mutable std::mutex mu_;
  std::vector<SnapshotPtr> snapshots_;
  uint8_t lit_ = 0;
};

// A non-blocking NTP client connected to the server's port that keeps
// `kInFlight` requests outstanding: one new request per reply.
class LoadClient {
 public:
  static constexpr int kInFlight = 64;

  explicit LoadClient(uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_in a = Loopback(port);
    ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    request_[0] = 0x23;
  }
  ~LoadClient() { ::close(fd_); }

  void Fill() {
    while (sent_ - received_ - lost_ < kInFlight) Send();
  }
  // Takes the replies that are in (waiting up to `wait` for one); with
  // `refill`, each is replaced by a new request.
  void Serve(Ms wait, bool refill) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0) {
      // Nothing for a long while: whatever is outstanding is taken as lost,
      // so that the load goes on.
      if (refill && std::chrono::steady_clock::now() - last_reply_ > Ms(500)) {
        lost_ = sent_ - received_;
        last_reply_ = std::chrono::steady_clock::now();
        Fill();
      }
      return;
    }
    std::array<uint8_t, 128> buf;
    ssize_t n;
    // At most one round of replies per call: with refills the stream of
    // replies need never run dry, and the caller has its own work.
    for (size_t taken = 0; taken < kInFlight && (n = ::recv(fd_, buf.data(), buf.size(), 0)) > 0; ++taken) {
      if (n != 48) continue;
      ++received_;
      last_reply_ = std::chrono::steady_clock::now();
      if (refill) Send();
    }
  }
  uint64_t sent() const { return sent_; }
  uint64_t received() const { return received_; }
  uint64_t lost() const { return lost_; }
  uint64_t outstanding() const { return sent_ - received_ - lost_; }

 private:
  void Send() {
    if (::send(fd_, request_.data(), request_.size(), 0) == 48) ++sent_;
  }
  int fd_ = -1;
  std::array<uint8_t, 48> request_{};
  uint64_t sent_ = 0, received_ = 0, lost_ = 0;
  std::chrono::steady_clock::time_point last_reply_ = std::chrono::steady_clock::now();
};

class EngineThreadTest : public EngineFixture {
 protected:
  void TearDown() override {
    engine_.reset();
    EngineFixture::TearDown();
  }
  void StartEngineThread() {
    registry_ = std::make_unique<Registry>(home_ / "registry.reg", [](const std::string&) {});
    EngineOptions o;
    o.home = home_;
    o.bind_address = boost::asio::ip::address_v4::loopback();
    o.sync_at_start = false;
    engine_ = std::make_unique<EngineHandle>(running_clock_, *registry_, o, &recorder_);
    engine_->StartThread();
  }
  // Waits (bounded) for a published snapshot that satisfies `ok`.
  template <typename P>
  SnapshotPtr AwaitSnapshot(P ok, Ms limit = Ms(3000)) {
    auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
      SnapshotPtr s = engine_->snapshot();
      if (s && ok(*s)) return s;
      if (std::chrono::steady_clock::now() >= end) return nullptr;
      std::this_thread::sleep_for(Ms(5));
    }
  }

  VirtualClock running_clock_;
  Recorder recorder_;
  std::unique_ptr<EngineHandle> engine_;
};

TEST_F(EngineThreadTest, ServesALoadWhilePostedCommandsRunAndSnapshotsStayCoalesced) {
  WriteSettings();
  StartEngineThread();
  ASSERT_TRUE(AwaitSnapshot([](const EngineSnapshot&) { return true; })) << "no snapshot after start-up";
  engine_->Post(cmd::MarkSynchronised{});
  ASSERT_TRUE(AwaitSnapshot([](const EngineSnapshot& s) { return s.time_synced; }));

  // About two seconds of load, 64 requests in flight, while the test thread
  // posts operator commands and reads the latest snapshot.
  const EngineCommand commands[] = {
      cmd::SetLogging{false},          cmd::ShowService{Service::kDaytime},   cmd::SetPaused{false},
      cmd::SetLogging{true},           cmd::ShowService{Service::kUnixTime},  cmd::SetRandom{true},
      cmd::ShowService{Service::kNtp}, cmd::SetPortText{Service::kTime, "37"}};
  LoadClient client(port(Service::kNtp));
  client.Fill();
  const auto start = std::chrono::steady_clock::now();
  auto next_command = start;
  size_t posted = 0;
  uint64_t last_sequence = 0, last_count = 0;
  bool snapshots_ordered = true;
  // At least 30 commands: on a loaded machine a round of the loop can take
  // longer than the 50 ms between them (bounded at 10 s all the same).
  for (auto elapsed = Ms(0);
       (elapsed < Ms(2000) || posted < 30) && elapsed < Ms(10000) && client.sent() < 5'000'000;
       elapsed = std::chrono::duration_cast<Ms>(std::chrono::steady_clock::now() - start)) {
    client.Serve(Ms(1), /*refill=*/true);
    auto now = std::chrono::steady_clock::now();
    if (now >= next_command) {
      engine_->Post(commands[posted++ % std::size(commands)]);
      next_command = now + Ms(50);
      SnapshotPtr s = engine_->snapshot();
      uint64_t count = s->counters.Get(Service::kNtp, Transport::kUdp);
      snapshots_ordered &= s->sequence >= last_sequence && count >= last_count;
      last_sequence = s->sequence;
      last_count = count;
    }
  }
  // The replies still on their way come in.
  for (auto end = std::chrono::steady_clock::now() + Ms(1000);
       client.outstanding() > 0 && std::chrono::steady_clock::now() < end;)
    client.Serve(Ms(5), /*refill=*/false);
  const uint64_t received = client.received();
  EXPECT_GT(received, 1000u) << "the engine answered too few requests";
  EXPECT_EQ(client.lost(), 0u) << "replies lost on loopback";
  EXPECT_GE(posted, 30u);
  EXPECT_TRUE(snapshots_ordered) << "a later snapshot showed an older state";

  // The last snapshot counts what was answered (within what was in flight).
  engine_->Post(cmd::SetLogging{true});
  engine_->Post(cmd::ShowService{Service::kNtp});
  SnapshotPtr last = AwaitSnapshot([&](const EngineSnapshot& s) {
    return s.counters.Get(Service::kNtp, Transport::kUdp) >= received && s.logging &&
           s.selected_service == Service::kNtp;
  });
  ASSERT_TRUE(last) << "no snapshot caught up with the replies and the last commands";
  uint64_t counted = last->counters.Get(Service::kNtp, Transport::kUdp);
  EXPECT_LE(counted, client.sent());
  EXPECT_LE(counted - received, static_cast<uint64_t>(LoadClient::kInFlight));
  EXPECT_EQ(last->services[Index(Service::kTime)].port_text, "37");
  EXPECT_FALSE(last->paused);

  // Snapshots were coalesced: in no second of the engine's clock more than
  // ten (one more for the slack of a second's edge), and none was skipped.
  auto published = recorder_.snapshots();
  ASSERT_FALSE(published.empty());
  for (size_t i = 0; i < published.size(); ++i) {
    EXPECT_EQ(published[i]->sequence, i + 1) << "the listener missed a snapshot";
    size_t in_window = 0;
    for (size_t j = i; j < published.size() && published[j]->taken_at - published[i]->taken_at < Ms(1000);
         ++j)
      ++in_window;
    EXPECT_LE(in_window, 11u) << "snapshots from sequence " << published[i]->sequence << " came too fast";
  }
  const double span =
      std::chrono::duration<double>(published.back()->taken_at - published.front()->taken_at).count();
  EXPECT_LE(static_cast<double>(published.size()), span * 10 + 2);
  EXPECT_GE(published.size(), 10u) << "a loaded engine publishes about ten snapshots a second";
  const uint8_t lit = recorder_.lit();
  EXPECT_TRUE(lit & Bit(Indicator::kUdpIn));
  EXPECT_TRUE(lit & Bit(Indicator::kDataIn));
  EXPECT_TRUE(lit & Bit(Indicator::kDataOut));

  // Stop returns, the last snapshot says so, and the port no longer answers.
  auto stop_started = std::chrono::steady_clock::now();
  engine_->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - stop_started, Ms(5000));
  SnapshotPtr final_snapshot = engine_->snapshot();
  ASSERT_TRUE(final_snapshot);
  EXPECT_TRUE(final_snapshot->shut_down);
  EXPECT_FALSE(final_snapshot->services[Index(Service::kNtp)].udp_open);
  EXPECT_TRUE(recorder_.snapshots().back()->shut_down);
  std::vector<uint8_t> request(48, 0);
  request[0] = 0x23;
  EXPECT_FALSE(UdpAsk(port(Service::kNtp), request, std::chrono::milliseconds(200)).has_value())
      << "answered after the shutdown";
  engine_->Stop();  // a second Stop is harmless
}

}  // namespace
}  // namespace mdl::testing
