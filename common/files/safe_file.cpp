// POSIX realisation of the file layer.
#include "common/files/safe_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace mdl::files {
namespace {

WriteFunction g_write = &::write;

// A link at the last component, or a wrong kind of entry, after an open failed.
int Classify(int error, int dir, const char* name, bool want_folder) {
  if (error != ELOOP && error != ENOTDIR && error != EISDIR && error != ENXIO) return error;
  struct stat st {};
  if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return error;
  if (S_ISLNK(st.st_mode)) return kIsLink;
  if (want_folder ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode)) return kWrongKind;
  return error;
}

bool OwnedByUs(const struct stat& st, bool allow_root) {
  return st.st_uid == ::geteuid() || (allow_root && st.st_uid == 0);
}

// A plain file of ours in `dir`, opened read-write with `extra_flags`: never
// through a link, never blocking on a FIFO.
Opened OpenPlainFileAt(int dir, const std::string& name, int extra_flags, mode_t mode) {
  Opened out;
  const int fd =
      ::openat(dir, name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW | extra_flags, mode);
  if (fd < 0) {
    out.error = Classify(errno, dir, name.c_str(), false);
    return out;
  }
  Fd owned(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    out.error = errno;
    return out;
  }
  if (!S_ISREG(st.st_mode)) {
    out.error = kWrongKind;
    return out;
  }
  if (!OwnedByUs(st, false)) {
    out.error = kNotOwned;
    return out;
  }
  // A second hard link may name a file of someone else's, or one that is not ours to write.
  if (st.st_nlink != 1) {
    out.error = kSecondLink;
    return out;
  }
  out.dev = st.st_dev;
  out.ino = st.st_ino;
  out.size = static_cast<uint64_t>(st.st_size);
  out.fd = std::move(owned);
  return out;
}

}  // namespace

std::string ErrorText(int error) {
  switch (error) {
    case kNotOwned:
      return "not owned by this program's user";
    case kWrongKind:
      return "not a plain file or folder";
    case kIsLink:
      return "a symbolic link";
    case kSecondLink:
      return "a file with a second hard link";
    default:
      return std::strerror(error);
  }
}

void Fd::Reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

Opened OpenFolder(const std::filesystem::path& folder, bool create, bool allow_root) {
  Opened out;
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  int fd = ::open(folder.c_str(), kFlags);
  if (fd < 0 && errno == ENOENT && create) {
    if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
      out.error = errno;
      return out;
    }
    fd = ::open(folder.c_str(), kFlags);
  }
  if (fd < 0) {
    out.error = Classify(errno, AT_FDCWD, folder.c_str(), true);
    return out;
  }
  Fd owned(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    out.error = errno;
    return out;
  }
  if (!S_ISDIR(st.st_mode)) {
    out.error = kWrongKind;
    return out;
  }
  if (!OwnedByUs(st, allow_root)) {
    out.error = kNotOwned;
    return out;
  }
  out.dev = st.st_dev;
  out.ino = st.st_ino;
  out.fd = std::move(owned);
  return out;
}

Opened OpenAppendAt(int dir, const std::string& name, mode_t mode) {
  return OpenPlainFileAt(dir, name, O_APPEND, mode);
}

Opened OpenReadWriteAt(int dir, const std::string& name, mode_t mode) {
  return OpenPlainFileAt(dir, name, 0, mode);
}

int RestrictToOwner(int fd) { return ::fchmod(fd, 0600) == 0 ? 0 : errno; }

bool SameEntryAt(int dir, const std::string& name, uint64_t dev, uint64_t ino) {
  struct stat st {};
  return ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == dev && st.st_ino == ino;
}

bool EndsWithLineEnd(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || st.st_size == 0) return true;
  char last = 0;
  return ::pread(fd, &last, 1, st.st_size - 1) != 1 || last == '\n';
}

int AppendWhole(int fd, std::string_view bytes, bool* cut_failed) {
  *cut_failed = false;
  struct stat st {};
  if (::fstat(fd, &st) != 0) return errno;
  const off_t before = st.st_size;
  while (!bytes.empty()) {
    const ssize_t n = g_write(fd, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    const int error = n < 0 ? errno : ENOSPC;
    if (::ftruncate(fd, before) != 0) *cut_failed = true;
    return error;
  }
  return 0;
}

void SetWriteFunctionForTest(WriteFunction write) { g_write = write != nullptr ? write : &::write; }

ReadResult ReadSmallFile(const std::filesystem::path& file, const ReadPolicy& policy) {
  ReadResult out;
  const auto refuse = [&](const std::string& why) {
    out.status = ReadResult::Status::kRefused;
    out.error = file.string() + " is " + why;
    return out;
  };
  struct stat link {};
  if (::lstat(file.c_str(), &link) != 0) {
    if (errno == ENOENT) {
      out.status = ReadResult::Status::kMissing;
    } else {
      out.error = "cannot examine " + file.string() + ": " + std::strerror(errno);
    }
    return out;
  }
  int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;
  if (S_ISLNK(link.st_mode)) {
    if (!policy.follow_own_link) return refuse(ErrorText(kIsLink));
    if (!OwnedByUs(link, true)) return refuse("a symbolic link of another user");
  } else {
    flags |= O_NOFOLLOW;
  }
  const int fd = ::open(file.c_str(), flags);
  if (fd < 0) {
    if (errno == ELOOP) return refuse(ErrorText(kIsLink));
    out.error = "cannot open " + file.string() + ": " + std::strerror(errno);
    return out;
  }
  Fd owned(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    out.error = "cannot examine " + file.string() + ": " + std::strerror(errno);
    return out;
  }
  if (!S_ISREG(st.st_mode)) return refuse(ErrorText(kWrongKind));
  if (!OwnedByUs(st, policy.allow_root_owner)) return refuse(ErrorText(kNotOwned));
  const auto too_large = [&] {
    out.status = ReadResult::Status::kTooLarge;
    out.error = "larger than " + std::to_string(policy.max_bytes) + " bytes";
    out.bytes.clear();
    return out;
  };
  if (static_cast<unsigned long long>(st.st_size) > policy.max_bytes) return too_large();
  // The file may grow while it is read: never more than one chunk past the limit.
  std::string bytes;
  char chunk[4096];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      out.error = "cannot read " + file.string() + ": " + std::strerror(errno);
      return out;
    }
    if (n == 0) break;
    if (bytes.size() + static_cast<size_t>(n) > policy.max_bytes) return too_large();
    bytes.append(chunk, static_cast<size_t>(n));
  }
  out.status = ReadResult::Status::kOk;
  out.bytes = std::move(bytes);
  return out;
}

}  // namespace mdl::files
