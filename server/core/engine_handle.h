// The server engine as its hosts see it: commands in (Post, from any
// thread), snapshots and events out (through the EngineListener, on the
// engine's thread, and the latest snapshot readable from any thread).
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "common/clock/clock.h"
#include "common/nts/cookie.h"
#include "common/registry/registry.h"
#include "server/core/engine_commands.h"
#include "server/core/engine_figures.h"
#include "server/core/engine_options.h"
#include "server/core/engine_snapshot.h"

namespace mdl {

class EngineHandle {
 public:
  EngineHandle(Clock& clock, Registry& registry, EngineOptions options, EngineListener* listener = nullptr);
  ~EngineHandle();  // Stop()
  EngineHandle(const EngineHandle&) = delete;
  EngineHandle& operator=(const EngineHandle&) = delete;

  // Queues a command for the engine's thread; safe from any thread.
  void Post(EngineCommand command);

  // Before the start: `beat` runs on the engine's thread every `period` for
  // as long as its loop runs, paused or not (a watchdog's sign of life).
  void SetHeartbeat(std::chrono::milliseconds period, std::function<void()> beat);

  // Runs start-up, then the engine on a thread of its own.
  void StartThread();
  // Runs start-up, then the engine on the calling thread until the shutdown.
  void Run();
  // Runs start-up on the calling thread; Poll() then runs what is ready
  // (tests, with a frozen clock whose advance() fires the engine's timers).
  void StartHere();
  size_t Poll();

  // The shutdown, waited for: from any thread but the engine's. Safe to call twice.
  void Stop();

  // The latest published snapshot (null before start-up).
  SnapshotPtr snapshot() const;
  // The cookie keys of authenticated NTP, newest first (null while NTS is
  // off); safe from any thread, as snapshot().
  std::shared_ptr<const nts::CookieKeySet> nts_cookie_keys() const;

  // For tests: figures no display shows, read at once. Only on the thread
  // that runs the engine (after StartHere, between Polls).
  EngineFigures Figures() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::thread thread_;
};

}  // namespace mdl
