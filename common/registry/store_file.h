// File operations under the registry store: bounded read, atomic replace,
// moving a damaged file aside, and the lock that orders writers.
#pragma once

#include <chrono>
#include <ctime>
#include <filesystem>
#include <string>
#include <string_view>

namespace mdl {

struct StoreRead {
  enum class Status { kOk, kMissing, kTooLarge, kError };
  Status status = Status::kError;
  std::string bytes;  // the content when kOk
  std::string error;  // the reason when kTooLarge or kError
};

// Reads the whole file unless it is larger than max_bytes (memory stays bounded).
StoreRead ReadStoreFile(const std::filesystem::path& file, size_t max_bytes);

// Writes a temporary file beside `file`, flushes it to disk, renames it over
// `file` and flushes the folder. Returns "" on success, else the reason; on
// failure `file` is untouched and the temporary file removed.
std::string WriteFileAtomically(const std::filesystem::path& file, std::string_view bytes);

// Removes temporary files that a writer killed mid-save left beside `file`.
// Call only while holding the StoreLock (live writers hold it while saving).
void RemoveStaleTempFiles(const std::filesystem::path& file);

// "<file>.corrupt-YYYYMMDDTHHMMSSZ" for the UTC second `now`.
std::filesystem::path CorruptFileName(const std::filesystem::path& file, std::time_t now);

// Renames `file` to CorruptFileName (with "-2", "-3", ... appended when that
// name is taken, so no earlier copy is overwritten). Returns "" on success.
std::string MoveAside(const std::filesystem::path& file, std::time_t now, std::filesystem::path* moved_to);

// An exclusive advisory lock on "<file>.lock", so that programs sharing one
// store do not lose each other's writes. Gives up after `wait`.
class StoreLock {
 public:
  StoreLock(const std::filesystem::path& file, std::chrono::milliseconds wait);
  ~StoreLock();
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;

  bool held() const { return fd_ >= 0; }
  const std::string& error() const { return error_; }

 private:
  int fd_ = -1;
  std::string error_;
};

}  // namespace mdl
