// Files in folders that others may plant links in: folders and files opened
// without following links, refused unless they are a plain folder or file
// owned by this process's user, whole-line appends and small reads.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace mdl::files {

// Why an open was refused besides an errno: the entry is a link, of the wrong
// kind, owned by another user or a file with a second hard link.
inline constexpr int kNotOwned = -1;
inline constexpr int kWrongKind = -2;
inline constexpr int kIsLink = -3;
inline constexpr int kSecondLink = -4;

// "not owned by us" etc. for the codes above, strerror for an errno.
std::string ErrorText(int error);

// An owned descriptor, closed on destruction.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(Fd&& other) noexcept : fd_(other.Release()) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = other.Release();
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset();

 private:
  int fd_ = -1;
};

struct Opened {
  Fd fd;
  int error = 0;                        // errno or one of the codes above when !fd.valid()
  uint64_t dev = 0, ino = 0, size = 0;  // of the opened entry
};

// Opens `folder` (created with mode 0755 when missing and `create`) without
// following a link at its last component; refused unless it is a folder owned
// by our effective user (or, when `allow_root`, by root).
Opened OpenFolder(const std::filesystem::path& folder, bool create, bool allow_root = false);

// Opens `name` inside the folder `dir` for appending (created with `mode` when
// missing), never through a link, without blocking on a FIFO; refused unless
// it is a plain file owned by our effective user with no second hard link.
Opened OpenAppendAt(int dir, const std::string& name, mode_t mode = 0644);

// The same opening and refusals as OpenAppendAt, for reading and writing at
// any offset (a file that is rewritten in place, such as a lock file).
Opened OpenReadWriteAt(int dir, const std::string& name, mode_t mode = 0644);

// Makes the open file readable and writable by its owner alone (mode 0600;
// on Windows the folder's permissions apply). Returns 0 or the errno.
int RestrictToOwner(int fd);

// Same identity as the entry `name` in `dir` (not following a link).
bool SameEntryAt(int dir, const std::string& name, uint64_t dev, uint64_t ino);

// False when the file opened by OpenAppendAt is not empty and its last byte
// is not a line feed (a write was cut and could not be undone).
bool EndsWithLineEnd(int fd);

// Writes all of `bytes` at the end of `fd` or nothing: after a short or
// failed write the file is cut back to its size before the write. Returns 0,
// or the errno of the failure; *cut_failed is set when the cut-back itself
// failed, so that the file may end in a partial line.
int AppendWhole(int fd, std::string_view bytes, bool* cut_failed);

// Replaceable write call, for tests that simulate a full disk.
using WriteFunction = ssize_t (*)(int fd, const void* data, size_t size);
void SetWriteFunctionForTest(WriteFunction write);

struct ReadResult {
  enum class Status { kOk, kMissing, kTooLarge, kRefused, kError };
  Status status = Status::kError;
  std::string bytes;  // when kOk
  std::string error;  // the reason otherwise (but kMissing)
};

struct ReadPolicy {
  size_t max_bytes = 4 * 1024 * 1024;
  // A link is read through when it is owned by us (or root); links of other
  // users are refused. False: every link is refused.
  bool follow_own_link = false;
  // The file itself may belong to root as well as to us.
  bool allow_root_owner = true;
};

// Reads a whole plain file within max_bytes under the policy.
ReadResult ReadSmallFile(const std::filesystem::path& file, const ReadPolicy& policy);

}  // namespace mdl::files
