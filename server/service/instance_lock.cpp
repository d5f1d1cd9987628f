// Single-instance lock on flock(2).
#include "server/service/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
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
  if (rc == 0) return InstanceLock(fd, State::kHeld, "");
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

}  // namespace mdl::service
