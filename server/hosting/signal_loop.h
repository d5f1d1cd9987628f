// The service host's signals, taken on the main thread while the engine runs
// on its own: SIGTERM and SIGINT stop, SIGUSR1 pauses, SIGUSR2 continues,
// SIGHUP re-reads the settings.
//
// Use:
//   int main() {
//     mdl::service::BlockServiceSignals();   // first, before any thread exists
//     std::thread engine_thread([&] { io.run(); });
//     int sig = mdl::service::RunSignalLoop({
//         .stop = [&](int) { post(io, [&] { engine.Shutdown(); io.stop(); }); },
//         .pause = [&] { post(io, [&] { engine.SetPaused(true); }); },
//         .resume = [&] { post(io, [&] { engine.SetPaused(false); }); }});
//     engine_thread.join();
//   }
//
// The signals must be blocked before the first thread is created: a thread
// inherits its creator's mask, and a process-directed signal goes to any
// thread that does not block it, where its default action ends the process.
// Once every thread blocks them, they stay pending until the loop takes them.
// The callbacks run on the loop's thread; hand work to the engine from there
// (e.g. asio::post). An engine that ends by itself (a run-once client) calls
// RequestStop() from its thread to end the loop.
#pragma once

#include <chrono>
#include <functional>

namespace mdl::service {

struct SignalHandlers {
  std::function<void(int signal)> stop;  // SIGTERM or SIGINT; the loop returns after it
  std::function<void()> pause;           // SIGUSR1
  std::function<void()> resume;          // SIGUSR2
  std::function<void()> reload;          // SIGHUP (without one, SIGHUP is ignored)
};

// Blocks SIGTERM, SIGINT, SIGUSR1, SIGUSR2 and SIGHUP in the calling thread (and the
// threads it creates later). False when the mask could not be set.
bool BlockServiceSignals();

// Takes the blocked signals one at a time and calls the matching callback
// (empty ones are skipped) until a stop signal, whose number it returns; 0
// when no signal came for `give_up_after`. Signals pending together come
// lowest number first, and one kind pending twice counts once.
int RunSignalLoop(const SignalHandlers& handlers,
                  std::chrono::milliseconds give_up_after = std::chrono::milliseconds::max());

// Sends SIGTERM to this process (never only to the calling thread), so that
// RunSignalLoop stops whichever thread calls this.
void RequestStop();

}  // namespace mdl::service
