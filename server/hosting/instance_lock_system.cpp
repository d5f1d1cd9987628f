// The single-instance lock's system side on Linux: flock(2) on the lock file;
// the holder is signalled only while /proc/locks names it as the holder.
#include "server/hosting/instance_lock_system.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <string_view>

#include "common/files/safe_file.h"
#include "server/hosting/instance_lock.h"

namespace mdl::service {
namespace lock_system {

int Open(const std::filesystem::path& lock_file, std::string* error) {
  // The folder is the operator's choice and may well be reached through a link
  // (a dynamic user's state folder is one); the lock file in it never is: a link
  // or a second name planted there would have us truncate and write someone
  // else's file.
  const std::filesystem::path folder = lock_file.has_parent_path() ? lock_file.parent_path() : ".";
  const files::Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid()) {
    *error = "cannot open the folder " + folder.string() + ": " + std::strerror(errno);
    return -1;
  }
  files::Opened opened = files::OpenReadWriteAt(dir.get(), lock_file.filename().string(), 0600);
  if (!opened.fd.valid()) {
    const std::string why = files::ErrorText(opened.error);
    *error = opened.error < 0 ? "refused the lock file " + lock_file.string() + ": it is " + why
                              : "cannot open " + lock_file.string() + ": " + why;
    return -1;
  }
  const int fd = opened.fd.get();
  // Only our user may open it: anyone who can open the file can take the
  // flock first and keep every instance from starting (older files were 0644).
  struct stat st {};
  if (::fstat(fd, &st) == 0 && (st.st_mode & 077) != 0) (void)::fchmod(fd, 0600);
  return opened.fd.Release();
}

Try TryLock(int fd, std::string* error) {
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) return Try::kHeld;
  if (errno == EWOULDBLOCK) return Try::kBusy;
  *error = std::strerror(errno);
  return Try::kFailed;
}

void WriteHolder(int fd) {
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd, 0) != 0 ||
      ::pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
    // The lock holds all the same; only signalling by folder is lost.
  }
}

void Close(int fd) { ::close(fd); }  // closing the descriptor drops the flock

}  // namespace lock_system

int ExclusiveFlockHolder(std::string_view proc_locks, unsigned dev_major, unsigned dev_minor, uint64_t ino) {
  // "<id>: [-> ]FLOCK  ADVISORY  WRITE <pid> <major>:<minor>:<inode> <start> <end>", the device
  // numbers in hex; a "->" line is a waiter, not a holder.
  std::istringstream lines{std::string(proc_locks)};
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string id, kind, mode, access, where;
    long long pid = 0;
    if (!(words >> id >> kind)) continue;
    if (kind == "->") continue;
    if (kind != "FLOCK" || !(words >> mode >> access >> pid >> where) || access != "WRITE") continue;
    unsigned major = 0, minor = 0;
    unsigned long long inode = 0;
    char tail = 0;
    if (std::sscanf(where.c_str(), "%x:%x:%llu%c", &major, &minor, &inode, &tail) != 3) continue;
    if (major == dev_major && minor == dev_minor && inode == ino && pid > 0 && pid <= INT32_MAX)
      return static_cast<int>(pid);
  }
  return 0;
}

namespace {

// /proc/locks, bounded: a machine with that many locks is not one to trust for this.
bool ReadProcLocks(std::string* text, std::string* error) {
  const files::Fd fd(::open("/proc/locks", O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    *error = std::string("cannot read /proc/locks: ") + std::strerror(errno);
    return false;
  }
  constexpr size_t kMaxBytes = 16 * 1024 * 1024;
  char chunk[8192];
  for (;;) {
    const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = std::string("cannot read /proc/locks: ") + std::strerror(errno);
      return false;
    }
    if (n == 0) return true;
    if (text->size() + static_cast<size_t>(n) > kMaxBytes) {
      *error = "/proc/locks is too large to read";
      return false;
    }
    text->append(chunk, static_cast<size_t>(n));
  }
}

}  // namespace

SignalResult SignalInstance(const std::filesystem::path& lock_file, int signal) {
  SignalResult r;
  const files::Fd fd(::open(lock_file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) {
    if (errno == ENOENT) {
      r.outcome = SignalResult::Outcome::kNotRunning;
      r.detail = "no instance runs in this folder (" + lock_file.string() + " is missing)";
    } else if (errno == ELOOP) {
      r.detail = "refused the lock file " + lock_file.string() + ": it is a symbolic link";
    } else {
      r.detail = "cannot read " + lock_file.string() + ": " + std::strerror(errno);
    }
    return r;
  }
  struct stat lock_stat {};
  if (::fstat(fd.get(), &lock_stat) != 0 || !S_ISREG(lock_stat.st_mode)) {
    r.detail = "refused the lock file " + lock_file.string() + ": it is not a plain file";
    return r;
  }
  char buf[32] = {};
  const ssize_t n = ::pread(fd.get(), buf, sizeof buf - 1, 0);
  long named = 0;
  if (n > 0) {
    char* end = nullptr;
    named = std::strtol(buf, &end, 10);
    if (end == buf || (*end != '\n' && *end != '\0')) named = 0;
  }
  // The holder of the lock, as the kernel knows it: a process that only has the
  // file open, or a stale or planted number in it, is no instance.
  std::string locks;
  if (!ReadProcLocks(&locks, &r.detail)) return r;
  const int holder =
      ExclusiveFlockHolder(locks, major(lock_stat.st_dev), minor(lock_stat.st_dev), lock_stat.st_ino);
  r.outcome = SignalResult::Outcome::kNotRunning;
  r.detail = "no instance runs in this folder";
  if (holder == 0) return r;
  if (holder != named) {
    r.outcome = SignalResult::Outcome::kFailed;
    r.detail = lock_file.string() + " is locked by process " + std::to_string(holder) +
               ", not by the process it names; no signal sent";
    return r;
  }
  r.pid = holder;
  if (::kill(static_cast<pid_t>(holder), signal) != 0) {
    r.outcome = SignalResult::Outcome::kFailed;
    r.detail = "cannot signal process " + std::to_string(holder) + ": " + std::strerror(errno);
    return r;
  }
  r.outcome = SignalResult::Outcome::kSent;
  r.detail = "process " + std::to_string(holder);
  return r;
}

}  // namespace mdl::service
