// The single-instance lock over the system's calls (instance_lock_system*.cpp).
#include "server/hosting/instance_lock.h"

#include <utility>

#include "server/hosting/instance_lock_system.h"

namespace mdl::service {

InstanceLock InstanceLock::TryAcquire(const std::filesystem::path& lock_file) {
  std::string error;
  const int fd = lock_system::Open(lock_file, &error);
  if (fd < 0) return InstanceLock(-1, State::kFailed, error);
  switch (lock_system::TryLock(fd, &error)) {
    case lock_system::Try::kHeld:
      // The holder's process id, for a second invocation that signals it (-pause, -continue).
      lock_system::WriteHolder(fd);
      return InstanceLock(fd, State::kHeld, "");
    case lock_system::Try::kBusy:
      lock_system::Close(fd);
      return InstanceLock(-1, State::kHeldElsewhere, lock_file.string() + " is held by another instance");
    case lock_system::Try::kFailed:
      break;
  }
  lock_system::Close(fd);
  return InstanceLock(-1, State::kFailed, "cannot lock " + lock_file.string() + ": " + error);
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
  if (fd_ >= 0) lock_system::Close(fd_);
  fd_ = -1;
  if (state_ == State::kHeld) state_ = State::kReleased;
}

}  // namespace mdl::service
