// The file store's operations on Windows: the temporary file is flushed
// (FlushFileBuffers) and moved over the store with MoveFileExW (replace,
// write-through); the writers' lock is LockFileEx on "<file>.lock".
#include "common/registry/store_file.h"

#include <windows.h>

#include <thread>
#include <vector>

#include "common/clock/deadline.h"
#include "common/clock/secure_random.h"
#include "common/files/safe_file.h"

namespace mdl {
namespace {

std::string Describe(const char* what, const std::filesystem::path& path, DWORD error = GetLastError()) {
  return std::string(what) + " " + path.string() + ": Windows error " + std::to_string(error);
}

std::filesystem::path FolderOf(const std::filesystem::path& file) {
  std::filesystem::path folder = file.parent_path();
  return folder.empty() ? std::filesystem::path(".") : folder;
}

std::string TempPrefix(const std::filesystem::path& file) {
  std::string prefix(1, '.');
  prefix.append(file.filename().string()).append(".tmp-");
  return prefix;
}

bool IsReparsePoint(const std::filesystem::path& path) {
  const DWORD attributes = GetFileAttributesW(path.wstring().c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

}  // namespace

StoreRead ReadStoreFile(const std::filesystem::path& file, size_t max_bytes) {
  files::ReadPolicy policy;
  policy.max_bytes = max_bytes;
  files::ReadResult read = files::ReadSmallFile(file, policy);
  StoreRead result;
  result.error = std::move(read.error);
  switch (read.status) {
    case files::ReadResult::Status::kOk:
      result.status = StoreRead::Status::kOk;
      result.bytes = std::move(read.bytes);
      break;
    case files::ReadResult::Status::kMissing:
      result.status = StoreRead::Status::kMissing;
      break;
    case files::ReadResult::Status::kTooLarge:
      result.status = StoreRead::Status::kTooLarge;
      break;
    case files::ReadResult::Status::kRefused:
    case files::ReadResult::Status::kError:
      result.status = StoreRead::Status::kError;
      break;
  }
  return result;
}

void RemoveStaleTempFiles(const std::filesystem::path& file) {
  const std::string prefix = TempPrefix(file);
  std::error_code ec;
  std::filesystem::directory_iterator it(FolderOf(file), ec);
  for (int seen = 0; !ec && it != std::filesystem::directory_iterator() && seen < 10000; it.increment(ec), ++seen) {
    const std::string name = it->path().filename().string();
    if (name.rfind(prefix, 0) == 0) DeleteFileW(it->path().wstring().c_str());
  }
}

std::string WriteFileAtomically(const std::filesystem::path& file, std::string_view bytes) {
  if (IsReparsePoint(file)) return "refused " + file.string() + ": a reparse point (link)";
  const std::filesystem::path folder = FolderOf(file);
  std::filesystem::path temp;
  HANDLE h = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 16 && h == INVALID_HANDLE_VALUE; ++attempt) {
    uint8_t random[6];
    if (!FillSecureRandom(random)) return "cannot create a temporary file in " + folder.string();
    std::string suffix;
    for (uint8_t b : random) suffix += "0123456789abcdefghijklmnopqrstuv"[b & 31];
    temp = folder / (TempPrefix(file) + suffix);
    h = CreateFileW(temp.wstring().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (h == INVALID_HANDLE_VALUE) return Describe("cannot create a temporary file in", folder);
  std::string error;
  while (!bytes.empty() && error.empty()) {
    DWORD done = 0;
    const DWORD n = static_cast<DWORD>(std::min<size_t>(bytes.size(), 1 << 20));
    if (!WriteFile(h, bytes.data(), n, &done, nullptr) || done == 0) {
      error = Describe("cannot write", temp);
    } else {
      bytes.remove_prefix(done);
    }
  }
  if (error.empty() && !FlushFileBuffers(h)) error = Describe("cannot flush", temp);
  CloseHandle(h);
  if (error.empty() &&
      !MoveFileExW(temp.wstring().c_str(), file.wstring().c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = Describe("cannot replace", file);
  }
  if (!error.empty()) DeleteFileW(temp.wstring().c_str());
  return error;
}

std::filesystem::path CorruptFileName(const std::filesystem::path& file, std::time_t now) {
  std::tm utc{};
  ::gmtime_s(&utc, &now);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
  std::filesystem::path name = file;
  name += std::string(".corrupt-") + stamp;
  return name;
}

std::string MoveAside(const std::filesystem::path& file, std::time_t now, std::filesystem::path* moved_to) {
  const std::filesystem::path base = CorruptFileName(file, now);
  for (int n = 1; n <= 1000; ++n) {
    std::filesystem::path target = base;
    if (n > 1) target += std::string(1, '-').append(std::to_string(n));
    // Without MOVEFILE_REPLACE_EXISTING an earlier copy is never overwritten.
    if (MoveFileExW(file.wstring().c_str(), target.wstring().c_str(), MOVEFILE_WRITE_THROUGH)) {
      *moved_to = target;
      return "";
    }
    const DWORD error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) return Describe("cannot move aside", file, error);
  }
  return "cannot move aside " + file.string() + ": too many earlier copies";
}

StoreLock::StoreLock(const std::filesystem::path& file, std::chrono::milliseconds wait) {
  std::filesystem::path lock_path = file;
  lock_path += ".lock";
  const HANDLE h = CreateFileW(lock_path.wstring().c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    error_ = Describe("cannot open", lock_path);
    return;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    error_ = "refused " + lock_path.string() + ": not a plain file";
    CloseHandle(h);
    return;
  }
  const Deadline give_up(wait);
  for (;;) {
    OVERLAPPED at{};
    if (LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
      // The handle's value as the descriptor: only ever compared and closed here.
      fd_ = static_cast<int>(reinterpret_cast<intptr_t>(h));
      return;
    }
    if (give_up.Passed()) {
      error_ = Describe("cannot lock", lock_path);
      CloseHandle(h);
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

StoreLock::~StoreLock() {
  if (fd_ >= 0) CloseHandle(reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd_)));
}

}  // namespace mdl
