// Single-instance lock on flock(2).
#include "server/service/instance_lock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

namespace mdl::service {

InstanceLock InstanceLock::TryAcquire(const std::filesystem::path& lock_file) {
  const int fd = ::open(lock_file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0)
    return InstanceLock(-1, State::kFailed,
                        "cannot open " + lock_file.string() + ": " + std::strerror(errno));
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) {
    // The holder's process id, for a second invocation that signals it (-pause, -continue).
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
      // The lock holds all the same; only signalling by folder is lost.
    }
    return InstanceLock(fd, State::kHeld, "");
  }
  const int err = errno;
  ::close(fd);
  if (err == EWOULDBLOCK)
    return InstanceLock(-1, State::kHeldElsewhere, lock_file.string() + " is held by another instance");
  return InstanceLock(-1, State::kFailed, "cannot lock " + lock_file.string() + ": " + std::strerror(err));
}

InstanceLock::InstanceLock(InstanceLock&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      state_(std::exchange(other.state_, State::kReleased)),
      error_(std::move(other.error_)) {}

InstanceLock& InstanceLock::operator=(InstanceLock&& other) noexcept {
  if (this != &other) {
    Release();
    fd_ = std::exchange(other.fd_, -1);
    state_ = std::exchange(other.state_, State::kReleased);
    error_ = std::move(other.error_);
  }
  return *this;
}

InstanceLock::~InstanceLock() { Release(); }

void InstanceLock::Release() {
  if (fd_ >= 0) ::close(fd_);  // closing the descriptor drops the flock
  fd_ = -1;
  if (state_ == State::kHeld) state_ = State::kReleased;
}

SignalResult SignalInstance(const std::filesystem::path& lock_file, int signal) {
  SignalResult r;
  const int fd = ::open(lock_file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) {
      r.outcome = SignalResult::Outcome::kNotRunning;
      r.detail = "no instance runs in this folder (" + lock_file.string() + " is missing)";
    } else {
      r.detail = "cannot read " + lock_file.string() + ": " + std::strerror(errno);
    }
    return r;
  }
  struct stat lock_stat {};
  char buf[32] = {};
  const bool stat_ok = ::fstat(fd, &lock_stat) == 0;
  const ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
  ::close(fd);
  long pid = 0;
  if (stat_ok && n > 0) {
    char* end = nullptr;
    pid = std::strtol(buf, &end, 10);
    if (end == buf || (*end != '\n' && *end != '\0')) pid = 0;
  }
  r.outcome = SignalResult::Outcome::kNotRunning;
  r.detail = "no instance runs in this folder";
  if (pid <= 0 || pid > INT32_MAX) return r;
  // The process must hold the lock file open: a stale or planted number names another process.
  std::error_code ec;
  const std::filesystem::path fds = "/proc/" + std::to_string(pid) + "/fd";
  bool holds = false;
  for (auto it = std::filesystem::directory_iterator(fds, ec); !ec && it != std::filesystem::directory_iterator();
       it.increment(ec)) {
    struct stat st {};
    if (::stat(it->path().c_str(), &st) == 0 && st.st_dev == lock_stat.st_dev && st.st_ino == lock_stat.st_ino) {
      holds = true;
      break;
    }
  }
  if (!holds) return r;
  r.pid = static_cast<int>(pid);
  if (::kill(static_cast<pid_t>(pid), signal) != 0) {
    r.outcome = SignalResult::Outcome::kFailed;
    r.detail = "cannot signal process " + std::to_string(pid) + ": " + std::strerror(errno);
    return r;
  }
  r.outcome = SignalResult::Outcome::kSent;
  r.detail = "process " + std::to_string(pid);
  return r;
}

}  // namespace mdl::service
