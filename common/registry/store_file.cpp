// POSIX realisation of the registry store's file operations.
#include "common/registry/store_file.h"

#include "common/clock/deadline.h"
#include "common/files/safe_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

namespace mdl {
namespace {

std::string Describe(const char* what, const std::filesystem::path& path) {
  return std::string(what) + " " + path.string() + ": " + std::strerror(errno);
}

std::filesystem::path FolderOf(const std::filesystem::path& file) {
  std::filesystem::path folder = file.parent_path();
  return folder.empty() ? std::filesystem::path(".") : folder;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

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

namespace {

std::string TempPrefix(const std::filesystem::path& file) { return "." + file.filename().string() + ".tmp-"; }

}  // namespace

void RemoveStaleTempFiles(const std::filesystem::path& file) {
  const std::string prefix = TempPrefix(file);
  std::error_code ec;
  std::filesystem::directory_iterator it(FolderOf(file), ec);
  // Bounded: a folder full of unrelated files is not walked for ever.
  for (int seen = 0; !ec && it != std::filesystem::directory_iterator() && seen < 10000;
       it.increment(ec), ++seen) {
    const std::string name = it->path().filename().string();
    if (name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0) {
      ::unlink(it->path().c_str());
    }
  }
}

std::string WriteFileAtomically(const std::filesystem::path& file, std::string_view bytes) {
  const std::filesystem::path folder = FolderOf(file);
  std::string temp = (folder / (TempPrefix(file) + "XXXXXX")).string();
  int fd = ::mkstemp(temp.data());
  if (fd < 0) return Describe("cannot create a temporary file in", folder);
  struct stat st {};
  // The mode of the file itself, never of a link's target.
  mode_t mode = (::lstat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ? (st.st_mode & 0777) : 0644;
  std::string error;
  if (::fchmod(fd, mode) != 0) {
    error = Describe("cannot set the mode of", temp);
  } else if (!WriteAll(fd, bytes)) {
    error = Describe("cannot write", temp);
  } else if (::fsync(fd) != 0) {
    error = Describe("cannot flush", temp);
  }
  if (::close(fd) != 0 && error.empty()) error = Describe("cannot close", temp);
  if (error.empty() && ::rename(temp.c_str(), file.c_str()) != 0) {
    error = Describe("cannot rename over", file);
  }
  if (!error.empty()) {
    ::unlink(temp.c_str());
    return error;
  }
  int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return Describe("cannot open the folder", folder);
  if (::fsync(dir) != 0) error = Describe("cannot flush the folder", folder);
  ::close(dir);
  return error;
}

std::filesystem::path CorruptFileName(const std::filesystem::path& file, std::time_t now) {
  std::tm utc{};
  ::gmtime_r(&now, &utc);
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
    if (n > 1) target += "-" + std::to_string(n);
    struct stat st {};
    if (::lstat(target.c_str(), &st) == 0) continue;
    if (::rename(file.c_str(), target.c_str()) != 0) return Describe("cannot move aside", file);
    *moved_to = target;
    return "";
  }
  return "cannot move aside " + file.string() + ": too many earlier copies";
}

StoreLock::StoreLock(const std::filesystem::path& file, std::chrono::milliseconds wait) {
  std::filesystem::path lock_path = file;
  lock_path += ".lock";
  int fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
  if (fd < 0) {
    error_ = errno == ELOOP ? "refused " + lock_path.string() + ": a symbolic link"
                            : Describe("cannot open", lock_path);
    return;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
    error_ = "refused " + lock_path.string() + ": not a plain file owned by this program's user";
    ::close(fd);
    return;
  }
  const Deadline give_up(wait);
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      fd_ = fd;
      return;
    }
    if ((errno != EWOULDBLOCK && errno != EINTR) || give_up.Passed()) {
      error_ = Describe("cannot lock", lock_path);
      ::close(fd);
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

StoreLock::~StoreLock() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace mdl
