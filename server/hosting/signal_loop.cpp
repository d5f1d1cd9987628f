// Service signals taken synchronously with sigwaitinfo/sigtimedwait.
#include "server/hosting/signal_loop.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace mdl::service {

namespace {

sigset_t ServiceSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2, SIGHUP}) sigaddset(&set, sig);
  return set;
}

// The next service signal, or 0 after `limit`.
int NextSignal(const sigset_t& set, std::chrono::milliseconds limit) {
  for (;;) {
    int sig;
    if (limit == std::chrono::milliseconds::max()) {
      sig = ::sigwaitinfo(&set, nullptr);
    } else {
      const auto secs = std::chrono::duration_cast<std::chrono::seconds>(limit);
      const timespec wait{static_cast<time_t>(secs.count()),
                          static_cast<long>(std::chrono::nanoseconds(limit - secs).count())};
      sig = ::sigtimedwait(&set, nullptr, &wait);
    }
    if (sig > 0) return sig;
    if (errno == EAGAIN) return 0;
    // EINTR: another signal's handler ran; wait on.
  }
}

}  // namespace

bool BlockServiceSignals() {
  const sigset_t set = ServiceSignals();
  return ::pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

int RunSignalLoop(const SignalHandlers& handlers, std::chrono::milliseconds give_up_after) {
  const sigset_t set = ServiceSignals();
  for (;;) {
    const int sig = NextSignal(set, give_up_after);
    switch (sig) {
      case 0:
        return 0;
      case SIGUSR1:
        if (handlers.pause) handlers.pause();
        break;
      case SIGUSR2:
        if (handlers.resume) handlers.resume();
        break;
      case SIGHUP:
        if (handlers.reload) handlers.reload();
        break;
      default:  // SIGTERM, SIGINT
        if (handlers.stop) handlers.stop(sig);
        return sig;
    }
  }
}

void RequestStop() { ::kill(::getpid(), SIGTERM); }

}  // namespace mdl::service
