// A server engine on loopback with a frozen virtual clock, and blocking
// socket clients that run beside the engine's loop.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/clock/virtual_clock.h"
#include "common/registry/registry.h"
#include "server/core/engine_handle.h"
#include "tests/support/loopback_ask.h"
#include "tests/support/ports.h"

namespace mdl::testing {

// Receive and send time-outs of a raw test socket.
inline void SetTimeouts(int fd, int ms) {
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// The engine behind its handle, driven on the test thread: commands run at
// once, and the frozen clock moves only when a test advances it (which fires
// the engine's timers: ticks, snapshots, time-outs of the upstream query).
class EngineFixture : public ::testing::Test, public EngineListener {
 protected:
  static constexpr int64_t kStartNs = 1'796'634'000'000'000'000;  // 2026-12-07 09:00:00 UTC

  void SetUp() override {
    home_ = std::filesystem::temp_directory_path() /
            ("mdl-engine-" + std::to_string(::getpid()) + "-" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(home_);
    for (auto& p : ports_) p = FreePort();
  }
  void TearDown() override {
    handle_.reset();
    registry_.reset();
    std::error_code ec;
    std::filesystem::remove_all(home_, ec);
  }

  uint16_t port(Service s) const { return ports_[static_cast<size_t>(s)]; }

  // Writes a settings store that puts every service on its free port, with
  // the given service values ("YES:YES:YES" style, without the port).
  void WriteSettings(const std::string& extra = "", const std::string& daytime = "YES:YES:YES",
                     const std::string& time = "YES:YES:YES", const std::string& ntp = "YES:YES:YES",
                     const std::string& unix_time = "YES:YES:YES", const std::string& mdl = "YES:YES:YES") {
    std::ofstream f(home_ / "registry.reg");
    f << "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Meridel Server]\n"
      << "\"Settings\"=\"NO:59:Minute/s:NA:36\"\n"
      << "\"MDLServer\"=\"testhost\"\n"
      << "\"EnableLogging\"=\"YES\"\n"
      << "\"NTP37\"=\"" << time << ":" << port(Service::kTime) << "\"\n"
      << "\"SNTP123\"=\"" << ntp << ":" << port(Service::kNtp) << "\"\n"
      << "\"UNIX519\"=\"" << unix_time << ":" << port(Service::kUnixTime) << "\"\n"
      << "\"MDL3777\"=\"" << mdl << ":" << port(Service::kPrivate) << "\"\n"
      << "\"DTS13\"=\"" << daytime << ":" << port(Service::kDaytime) << "\"\n"
      << "\"UseJulian\"=\"YES\"\n"
      << "\"UpdateHost\"=\"" << update_host_ << "\"\n";
    // Values a fixture pins unless the test sets them itself.
    for (const auto& [name, value] : pinned_)
      if (extra.find("\"" + name + "\"") == std::string::npos)
        f << "\"" << name << "\"=\"" << value << "\"\n";
    f << extra;
  }

  void StartEngine() {
    registry_ = std::make_unique<Registry>(home_ / "registry.reg",
                                           [this](const std::string& m) { registry_messages_.push_back(m); });
    EngineOptions o;
    o.home = home_;
    o.bind_address = boost::asio::ip::address_v4::loopback();
    o.sync_at_start = sync_at_start_;
    o.run_value_data = run_value_data_;
    o.tcp_idle_timeout = std::chrono::milliseconds(idle_ms_);
    o.min_upstream_query_gap = query_gap_;
    o.make_port = make_port_;
    o.nts_key_exchange = nts_key_exchange_;
    handle_ = std::make_unique<EngineHandle>(engine_clock_ ? *engine_clock_ : clock_, *registry_, o, this);
    handle_->StartHere();
  }

  // Runs a command now.
  void Do(EngineCommand c) {
    handle_->Post(std::move(c));
    handle_->Poll();
  }
  void MarkSynced() { Do(cmd::MarkSynchronised{}); }

  // The snapshot once everything that is ready has run and the pending
  // snapshot is out (the clock moves by one snapshot period).
  SnapshotPtr Snap() {
    handle_->Poll();
    clock_.advance(std::chrono::milliseconds(100));
    handle_->Poll();
    return handle_->snapshot();
  }
  const ServiceView& View(Service s) {
    last_ = Snap();
    return last_->services[static_cast<size_t>(s)];
  }
  uint64_t Count(Service s, Transport t) { return Snap()->counters.Get(s, t); }
  // What no display shows, once everything that is ready has run.
  EngineFigures Figures() {
    handle_->Poll();
    return handle_->Figures();
  }
  const EngineFigures::Sockets& Sockets(Service s) {
    figures_ = Figures();
    return figures_.sockets[Index(s)];
  }

  // Steps the clock by `d` in `step`s, letting the engine's I/O run between them.
  void Advance(std::chrono::nanoseconds d, std::chrono::nanoseconds step = std::chrono::milliseconds(100)) {
    for (std::chrono::nanoseconds done{0}; done < d; done += step) {
      clock_.advance(std::min(step, d - done));
      handle_->Poll();
    }
  }

  // Runs the engine's I/O (not its clock) while `f` runs on another thread.
  template <typename F>
  auto WithLoop(F f) -> decltype(f()) {
    auto fut = std::async(std::launch::async, f);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (fut.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready &&
           std::chrono::steady_clock::now() < deadline) {
      if (handle_->Poll() == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return fut.get();
  }
  // Lets the engine's I/O run for a while of real time (connections closing, kernel queues).
  void RunFor(std::chrono::milliseconds d) {
    auto end = std::chrono::steady_clock::now() + d;
    while (std::chrono::steady_clock::now() < end) {
      if (handle_->Poll() == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }

  // Lets the engine's I/O take what test peers sent or closed (the clock stays).
  void Settle() { RunFor(std::chrono::milliseconds(30)); }
  // Whether the engine has closed the test's connection `fd` (end of stream),
  // once its I/O ran; the clock stays.
  bool EngineClosed(int fd) {
    Settle();
    uint8_t b;
    return ::recv(fd, &b, 1, MSG_DONTWAIT) == 0;
  }

  // Lets the engine's I/O run (not its clock) until `done()` holds or `limit` of real time passes.
  template <typename P>
  bool PollUntil(P done, std::chrono::milliseconds limit = std::chrono::milliseconds(3000)) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() >= end) return false;
      if (handle_->Poll() == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
  }
  // Whether a diagnostic line containing `part` was reported.
  bool Diagnosed(std::string_view part) const {
    for (const std::string& d : diagnostics_)
      if (d.find(part) != std::string::npos) return true;
    return false;
  }

  std::string ReadFile(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }

  void OnEvent(const EngineEvent& e) override {
    if (auto* d = std::get_if<DiagnosticEvent>(&e)) {
      diagnostics_.push_back(d->line);
      if (d->warning) warnings_.push_back(d->line);
    }
    if (auto* r = std::get_if<SyncReport>(&e); r && r->warning) warnings_.push_back(r->message);
    if (auto* r = std::get_if<SyncReport>(&e)) sync_reports_.push_back(r->message);
  }
  void OnSnapshot(const SnapshotPtr& s) override {
    ++snapshots_;
    lit_ |= s->indicators;
  }

  std::filesystem::path home_;
  std::array<uint16_t, kServiceCount> ports_{};
  VirtualClock clock_{UtcFromNs(kStartNs)};
  Clock* engine_clock_ = nullptr;      // the engine's clock when not clock_ (one over it)
  std::vector<std::string> warnings_;  // diagnostics and sync reports at warning priority
  std::unique_ptr<Registry> registry_;
  std::unique_ptr<EngineHandle> handle_;
  std::string run_value_data_;  // EngineOptions::run_value_data
  SnapshotPtr last_;
  EngineFigures figures_;
  std::vector<std::string> diagnostics_;
  std::vector<std::string> sync_reports_;
  std::vector<std::string> registry_messages_;
  int snapshots_ = 0;
  uint8_t lit_ = 0;
  int idle_ms_ = 30000;
  bool sync_at_start_ = false;
  std::chrono::milliseconds query_gap_{16000};
  // The engine's UDP ports; empty: real sockets on loopback.
  net::PortMaker make_port_;
  // The key exchange with NTS upstreams; empty: the real one.
  NtsKeRunner nts_key_exchange_;
  // Without a list file the engine starts the update check: on loopback, refused at once.
  std::string update_host_ = "127.0.0.1:9";
  std::vector<std::pair<std::string, std::string>> pinned_;
};

}  // namespace mdl::testing
