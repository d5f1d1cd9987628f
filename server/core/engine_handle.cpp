// EngineHandle: the engine on its io_context, commands posted into it, the
// latest snapshot kept for readers on other threads.
#include "server/core/engine_handle.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <optional>

#include "server/core/server_engine.h"

namespace mdl {

struct EngineHandle::Impl : EngineListener {
  Impl(Clock& clock, Registry& registry, EngineOptions options, EngineListener* host)
      : host(host),
        heartbeat_timer(clock.MakeTimer(io)),
        engine(io, clock, registry, std::move(options), this) {
    engine.SetNtsKeysSink(
        [this](const std::shared_ptr<const nts::CookieKeySet>& keys) { nts_keys.store(keys); });
  }

  void OnSnapshot(const SnapshotPtr& s) override {
    latest.store(s);
    if (host) host->OnSnapshot(s);
  }
  void OnEvent(const EngineEvent& e) override {
    if (host) host->OnEvent(e);
  }

  void Execute(const EngineCommand& c) {
    engine.Execute(c);
    // After the shutdown nothing is left to run: the loop ends.
    if (engine.shut_down()) {
      heartbeat_timer->Cancel();
      work.reset();
      io.stop();
    }
  }

  void ArmHeartbeat() {
    if (!heartbeat || engine.shut_down()) return;
    heartbeat_timer->Start(heartbeat_period, [this] {
      if (engine.shut_down()) return;
      heartbeat();
      ArmHeartbeat();
    });
  }

  EngineListener* host;
  boost::asio::io_context io;
  // On the engine's clock: a host's real clock in production, the test's manual one in tests.
  std::unique_ptr<Timer> heartbeat_timer;
  std::chrono::milliseconds heartbeat_period{1000};
  std::function<void()> heartbeat;
  std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work{
      io.get_executor()};
  std::atomic<SnapshotPtr> latest;
  std::atomic<std::shared_ptr<const nts::CookieKeySet>> nts_keys;
  ServerEngine engine;
  bool started = false;
};

EngineHandle::EngineHandle(Clock& clock, Registry& registry, EngineOptions options, EngineListener* listener)
    : impl_(std::make_unique<Impl>(clock, registry, std::move(options), listener)) {}

EngineHandle::~EngineHandle() { Stop(); }

void EngineHandle::Post(EngineCommand command) {
  boost::asio::post(impl_->io, [impl = impl_.get(), c = std::move(command)] { impl->Execute(c); });
}

void EngineHandle::SetHeartbeat(std::chrono::milliseconds period, std::function<void()> beat) {
  if (impl_->started) return;
  impl_->heartbeat_period = period;
  impl_->heartbeat = std::move(beat);
}

void EngineHandle::StartHere() {
  if (impl_->started) return;
  impl_->started = true;
  impl_->engine.Start();
  impl_->ArmHeartbeat();
}

size_t EngineHandle::Poll() { return impl_->io.poll(); }

void EngineHandle::Run() {
  StartHere();
  impl_->io.run();
}

void EngineHandle::StartThread() {
  if (impl_->started) return;
  impl_->started = true;
  thread_ = std::thread([impl = impl_.get()] {
    impl->engine.Start();
    impl->ArmHeartbeat();
    impl->io.run();
  });
}

void EngineHandle::Stop() {
  if (!impl_) return;
  if (thread_.joinable()) {
    Post(cmd::Shutdown{});
    thread_.join();
    return;
  }
  // Driven on this thread: the shutdown runs here.
  if (impl_->started) impl_->Execute(cmd::Shutdown{});
}

SnapshotPtr EngineHandle::snapshot() const { return impl_->latest.load(); }

std::shared_ptr<const nts::CookieKeySet> EngineHandle::nts_cookie_keys() const {
  return impl_->nts_keys.load();
}

EngineFigures EngineHandle::Figures() const { return impl_->engine.Figures(); }

}  // namespace mdl
