// The store's system side on POSIX: mkstemp, fsync, rename and the folder's
// fsync for a durable replace; flock on the lock file.
#include "common/registry/store_system.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace mdl::store_system {

std::string Describe(const char* what, const std::filesystem::path& path) {
  return std::string(what) + " " + path.string() + ": " + std::strerror(errno);
}

// rename replaces a link itself, never its target.
std::string RefuseToReplace(const std::filesystem::path&) { return ""; }

TempFile::~TempFile() { Close(); }

std::string TempFile::Create(const std::filesystem::path& folder, const std::string& prefix) {
  std::string name = (folder / (prefix + "XXXXXX")).string();
  const int fd = ::mkstemp(name.data());
  if (fd < 0) return Describe("cannot create a temporary file in", folder);
  handle_ = fd;
  path_ = name;
  return "";
}

std::string TempFile::TakeModeOf(const std::filesystem::path& file) {
  struct stat st {};
  // The mode of the file itself, never of a link's target.
  const mode_t mode = (::lstat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ? (st.st_mode & 0777) : 0644;
  if (::fchmod(static_cast<int>(handle_), mode) != 0) return Describe("cannot set the mode of", path_);
  return "";
}

std::string TempFile::Write(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(static_cast<int>(handle_), bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return Describe("cannot write", path_);
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return "";
}

std::string TempFile::Flush() {
  if (::fsync(static_cast<int>(handle_)) != 0) return Describe("cannot flush", path_);
  return "";
}

std::string TempFile::Close() {
  if (handle_ < 0) return "";
  const int fd = static_cast<int>(handle_);
  handle_ = -1;
  if (::close(fd) != 0) return Describe("cannot close", path_);
  return "";
}

std::string Replace(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return Describe("cannot rename over", to);
  return "";
}

std::string FlushFolder(const std::filesystem::path& folder) {
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return Describe("cannot open the folder", folder);
  std::string error;
  if (::fsync(dir) != 0) error = Describe("cannot flush the folder", folder);
  ::close(dir);
  return error;
}

void Remove(const std::filesystem::path& file) { ::unlink(file.c_str()); }

Move MoveUnlessTaken(const std::filesystem::path& from, const std::filesystem::path& to) {
  struct stat st {};
  if (::lstat(to.c_str(), &st) == 0) return Move::kTaken;
  return ::rename(from.c_str(), to.c_str()) == 0 ? Move::kMoved : Move::kFailed;
}

std::tm UtcOf(std::time_t t) {
  std::tm utc{};
  ::gmtime_r(&t, &utc);
  return utc;
}

int OpenLockFile(const std::filesystem::path& path, std::string* error) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
  if (fd < 0) {
    *error =
        errno == ELOOP ? "refused " + path.string() + ": a symbolic link" : Describe("cannot open", path);
    return -1;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
    *error = "refused " + path.string() + ": not a plain file owned by this program's user";
    ::close(fd);
    return -1;
  }
  return fd;
}

Lock TryLock(int fd) {
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return Lock::kHeld;
  return errno == EWOULDBLOCK || errno == EINTR ? Lock::kBusy : Lock::kFailed;
}

void CloseLockFile(int fd) { ::close(fd); }

}  // namespace mdl::store_system
