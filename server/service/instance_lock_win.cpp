// Single-instance lock on Windows: LockFileEx on the lock file, held while
// the handle is open (and dropped by the system when the process ends).
#include "server/service/instance_lock.h"

#include <windows.h>

#include <string>
#include <utility>

namespace mdl::service {
namespace {

HANDLE AsHandle(int fd) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd)); }

HANDLE OpenLockFile(const std::filesystem::path& lock_file, DWORD disposition) {
  return CreateFileW(lock_file.wstring().c_str(), GENERIC_READ | GENERIC_WRITE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition,
                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

bool TryLock(HANDLE h) {
  OVERLAPPED at{};
  return LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != 0;
}

std::string WinError(DWORD error) { return "Windows error " + std::to_string(error); }

}  // namespace

InstanceLock InstanceLock::TryAcquire(const std::filesystem::path& lock_file) {
  const HANDLE h = OpenLockFile(lock_file, OPEN_ALWAYS);
  if (h == INVALID_HANDLE_VALUE) {
    return InstanceLock(-1, State::kFailed,
                        "cannot open " + lock_file.string() + ": " + WinError(GetLastError()));
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    CloseHandle(h);
    return InstanceLock(-1, State::kFailed,
                        "refused the lock file " + lock_file.string() + ": it is not a plain file");
  }
  // A second name may be someone else's file, which the process id would overwrite.
  if (info.nNumberOfLinks != 1) {
    CloseHandle(h);
    return InstanceLock(
        -1, State::kFailed,
        "refused the lock file " + lock_file.string() + ": it is a file with a second hard link");
  }
  if (TryLock(h)) {
    // The holder's process id, as on Linux (the lock does not keep the
    // holder's own writes out).
    const std::string pid = std::to_string(GetCurrentProcessId()) + "\n";
    DWORD written = 0;
    SetFilePointer(h, 0, nullptr, FILE_BEGIN);
    SetEndOfFile(h);
    WriteFile(h, pid.data(), static_cast<DWORD>(pid.size()), &written, nullptr);
    // Handles fit in 32 bits (they are shared with 32-bit processes).
    return InstanceLock(static_cast<int>(reinterpret_cast<intptr_t>(h)), State::kHeld, "");
  }
  const DWORD error = GetLastError();
  CloseHandle(h);
  if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) {
    return InstanceLock(-1, State::kHeldElsewhere, lock_file.string() + " is held by another instance");
  }
  return InstanceLock(-1, State::kFailed, "cannot lock " + lock_file.string() + ": " + WinError(error));
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
  if (fd_ >= 0) CloseHandle(AsHandle(fd_));  // closing the handle drops the lock
  fd_ = -1;
  if (state_ == State::kHeld) state_ = State::kReleased;
}

// Windows has no signals: -pause and -continue go through the service
// manager (service_setup_win.cpp). This only tells whether an instance runs.
SignalResult SignalInstance(const std::filesystem::path& lock_file, int signal) {
  (void)signal;
  SignalResult r;
  const HANDLE h = OpenLockFile(lock_file, OPEN_EXISTING);
  if (h == INVALID_HANDLE_VALUE) {
    r.outcome = SignalResult::Outcome::kNotRunning;
    r.detail = "no instance runs in this folder (" + lock_file.string() + " is missing)";
    return r;
  }
  const bool free = TryLock(h);
  CloseHandle(h);
  if (free) {
    r.outcome = SignalResult::Outcome::kNotRunning;
    r.detail = "no instance runs in this folder";
  } else {
    r.detail = "an instance runs in this folder, but Windows has no signals: use the service manager";
  }
  return r;
}

}  // namespace mdl::service
