// One instance per program folder: an exclusive flock on a lock file, held
// for the life of the object and freed when it closes (or the process ends).
// The holder writes its process id into the file; SignalInstance() finds it
// there.
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

struct SignalResult {
  enum class Outcome {
    kSent,        // the signal went to the process holding the lock
    kNotRunning,  // no process holds the lock file
    kFailed,      // see detail
  };
  Outcome outcome = Outcome::kFailed;
  int pid = 0;
  std::string detail;
};

// Sends `signal` to the running instance that holds `lock_file`: the process
// named in the file, and only while it has that very file open.
SignalResult SignalInstance(const std::filesystem::path& lock_file, int signal);

}  // namespace mdl::service
