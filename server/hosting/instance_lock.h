// One instance per program folder: an exclusive flock on a lock file, held
// for the life of the object and freed when it closes (or the process ends).
// The lock file is opened like every file of the program folder (no link, a
// plain file of ours with one name). The holder writes its process id into it;
// SignalInstance() signals that process only while the kernel lists it as the
// lock's holder.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

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
// named in the file, and only while it holds the lock on that very file.
SignalResult SignalInstance(const std::filesystem::path& lock_file, int signal);

#ifndef _WIN32
// The process holding an exclusive flock on the file (device major:minor,
// inode) according to the text of /proc/locks; 0 when none does.
int ExclusiveFlockHolder(std::string_view proc_locks, unsigned dev_major, unsigned dev_minor, uint64_t ino);
#endif

}  // namespace mdl::service
