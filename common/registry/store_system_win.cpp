// The store's system side on Windows: the temporary file is flushed
// (FlushFileBuffers) and moved over the store with MoveFileExW (replace,
// write-through); the writers' lock is LockFileEx on the lock file.
#include "common/registry/store_system.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>

#include "common/clock/secure_random.h"

namespace mdl::store_system {
namespace {

HANDLE AsHandle(intptr_t h) { return reinterpret_cast<HANDLE>(h); }

bool IsReparsePoint(const std::filesystem::path& path) {
  const DWORD attributes = GetFileAttributesW(path.wstring().c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

}  // namespace

std::string Describe(const char* what, const std::filesystem::path& path) {
  const DWORD error = GetLastError();
  return std::string(what) + " " + path.string() + ": Windows error " + std::to_string(error);
}

// MoveFileExW would replace the link's target's name entry, not the link's.
std::string RefuseToReplace(const std::filesystem::path& file) {
  if (IsReparsePoint(file)) return "refused " + file.string() + ": a reparse point (link)";
  return "";
}

TempFile::~TempFile() { Close(); }

std::string TempFile::Create(const std::filesystem::path& folder, const std::string& prefix) {
  HANDLE h = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 16 && h == INVALID_HANDLE_VALUE; ++attempt) {
    uint8_t random[6];
    if (!FillSecureRandom(random)) return "cannot create a temporary file in " + folder.string();
    std::string suffix;
    for (uint8_t b : random) suffix += "0123456789abcdefghijklmnopqrstuv"[b & 31];
    path_ = folder / (prefix + suffix);
    h = CreateFileW(path_.wstring().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                    nullptr);
    if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (h == INVALID_HANDLE_VALUE) return Describe("cannot create a temporary file in", folder);
  handle_ = reinterpret_cast<intptr_t>(h);
  return "";
}

// The folder's access list decides who may read the store.
std::string TempFile::TakeModeOf(const std::filesystem::path&) { return ""; }

std::string TempFile::Write(std::string_view bytes) {
  while (!bytes.empty()) {
    DWORD done = 0;
    const DWORD n = static_cast<DWORD>(std::min<size_t>(bytes.size(), 1 << 20));
    if (!WriteFile(AsHandle(handle_), bytes.data(), n, &done, nullptr) || done == 0) {
      return Describe("cannot write", path_);
    }
    bytes.remove_prefix(done);
  }
  return "";
}

std::string TempFile::Flush() {
  if (!FlushFileBuffers(AsHandle(handle_))) return Describe("cannot flush", path_);
  return "";
}

std::string TempFile::Close() {
  if (handle_ == -1) return "";
  CloseHandle(AsHandle(handle_));
  handle_ = -1;
  return "";
}

std::string Replace(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (!MoveFileExW(from.wstring().c_str(), to.wstring().c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return Describe("cannot replace", to);
  }
  return "";
}

// MOVEFILE_WRITE_THROUGH returned only once the move was on disk.
std::string FlushFolder(const std::filesystem::path&) { return ""; }

void Remove(const std::filesystem::path& file) { DeleteFileW(file.wstring().c_str()); }

Move MoveUnlessTaken(const std::filesystem::path& from, const std::filesystem::path& to) {
  // Without MOVEFILE_REPLACE_EXISTING a name that is taken stays as it is.
  if (MoveFileExW(from.wstring().c_str(), to.wstring().c_str(), MOVEFILE_WRITE_THROUGH)) return Move::kMoved;
  const DWORD error = GetLastError();
  if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) return Move::kTaken;
  SetLastError(error);  // for Describe
  return Move::kFailed;
}

std::tm UtcOf(std::time_t t) {
  std::tm utc{};
  ::gmtime_s(&utc, &t);
  return utc;
}

int OpenLockFile(const std::filesystem::path& path, std::string* error) {
  const HANDLE h = CreateFileW(path.wstring().c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *error = Describe("cannot open", path);
    return -1;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    *error = "refused " + path.string() + ": not a plain file";
    CloseHandle(h);
    return -1;
  }
  // The handle's value as the descriptor: only ever compared and closed here.
  return static_cast<int>(reinterpret_cast<intptr_t>(h));
}

// Any failure is taken as another holder: tried again until the wait ends.
Lock TryLock(int fd) {
  OVERLAPPED at{};
  const HANDLE h = AsHandle(fd);
  return LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) ? Lock::kHeld
                                                                                          : Lock::kBusy;
}

void CloseLockFile(int fd) { CloseHandle(AsHandle(fd)); }

}  // namespace mdl::store_system
