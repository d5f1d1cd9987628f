// The system's side of the store's file operations: the calls that differ
// between platforms, each reporting failures in the system's words
// (store_system*.cpp, one per platform).
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <string>
#include <string_view>

namespace mdl::store_system {

// "<what> <path>: <the reason of the system call that just failed>".
std::string Describe(const char* what, const std::filesystem::path& path);

// "" when `file` may be replaced, else why not (a link where replacing would
// write through it).
std::string RefuseToReplace(const std::filesystem::path& file);

// A new file "<prefix>" + six characters in a folder, written and flushed
// before it replaces the store.
class TempFile {
 public:
  TempFile() = default;
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  // Each returns "" on success, else the reason.
  std::string Create(const std::filesystem::path& folder, const std::string& prefix);
  // Takes the permissions of `file` (where the system has them), never of a link's target.
  std::string TakeModeOf(const std::filesystem::path& file);
  std::string Write(std::string_view bytes);
  std::string Flush();
  std::string Close();
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  intptr_t handle_ = -1;
};

// Moves `from` over `to`, replacing it: "" or the reason.
std::string Replace(const std::filesystem::path& from, const std::filesystem::path& to);
// Makes a replace in `folder` durable: "" or the reason.
std::string FlushFolder(const std::filesystem::path& folder);
void Remove(const std::filesystem::path& file);

enum class Move { kMoved, kTaken, kFailed };
// Renames `from` to `to` unless `to` exists (kTaken); kFailed: Describe tells why.
Move MoveUnlessTaken(const std::filesystem::path& from, const std::filesystem::path& to);

std::tm UtcOf(std::time_t t);

// The writers' lock file, opened without following a link and refused when
// it is not a plain file of ours: its descriptor, or -1 with *error set.
int OpenLockFile(const std::filesystem::path& path, std::string* error);
enum class Lock { kHeld, kBusy, kFailed };
Lock TryLock(int fd);
void CloseLockFile(int fd);

}  // namespace mdl::store_system
