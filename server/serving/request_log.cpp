// Request log: formatting and the file writer.
#include "server/serving/request_log.h"

#include "common/time/calendar.h"

#include <time.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <system_error>

namespace mdl {
namespace {

constexpr std::string_view kFieldsLine =
    "#Fields: date time c-ip cs-username s-sitename s-computername s-ip cs-method "
    "cs-uri-stem cs-uri-query sc-status sc-win32-status sc-bytes cs-bytes time-taken "
    "s-port cs-version cs(User-Agent) cs(Cookie) cs(Referer)";

void AppendNumber(std::string& out, uint64_t value) {
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, result.ptr);
}

// Zero-padded to `width` digits (more when the value needs them).
void AppendPadded(std::string& out, int64_t value, int width) {
  if (value < 0) {
    out += '-';
    value = -value;
  }
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  for (int n = static_cast<int>(result.ptr - digits); n < width; ++n) out += '0';
  out.append(digits, result.ptr);
}

void AppendDate(std::string& out, const LocalDateTime& t) {
  AppendPadded(out, t.year, 4);
  out += '-';
  AppendPadded(out, t.month, 2);
  out += '-';
  AppendPadded(out, t.day, 2);
}

void AppendTime(std::string& out, const LocalDateTime& t) {
  AppendPadded(out, t.hour, 2);
  out += ':';
  AppendPadded(out, t.minute, 2);
  out += ':';
  AppendPadded(out, t.second, 2);
}

void AppendText(std::string& out, std::string_view text) {
  if (text.empty()) {
    out += '-';
    return;
  }
  const size_t start = out.size();
  out += text;
  for (size_t i = start; i < out.size(); ++i) {
    const auto u = static_cast<unsigned char>(out[i]);
    if (u < 0x20 || u == 0x7F) out[i] = '?';
  }
}

}  // namespace

LocalDateTime LogLocalTime(UtcTime now_utc, const ZoneFacts& zone) {
  const CivilTime c = CivilFromLocal(LocalFromUtc(now_utc, zone));
  return LocalDateTime{c.year, c.month, c.day, c.hour, c.minute, c.second};
}

uint32_t LogReceivedBytes(const LogEntry& entry) {
  if (entry.mdl_code == "NTPv4") {
    if (entry.sent_b == 48) return 48;
    if (entry.sent_b == 0) return entry.byte_tot;
    return 0;
  }
  if (entry.byte_tot != 0) return entry.byte_tot;
  return static_cast<uint32_t>(entry.bytes_d.size());
}

std::string LogFileName(const LocalDateTime& local) {
  std::string name = "MDLS";
  AppendPadded(name, local.day, 2);
  AppendPadded(name, local.month, 2);
  AppendPadded(name, ((local.year % 100) + 100) % 100, 2);
  name += ".LOG";
  return name;
}

std::string LogHeader(const LogIdentity& identity, const LocalDateTime& local) {
  std::string header = "#Software Service: Meridel(SM) Server\r\n#Version: ";
  AppendText(header, identity.version);
  header += "\r\n#UPDate: ";
  AppendText(header, identity.started_text);
  header += "\r\n#Date: ";
  AppendDate(header, local);
  header += ' ';
  AppendTime(header, local);
  header += "\r\n";
  header += kFieldsLine;
  header += "\r\n";
  return header;
}

void AppendLogLine(std::string& out, const LogEntry& entry, const LocalDateTime& local,
                   std::string_view host_name, std::string_view host_ip) {
  AppendDate(out, local);
  out += ' ';
  AppendTime(out, local);
  out += ' ';
  AppendText(out, entry.request_ip);
  out += " - MDLS5 ";
  AppendText(out, host_name);
  out += ' ';
  AppendText(out, host_ip);
  out += " GET TIME - 0 0 ";
  AppendNumber(out, entry.sent_b);
  out += ' ';
  AppendNumber(out, LogReceivedBytes(entry));
  out += " 0 ";
  AppendNumber(out, entry.req_port);
  out += ' ';
  AppendText(out, entry.mdl_code);
  out += ' ';
  AppendText(out, entry.mdl_type);
  out += " - \r\n";
}

std::string FormatLogLine(const LogEntry& entry, const LocalDateTime& local, std::string_view host_name,
                          std::string_view host_ip) {
  std::string line;
  AppendLogLine(line, entry, local, host_name, host_ip);
  return line;
}

RequestLog::RequestLog(LogIdentity identity) : identity_(std::move(identity)) {}

RequestLog::~RequestLog() {
  Flush();
  CloseFile();
}

void RequestLog::set_enabled(bool enabled) {
  if (!enabled && enabled_) {
    Flush();
    CloseFile();
  }
  enabled_ = enabled;
}

void RequestLog::Append(const LogEntry& entry, UtcTime now_utc, const ZoneFacts& zone) {
  latest_ms_ = std::chrono::duration_cast<std::chrono::milliseconds>(now_utc.time_since_epoch()).count();
  if (!enabled_) return;
  const LocalDateTime local = LogLocalTime(now_utc, zone);
  if (!buffer_.empty() && !local.SameDate(buffer_local_)) Flush();
  if (buffer_.empty()) buffer_local_ = local;
  AppendLogLine(buffer_, entry, local, identity_.host_name, identity_.host_ip);
  if (buffer_.size() >= kAutoFlushBytes) Flush();
}

void RequestLog::Write(const LogEntry& entry, UtcTime now_utc, const ZoneFacts& zone) {
  latest_ms_ = std::chrono::duration_cast<std::chrono::milliseconds>(now_utc.time_since_epoch()).count();
  if (!enabled_) return;
  Append(entry, now_utc, zone);
  Flush();
}

void RequestLog::Flush() {
  if (buffer_.empty()) return;
  bool needs_header = false;
  if (!EnsureOpen(buffer_local_, &needs_header)) {
    buffer_.clear();
    return;
  }
  header_.clear();
  if (needs_header) header_ = LogHeader(identity_, buffer_local_);

  iovec parts[2] = {{header_.data(), header_.size()}, {buffer_.data(), buffer_.size()}};
  iovec* next = header_.empty() ? parts + 1 : parts;
  int count = header_.empty() ? 1 : 2;
  while (count > 0) {
    ++write_calls_;
    const ssize_t written = ::writev(fd_, next, count);
    if (written <= 0) {
      if (written < 0 && errno == EINTR) continue;
      const int error = written < 0 ? errno : EIO;
      const std::filesystem::path path = open_path_;
      CloseFile();  // the next flush opens the file afresh
      Fail(LogError::kWrite, error, path);
      break;
    }
    // Partial write (disk full, signal): go on with what is left.
    size_t done = static_cast<size_t>(written);
    while (count > 0 && done >= next->iov_len) {
      done -= next->iov_len;
      ++next;
      --count;
    }
    if (count > 0) {
      next->iov_base = static_cast<char*>(next->iov_base) + done;
      next->iov_len -= done;
    }
  }
  buffer_.clear();
}

bool RequestLog::EnsureOpen(const LocalDateTime& local, bool* needs_header) {
  *needs_header = false;
  if (fd_ >= 0) {
    if (local.SameDate(open_date_) && path_check_ms_ > 0) {
      // On the caller's clock; a step back checks at once.
      const int64_t now_ms = latest_ms_;
      if (now_ms >= path_checked_ms_ && now_ms - path_checked_ms_ < path_check_ms_) return true;
      path_checked_ms_ = now_ms;
    }
    struct stat by_path;
    if (local.SameDate(open_date_) && ::stat(open_path_.c_str(), &by_path) == 0 &&
        by_path.st_dev == open_dev_ && by_path.st_ino == open_ino_) {
      return true;
    }
    CloseFile();
  }
  const std::filesystem::path folder = identity_.program_dir / "Logs";
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec) {
    Fail(LogError::kFolder, ec.value(), folder);
    return false;
  }
  const std::filesystem::path path = folder / LogFileName(local);
  // O_NONBLOCK: a FIFO planted under the log's name must not block the engine.
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
  if (fd < 0) {
    Fail(LogError::kOpen, errno, path);
    return false;
  }
  struct stat by_fd;
  const bool stat_ok = ::fstat(fd, &by_fd) == 0;
  if (!stat_ok || !S_ISREG(by_fd.st_mode)) {
    const int error = stat_ok ? EINVAL : errno;
    ::close(fd);
    Fail(LogError::kOpen, error, path);
    return false;
  }
  fd_ = fd;
  open_date_ = local;
  open_path_ = path;
  open_dev_ = by_fd.st_dev;
  open_ino_ = by_fd.st_ino;
  *needs_header = by_fd.st_size == 0;
  return true;
}

void RequestLog::CloseFile() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void RequestLog::Fail(LogError kind, int error_number, const std::filesystem::path& path) {
  ++error_count_;
  const unsigned bit = 1u << static_cast<unsigned>(kind);
  if ((reported_kinds_ & bit) != 0) return;
  reported_kinds_ |= bit;
  if (on_error_) on_error_(kind, error_number, path);
}

}  // namespace mdl
