// Windows realisation of the file layer. The same refusals with Windows
// means: entries are opened without following reparse points (symbolic
// links, junctions, mount points) and refused when they are one, when they
// are not a plain disk file or folder, or (files) when they have a second
// hard link. There is no owner test: the folders' access lists decide who
// may plant entries there. Descriptors are C runtime descriptors over the
// Windows handles.
#include "common/files/safe_file.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

namespace mdl::files {
namespace {

ssize_t CrtWrite(int fd, const void* data, size_t size) {
  return ::_write(fd, data, static_cast<unsigned>(std::min<size_t>(size, INT_MAX)));
}

WriteFunction g_write = &CrtWrite;

int ErrnoOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
      return EACCES;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EBUSY;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      return EEXIST;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    default:
      return EIO;
  }
}

HANDLE HandleOf(int fd) { return reinterpret_cast<HANDLE>(::_get_osfhandle(fd)); }

// The folder a folder descriptor stands for, as a path.
std::wstring FolderPath(int dir) {
  const HANDLE h = HandleOf(dir);
  if (h == INVALID_HANDLE_VALUE) return L"";
  std::vector<wchar_t> buf(1024);
  for (int attempt = 0; attempt < 2; ++attempt) {
    const DWORD n =
        GetFinalPathNameByHandleW(h, buf.data(), static_cast<DWORD>(buf.size()), FILE_NAME_NORMALIZED);
    if (n == 0) return L"";
    if (n < buf.size()) return std::wstring(buf.data(), n);
    buf.resize(n + 1);
  }
  return L"";
}

// A plain name inside a folder: no separators, no stream (":"), no "." or "..".
bool PlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find_first_of("/\\:") == std::string::npos;
}

std::wstring Widen(const std::string& text) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

struct Checked {
  HANDLE handle = INVALID_HANDLE_VALUE;
  int error = 0;
  BY_HANDLE_FILE_INFORMATION info{};
};

// Opens `path` without following a reparse point and checks what it is.
Checked OpenChecked(const std::wstring& path, DWORD access, DWORD disposition, bool want_folder) {
  Checked out;
  const DWORD flags = FILE_FLAG_OPEN_REPARSE_POINT | (want_folder ? FILE_FLAG_BACKUP_SEMANTICS : 0);
  const HANDLE h = CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, disposition, flags, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    out.error = ErrnoOf(GetLastError());
    if (out.error == EACCES && !want_folder) {
      // A folder (or a link to one) cannot be opened as a file: say which.
      Checked probe = OpenChecked(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING, true);
      if (probe.handle != INVALID_HANDLE_VALUE) {
        CloseHandle(probe.handle);
        out.error = kWrongKind;
      } else if (probe.error == kIsLink) {
        out.error = kIsLink;
      }
    }
    return out;
  }
  auto fail = [&](int error) {
    CloseHandle(h);
    out.error = error;
    return out;
  };
  if (!GetFileInformationByHandle(h, &out.info)) return fail(ErrnoOf(GetLastError()));
  if (out.info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return fail(kIsLink);
  const bool is_folder = (out.info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (is_folder != want_folder) return fail(kWrongKind);
  if (!want_folder && GetFileType(h) != FILE_TYPE_DISK) return fail(kWrongKind);
  out.handle = h;
  return out;
}

uint64_t IndexOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
}

uint64_t SizeOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
}

}  // namespace

std::string ErrorText(int error) {
  switch (error) {
    case kNotOwned:
      return "not owned by this program's user";
    case kSecondLink:
      return "a file with a second hard link";
    case kWrongKind:
      return "not a plain file or folder";
    case kIsLink:
      return "a reparse point (link)";
    default:
      return std::strerror(error);
  }
}

void Fd::Reset() {
  if (fd_ >= 0) ::_close(fd_);
  fd_ = -1;
}

Opened OpenFolder(const std::filesystem::path& folder, bool create, bool allow_root) {
  (void)allow_root;
  Opened out;
  const std::wstring path = folder.wstring();
  Checked c = OpenChecked(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING, true);
  if (c.error == ENOENT && create) {
    if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
      out.error = ErrnoOf(GetLastError());
      return out;
    }
    c = OpenChecked(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING, true);
  }
  if (c.error != 0) {
    out.error = c.error;
    return out;
  }
  const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(c.handle), _O_RDONLY);
  if (fd < 0) {
    CloseHandle(c.handle);
    out.error = EMFILE;
    return out;
  }
  out.fd = Fd(fd);
  out.dev = c.info.dwVolumeSerialNumber;
  out.ino = IndexOf(c.info);
  return out;
}

namespace {

// A plain disk file with one name in the folder `dir`, as a C runtime
// descriptor opened with `crt_flags`.
Opened OpenPlainFileAt(int dir, const std::string& name, int crt_flags) {
  Opened out;
  const std::wstring folder = FolderPath(dir);
  if (folder.empty()) {
    out.error = EBADF;
    return out;
  }
  if (!PlainName(name)) {
    out.error = kWrongKind;
    return out;
  }
  Checked c = OpenChecked(folder + L"\\" + Widen(name), GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS, false);
  if (c.error != 0) {
    out.error = c.error;
    return out;
  }
  // A second hard link may name a file that belongs elsewhere.
  if (c.info.nNumberOfLinks != 1) {
    CloseHandle(c.handle);
    out.error = kSecondLink;
    return out;
  }
  const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(c.handle), crt_flags);
  if (fd < 0) {
    CloseHandle(c.handle);
    out.error = EMFILE;
    return out;
  }
  out.fd = Fd(fd);
  out.dev = c.info.dwVolumeSerialNumber;
  out.ino = IndexOf(c.info);
  out.size = SizeOf(c.info);
  return out;
}

}  // namespace

Opened OpenAppendAt(int dir, const std::string& name, mode_t mode) {
  (void)mode;
  return OpenPlainFileAt(dir, name, _O_APPEND | _O_BINARY);
}

Opened OpenReadWriteAt(int dir, const std::string& name, mode_t mode) {
  (void)mode;
  return OpenPlainFileAt(dir, name, _O_BINARY);
}

int RestrictToOwner(int) { return 0; }

bool SameEntryAt(int dir, const std::string& name, uint64_t dev, uint64_t ino) {
  const std::wstring folder = FolderPath(dir);
  if (folder.empty() || !PlainName(name)) return false;
  const HANDLE h = CreateFileW((folder + L"\\" + Widen(name)).c_str(), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool same =
      GetFileInformationByHandle(h, &info) && info.dwVolumeSerialNumber == dev && IndexOf(info) == ino;
  CloseHandle(h);
  return same;
}

bool EndsWithLineEnd(int fd) {
  const HANDLE h = HandleOf(fd);
  LARGE_INTEGER size{};
  if (h == INVALID_HANDLE_VALUE || !GetFileSizeEx(h, &size) || size.QuadPart == 0) return true;
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>((size.QuadPart - 1) & 0xffffffff);
  at.OffsetHigh = static_cast<DWORD>((size.QuadPart - 1) >> 32);
  char last = 0;
  DWORD got = 0;
  return !ReadFile(h, &last, 1, &got, &at) || got != 1 || last == '\n';
}

int AppendWhole(int fd, std::string_view bytes, bool* cut_failed) {
  *cut_failed = false;
  const __int64 before = ::_lseeki64(fd, 0, SEEK_END);
  if (before < 0) return errno;
  while (!bytes.empty()) {
    const ssize_t n = g_write(fd, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    const int error = n < 0 ? errno : ENOSPC;
    if (::_chsize_s(fd, before) != 0) *cut_failed = true;
    return error;
  }
  return 0;
}

void SetWriteFunctionForTest(WriteFunction write) { g_write = write != nullptr ? write : &CrtWrite; }

ReadResult ReadSmallFile(const std::filesystem::path& file, const ReadPolicy& policy) {
  ReadResult out;
  const auto refuse = [&](const std::string& why) {
    out.status = ReadResult::Status::kRefused;
    out.error = file.string() + " is " + why;
    return out;
  };
  // Reparse points are refused whatever the policy: their owner is no guide
  // to where they lead.
  Checked c = OpenChecked(file.wstring(), GENERIC_READ, OPEN_EXISTING, false);
  if (c.error == ENOENT) {
    out.status = ReadResult::Status::kMissing;
    return out;
  }
  if (c.error == kIsLink || c.error == kWrongKind) return refuse(ErrorText(c.error));
  if (c.error != 0) {
    out.error = "cannot open " + file.string() + ": " + std::strerror(c.error);
    return out;
  }
  const HANDLE h = c.handle;
  const auto too_large = [&] {
    out.status = ReadResult::Status::kTooLarge;
    out.error = "larger than " + std::to_string(policy.max_bytes) + " bytes";
    out.bytes.clear();
    return out;
  };
  if (SizeOf(c.info) > policy.max_bytes) {
    CloseHandle(h);
    return too_large();
  }
  std::string bytes;
  char chunk[4096];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(h, chunk, sizeof chunk, &n, nullptr)) {
      const int error = ErrnoOf(GetLastError());
      CloseHandle(h);
      out.error = "cannot read " + file.string() + ": " + std::strerror(error);
      return out;
    }
    if (n == 0) break;
    if (bytes.size() + n > policy.max_bytes) {
      CloseHandle(h);
      return too_large();
    }
    bytes.append(chunk, n);
  }
  CloseHandle(h);
  out.status = ReadResult::Status::kOk;
  out.bytes = std::move(bytes);
  return out;
}

}  // namespace mdl::files
