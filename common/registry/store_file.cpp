// The registry store's file operations over the system's calls (store_system*.cpp).
#include "common/registry/store_file.h"

#include "common/clock/deadline.h"

#include <thread>

#include "common/files/safe_file.h"
#include "common/registry/store_system.h"

namespace mdl {
namespace {

std::filesystem::path FolderOf(const std::filesystem::path& file) {
  std::filesystem::path folder = file.parent_path();
  return folder.empty() ? std::filesystem::path(".") : folder;
}

// Built by appending: mingw's GCC 12 warns falsely (-Wrestrict) on "." + name.
std::string TempPrefix(const std::filesystem::path& file) {
  std::string prefix(1, '.');
  prefix.append(file.filename().string()).append(".tmp-");
  return prefix;
}

// The six characters a temporary file's name ends in.
constexpr size_t kTempSuffix = 6;

}  // namespace

StoreRead ReadStoreFile(const std::filesystem::path& file, size_t max_bytes) {
  files::ReadPolicy policy;
  policy.max_bytes = max_bytes;
  policy.follow_own_link = false;  // a planted link must not redirect the store
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
  // Bounded: a folder full of unrelated files is not walked for ever.
  for (int seen = 0; !ec && it != std::filesystem::directory_iterator() && seen < 10000;
       it.increment(ec), ++seen) {
    const std::string name = it->path().filename().string();
    if (name.size() == prefix.size() + kTempSuffix && name.compare(0, prefix.size(), prefix) == 0) {
      store_system::Remove(it->path());
    }
  }
}

std::string WriteFileAtomically(const std::filesystem::path& file, std::string_view bytes) {
  std::string error = store_system::RefuseToReplace(file);
  if (!error.empty()) return error;
  const std::filesystem::path folder = FolderOf(file);
  store_system::TempFile temp;
  error = temp.Create(folder, TempPrefix(file));
  if (!error.empty()) return error;
  error = temp.TakeModeOf(file);
  if (error.empty()) error = temp.Write(bytes);
  if (error.empty()) error = temp.Flush();
  const std::string closed = temp.Close();
  if (error.empty()) error = closed;
  if (error.empty()) error = store_system::Replace(temp.path(), file);
  if (!error.empty()) {
    store_system::Remove(temp.path());
    return error;
  }
  return store_system::FlushFolder(folder);
}

std::filesystem::path CorruptFileName(const std::filesystem::path& file, std::time_t now) {
  const std::tm utc = store_system::UtcOf(now);
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
    // An earlier copy is never overwritten.
    switch (store_system::MoveUnlessTaken(file, target)) {
      case store_system::Move::kMoved:
        *moved_to = target;
        return "";
      case store_system::Move::kTaken:
        continue;
      case store_system::Move::kFailed:
        return store_system::Describe("cannot move aside", file);
    }
  }
  return "cannot move aside " + file.string() + ": too many earlier copies";
}

StoreLock::StoreLock(const std::filesystem::path& file, std::chrono::milliseconds wait) {
  std::filesystem::path lock_path = file;
  lock_path += ".lock";
  const int fd = store_system::OpenLockFile(lock_path, &error_);
  if (fd < 0) return;
  const Deadline give_up(wait);
  for (;;) {
    const store_system::Lock lock = store_system::TryLock(fd);
    if (lock == store_system::Lock::kHeld) {
      fd_ = fd;
      return;
    }
    if (lock == store_system::Lock::kFailed || give_up.Passed()) {
      error_ = store_system::Describe("cannot lock", lock_path);
      store_system::CloseLockFile(fd);
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

StoreLock::~StoreLock() {
  if (fd_ >= 0) store_system::CloseLockFile(fd_);
}

}  // namespace mdl
