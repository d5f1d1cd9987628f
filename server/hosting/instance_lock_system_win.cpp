// The single-instance lock's system side on Windows: LockFileEx on the lock
// file, held while the handle is open (and dropped by the system when the
// process ends).
#include "server/hosting/instance_lock_system.h"

#include <windows.h>

#include <string>

#include "server/hosting/instance_lock.h"

namespace mdl::service {
namespace {

HANDLE AsHandle(int fd) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd)); }

HANDLE OpenLockFile(const std::filesystem::path& lock_file, DWORD disposition) {
  return CreateFileW(lock_file.wstring().c_str(), GENERIC_READ | GENERIC_WRITE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition,
                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

bool Lock(HANDLE h) {
  OVERLAPPED at{};
  return LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != 0;
}

std::string WinError(DWORD error) { return "Windows error " + std::to_string(error); }

}  // namespace

namespace lock_system {

int Open(const std::filesystem::path& lock_file, std::string* error) {
  const HANDLE h = OpenLockFile(lock_file, OPEN_ALWAYS);
  if (h == INVALID_HANDLE_VALUE) {
    *error = "cannot open " + lock_file.string() + ": " + WinError(GetLastError());
    return -1;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    CloseHandle(h);
    *error = "refused the lock file " + lock_file.string() + ": it is not a plain file";
    return -1;
  }
  // A second name may be someone else's file, which the process id would overwrite.
  if (info.nNumberOfLinks != 1) {
    CloseHandle(h);
    *error = "refused the lock file " + lock_file.string() + ": it is a file with a second hard link";
    return -1;
  }
  // Handles fit in 32 bits (they are shared with 32-bit processes).
  return static_cast<int>(reinterpret_cast<intptr_t>(h));
}

Try TryLock(int fd, std::string* error) {
  if (Lock(AsHandle(fd))) return Try::kHeld;
  const DWORD e = GetLastError();
  if (e == ERROR_LOCK_VIOLATION || e == ERROR_IO_PENDING) return Try::kBusy;
  *error = WinError(e);
  return Try::kFailed;
}

// As on Linux (the lock does not keep the holder's own writes out).
void WriteHolder(int fd) {
  const HANDLE h = AsHandle(fd);
  const std::string pid = std::to_string(GetCurrentProcessId()) + "\n";
  DWORD written = 0;
  SetFilePointer(h, 0, nullptr, FILE_BEGIN);
  SetEndOfFile(h);
  WriteFile(h, pid.data(), static_cast<DWORD>(pid.size()), &written, nullptr);
}

void Close(int fd) { CloseHandle(AsHandle(fd)); }  // closing the handle drops the lock

}  // namespace lock_system

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
  const bool free = Lock(h);
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
