// One instance per program folder: an exclusive flock on a lock file, held
// for the life of the object and freed when it closes (or the process ends).
#pragma once

#include <filesystem>
#include <string>

namespace mdl::service {

class InstanceLock {
 public:
  enum class State {
    kHeld,           // this object holds the lock
    kHeldElsewhere,  // another instance holds it
    kFailed,         // the lock file could not be opened or locked; see error()
    kReleased,       // was held, freed by Release()
  };

  // Takes the lock on `lock_file` (created when missing) without waiting.
  static InstanceLock TryAcquire(const std::filesystem::path& lock_file);

  InstanceLock(InstanceLock&& other) noexcept;
  InstanceLock& operator=(InstanceLock&& other) noexcept;
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;
  ~InstanceLock();

  State state() const { return state_; }
  bool held() const { return state_ == State::kHeld; }
  const std::string& error() const { return error_; }
  // Frees the lock now; afterwards held() is false.
  void Release();

 private:
  InstanceLock(int fd, State state, std::string error) : fd_(fd), state_(state), error_(std::move(error)) {}
  int fd_ = -1;
  State state_ = State::kFailed;
  std::string error_;
};

}  // namespace mdl::service
