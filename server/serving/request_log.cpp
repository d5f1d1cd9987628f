// Request log: formatting and the file writer.
#include "server/serving/request_log.h"

#include "common/time/calendar.h"
#include "common/time/zone_bias.h"

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

// `text` with control characters as '?' and, for a field, blanks as '+'.
void AppendClean(std::string& out, std::string_view text, bool field) {
  if (text.empty()) {
    out += '-';
    return;
  }
  const size_t start = out.size();
  out += text;
  char* p = out.data() + start;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto u = static_cast<unsigned char>(p[i]);
    if (u <= 0x20 || u == 0x7F) p[i] = u == 0x20 ? (field ? '+' : ' ') : '?';
  }
}

void AppendText(std::string& out, std::string_view text) { AppendClean(out, text, false); }

// A field of a log line: blanks as "+", so that every line has as many
// values as the "#Fields" line names.
void AppendField(std::string& out, std::string_view text) { AppendClean(out, text, true); }

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

namespace {

// The fixed part of every line between the requester and the bytes sent.
std::string LineMiddle(std::string_view host_name, std::string_view host_ip) {
  std::string out = " - MDLS5 ";
  AppendField(out, host_name);
  out += ' ';
  AppendField(out, host_ip);
  out += " GET TIME - ";
  return out;
}

// The line from the bytes sent to its end.
void AppendLineTail(std::string& out, const LogEntry& entry) {
  AppendNumber(out, entry.status);
  out += " 0 ";
  AppendNumber(out, entry.sent_b);
  out += ' ';
  AppendNumber(out, LogReceivedBytes(entry));
  out += " 0 ";
  AppendNumber(out, entry.req_port);
  out += ' ';
  AppendField(out, entry.mdl_code);
  out += ' ';
  AppendField(out, entry.mdl_type);
  // cs(Cookie) and cs(Referer): one value for each name of the #Fields line.
  out += " - - \r\n";
}

}  // namespace

void AppendLogLine(std::string& out, const LogEntry& entry, const LocalDateTime& local,
                   std::string_view host_name, std::string_view host_ip) {
  AppendDate(out, local);
  out += ' ';
  AppendTime(out, local);
  out += ' ';
  AppendField(out, entry.request_ip);
  out += LineMiddle(host_name, host_ip);
  AppendLineTail(out, entry);
}

std::string FormatLogLine(const LogEntry& entry, const LocalDateTime& local, std::string_view host_name,
                          std::string_view host_ip) {
  std::string line;
  AppendLogLine(line, entry, local, host_name, host_ip);
  return line;
}

std::string DescribeLogError(LogError kind, int error_number, const std::filesystem::path& path) {
  const std::string where = path.string();
  switch (kind) {
    case LogError::kFolder:
      return "request log: cannot use the folder " + where + ": " + files::ErrorText(error_number);
    case LogError::kOpen:
      return "request log: cannot open " + where + ": " + files::ErrorText(error_number);
    case LogError::kWrite:
      return "request log: cannot write " + where + ": " + files::ErrorText(error_number) +
             " (lines are dropped until it works again)";
    case LogError::kDayCap:
      return "request log: " + where + " reached its size limit; no more lines until the next day";
    case LogError::kRecovered:
      break;
  }
  return "request log: writing " + where + " works again";
}

namespace {

// 60 budget units per line, so that the rate in lines per minute is the
// budget's rate in units per second.
constexpr uint32_t kLineCost = 60;

uint64_t HashText(std::string_view text) {
  uint64_t h = 0xcbf29ce484222325ULL;
  for (char c : text) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
  return h;
}

std::string CapRemark(uint64_t max_bytes) {
  std::string remark = "#Remark: size limit of ";
  AppendNumber(remark, max_bytes);
  remark += " bytes reached; no more lines until the next day\r\n";
  return remark;
}

}  // namespace

RequestLog::RequestLog(LogIdentity identity)
    : identity_(std::move(identity)),
      folder_path_(identity_.program_dir / "Logs"),
      error_budget_(kDefaultErrorLinesPerMinute, kDefaultErrorLineBurst * kLineCost) {
  line_middle_ = LineMiddle(identity_.host_name, identity_.host_ip);
  set_max_day_bytes(kDefaultMaxDayBytes);
}

void RequestLog::set_max_day_bytes(uint64_t bytes) {
  max_day_bytes_ = bytes;
  cap_remark_ = CapRemark(bytes);
}

RequestLog::~RequestLog() {
  AppendSummary(true);
  Flush();
  CloseFile();
}

void RequestLog::set_enabled(bool enabled) {
  if (!enabled && enabled_) {
    AppendSummary(true);
    Flush();
    CloseFile();
  }
  enabled_ = enabled;
}

void RequestLog::set_error_line_budget(uint32_t per_minute, uint32_t burst) {
  budget_on_ = true;
  error_budget_.Configure(per_minute, burst * kLineCost);
}

void RequestLog::AppendSummary(bool force) {
  if (suppressed_ == 0) return;
  if (!force && latest_ms_ >= suppressed_since_ms_ &&
      latest_ms_ - suppressed_since_ms_ < kSummaryIntervalMs) {
    return;
  }
  if (buffer_.empty()) buffer_local_ = latest_local_;
  buffer_ += "#Remark: ";
  AppendNumber(buffer_, suppressed_);
  buffer_ += " lines of rejected requests left out (per-address limit) since ";
  AppendDate(buffer_, suppressed_since_);
  buffer_ += ' ';
  AppendTime(buffer_, suppressed_since_);
  buffer_ += "\r\n";
  suppressed_ = 0;
}

const LocalDateTime& RequestLog::LocalOf(UtcTime now_utc, const ZoneFacts& zone) {
  const int64_t second = std::chrono::floor<std::chrono::seconds>(now_utc.time_since_epoch()).count();
  const int32_t bias = GrabBias(zone);
  if (second != local_second_ || bias != local_bias_ || line_head_.empty()) {
    local_second_ = second;
    local_bias_ = bias;
    local_ = LogLocalTime(now_utc, zone);
    line_head_.clear();
    AppendDate(line_head_, local_);
    line_head_ += ' ';
    AppendTime(line_head_, local_);
    line_head_ += ' ';
  }
  return local_;
}

const std::string& RequestLog::TailOf(const LogEntry& entry) {
  const uint32_t received = LogReceivedBytes(entry);
  TailKey& k = tail_key_;
  if (k.status != entry.status || k.sent != entry.sent_b || k.received != received ||
      k.port != entry.req_port || k.code != entry.mdl_code || k.type != entry.mdl_type || tail_.empty()) {
    k = {entry.status,
         entry.sent_b,
         received,
         entry.req_port,
         std::string(entry.mdl_code),
         std::string(entry.mdl_type)};
    tail_.clear();
    AppendLineTail(tail_, entry);
  }
  return tail_;
}

void RequestLog::Append(const LogEntry& entry, UtcTime now_utc, const ZoneFacts& zone) {
  latest_ms_ = std::chrono::duration_cast<std::chrono::milliseconds>(now_utc.time_since_epoch()).count();
  if (!enabled_) return;
  const LocalDateTime local = LocalOf(now_utc, zone);
  if (!buffer_.empty() && !local.SameDate(buffer_local_)) Flush();
  latest_local_ = local;
  AppendSummary(false);
  if (entry.sent_b == 0 && budget_on_ &&
      !error_budget_.Allow(HashText(entry.request_ip), latest_ms_, kLineCost)) {
    if (suppressed_ == 0) {
      suppressed_since_ = local;
      suppressed_since_ms_ = latest_ms_;
    }
    ++suppressed_;
    ++suppressed_total_;
    if (buffer_.size() >= kAutoFlushBytes) Flush();
    return;
  }
  if (buffer_.empty()) buffer_local_ = local;
  buffer_ += line_head_;
  AppendField(buffer_, entry.request_ip);
  buffer_ += line_middle_;
  buffer_ += TailOf(entry);
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
  if (!EnsureOpen(buffer_local_, &needs_header) || capped_) {
    buffer_.clear();
    return;
  }
  out_.clear();
  if (needs_line_end_) out_ += "\r\n";
  if (needs_header) out_ += LogHeader(identity_, buffer_local_);
  std::string_view lines = buffer_;
  bool reaches_cap = false;
  if (max_day_bytes_ > 0) {
    const uint64_t used = open_size_ + out_.size() + cap_remark_.size();
    const uint64_t room = max_day_bytes_ > used ? max_day_bytes_ - used : 0;
    if (lines.size() > room) {
      // Whole lines only: up to the last line end that fits.
      const size_t end = lines.substr(0, static_cast<size_t>(room)).rfind('\n');
      lines = end == std::string_view::npos ? std::string_view() : lines.substr(0, end + 1);
      out_ += lines;
      out_ += cap_remark_;
      reaches_cap = true;
    }
  }
  // A batch with nothing before it goes out from the buffer itself.
  std::string_view bytes = out_;
  if (!reaches_cap && out_.empty()) {
    bytes = buffer_;
  } else if (!reaches_cap) {
    out_ += lines;
    bytes = out_;
  }
  ++write_calls_;
  bool cut_failed = false;
  const int error = files::AppendWhole(fd_.get(), bytes, &cut_failed);
  const size_t written = bytes.size();
  buffer_.clear();
  if (error != 0) {
    needs_line_end_ = needs_line_end_ || cut_failed;
    const std::filesystem::path path = open_path_;
    CloseFile();  // the next flush opens the file afresh
    Fail(LogError::kWrite, error, path);
    return;
  }
  open_size_ += written;
  needs_line_end_ = false;
  if (streak_reported_ != 0) {
    streak_reported_ = 0;
    Notify(LogError::kRecovered, 0, open_path_);
  }
  if (reaches_cap) {
    capped_ = true;
    Notify(LogError::kDayCap, 0, open_path_);
  }
}

bool RequestLog::PathStillNamesOpenFile() const {
  const files::Opened folder = files::OpenFolder(folder_path_, false);
  return folder.fd.valid() && files::SameEntryAt(folder.fd.get(), open_name_, open_dev_, open_ino_);
}

bool RequestLog::EnsureOpen(const LocalDateTime& local, bool* needs_header) {
  *needs_header = false;
  if (fd_.valid()) {
    if (local.SameDate(open_date_) && path_check_ms_ > 0) {
      // On the caller's clock; a step back checks at once.
      const int64_t now_ms = latest_ms_;
      if (now_ms >= path_checked_ms_ && now_ms - path_checked_ms_ < path_check_ms_) return true;
      path_checked_ms_ = now_ms;
    }
    if (local.SameDate(open_date_) && PathStillNamesOpenFile()) return true;
    CloseFile();
  }
  files::Opened folder = files::OpenFolder(folder_path_, true);
  if (!folder.fd.valid()) {
    Fail(LogError::kFolder, folder.error, folder_path_);
    return false;
  }
  const std::string name = LogFileName(local);
  const std::filesystem::path path = folder_path_ / name;
  files::Opened file = files::OpenAppendAt(folder.fd.get(), name);
  if (!file.fd.valid()) {
    Fail(LogError::kOpen, file.error, path);
    return false;
  }
  const bool same_day_file = open_date_.SameDate(local) && open_name_ == name;
  fd_ = std::move(file.fd);
  if (!same_day_file) capped_ = false;
  open_date_ = local;
  open_path_ = path;
  open_name_ = name;
  open_dev_ = file.dev;
  open_ino_ = file.ino;
  open_size_ = file.size;
  *needs_header = file.size == 0;
  if (file.size == 0) capped_ = false;
  // A cut line left by an earlier run or a failed cut-back ends first.
  needs_line_end_ = !files::EndsWithLineEnd(fd_.get());
  if (max_day_bytes_ > 0 && file.size + cap_remark_.size() >= max_day_bytes_) capped_ = true;
  return true;
}

void RequestLog::CloseFile() { fd_.Reset(); }

void RequestLog::Fail(LogError kind, int error_number, const std::filesystem::path& path) {
  ++error_count_;
  const unsigned bit = 1u << static_cast<unsigned>(kind);
  if ((streak_reported_ & bit) != 0) return;
  int64_t& last = last_report_ms_[static_cast<unsigned>(kind)];
  // A step back of the clock does not hold reports back.
  if ((ever_reported_ & bit) != 0 && latest_ms_ >= last && latest_ms_ - last < kReportIntervalMs) return;
  ever_reported_ |= bit;
  streak_reported_ |= bit;
  last = latest_ms_;
  Notify(kind, error_number, path);
}

void RequestLog::Notify(LogError kind, int error_number, const std::filesystem::path& path) {
  if (on_error_) on_error_(kind, error_number, path);
}

}  // namespace mdl
