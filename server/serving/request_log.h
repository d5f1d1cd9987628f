// Daily request log in the W3C extended format (MDLWLOG): line formatting and
// a writer that keeps the day's file open and writes batches in one call.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "common/files/safe_file.h"
#include "common/time/utc_time.h"
#include "server/serving/reply_budget.h"

namespace mdl {

// Who writes the log; fixed for the run.
struct LogIdentity {
  std::filesystem::path program_dir;  // the log goes to program_dir/Logs
  std::string version;                // kVersion
  std::string started_text;           // server start time, for "#UPDate: "
  std::string host_name;
  std::string host_ip;
};

// One request, as the responders describe it.
struct LogEntry {
  std::string_view bytes_d;     // request description; only its length is logged
  std::string_view request_ip;  // requester's address
  uint16_t req_port = 0;        // server port of the service
  uint32_t sent_b = 0;          // bytes sent back
  std::string_view mdl_code;    // "Time", "DayTime", "NTPv4", "UnixTime", ...
  std::string_view mdl_type;    // "TCP" or "UDP"
  uint32_t byte_tot = 0;        // bytes received, when the caller knows them
  uint16_t status = 0;          // sc-status: 0 answered, kLogNotServed when not
};

// sc-status of a request that got no reply because the server has no time
// to give yet (before the first synchronisation).
inline constexpr uint16_t kLogNotServed = 503;

// Local calendar date and time to the second.
struct LocalDateTime {
  int year = 1970;
  unsigned month = 1, day = 1, hour = 0, minute = 0, second = 0;

  bool SameDate(const LocalDateTime& other) const {
    return year == other.year && month == other.month && day == other.day;
  }
  bool operator==(const LocalDateTime&) const = default;
};

// Local time = UTC - bias, the bias including daylight saving when in effect.
LocalDateTime LogLocalTime(UtcTime now_utc, const ZoneFacts& zone);

// cs-bytes: for "NTPv4" 48 when 48 bytes were sent, byte_tot when none were
// (a rejected datagram), else 0; for other codes byte_tot when non-zero,
// else the length of bytes_d.
uint32_t LogReceivedBytes(const LogEntry& entry);

// "MDLS" + DD + MM + YY + ".LOG".
std::string LogFileName(const LocalDateTime& local);

// The five header lines of a new file, each ending in CR LF.
std::string LogHeader(const LogIdentity& identity, const LocalDateTime& local);

// Appends one log line (fields separated by single blanks, one trailing
// blank, CR LF). Control characters in text fields become '?' so that a line
// never splits; an empty text field is written as "-".
void AppendLogLine(std::string& out, const LogEntry& entry, const LocalDateTime& local,
                   std::string_view host_name, std::string_view host_ip);
std::string FormatLogLine(const LogEntry& entry, const LocalDateTime& local, std::string_view host_name,
                          std::string_view host_ip);

// kFolder, kOpen: the error number is an errno or a files:: refusal code
// (a link, not a plain file or folder, not ours). kDayCap: the day's file
// reached its size limit. kRecovered: writing works again after a reported
// failure (error number 0).
enum class LogError { kFolder, kOpen, kWrite, kDayCap, kRecovered };

// One diagnostic line for a LogError report.
std::string DescribeLogError(LogError kind, int error_number, const std::filesystem::path& path);

// Writes request lines to program_dir/Logs/MDLSddmmyy.LOG. File errors never
// stop the server: they are counted and reported through the optional
// callback when they begin, again when they recur after writing worked (at
// most once a minute per kind), and their end is reported too. Neither the
// folder nor the file is used through a link or when another user owns it.
// Lines of rejected requests (nothing sent) are limited per source address;
// a "#Remark:" line counts the ones left out. Not thread-safe: one engine
// thread owns it.
class RequestLog {
 public:
  using ErrorCallback =
      std::function<void(LogError kind, int error_number, const std::filesystem::path& path)>;

  // Bytes buffered by Append before a flush happens on its own.
  static constexpr size_t kAutoFlushBytes = 64 * 1024;
  static constexpr uint64_t kDefaultMaxDayBytes = uint64_t{1} << 30;
  static constexpr uint32_t kDefaultErrorLinesPerMinute = 6;
  static constexpr uint32_t kDefaultErrorLineBurst = 20;
  // The same failure is reported at most this often.
  static constexpr int64_t kReportIntervalMs = 60'000;
  // Suppressed lines are counted in a remark at most this often.
  static constexpr int64_t kSummaryIntervalMs = 60'000;

  explicit RequestLog(LogIdentity identity);
  ~RequestLog();
  RequestLog(const RequestLog&) = delete;
  RequestLog& operator=(const RequestLog&) = delete;

  // Logging off: Append and Write do nothing; pending lines are flushed and
  // the file is closed.
  void set_enabled(bool enabled);
  bool enabled() const { return enabled_; }
  void set_error_callback(ErrorCallback callback) { on_error_ = std::move(callback); }

  // Largest size of a day's file, its final remark included; once reached
  // the day's lines are dropped. 0: no limit.
  void set_max_day_bytes(uint64_t bytes);
  uint64_t max_day_bytes() const { return max_day_bytes_; }
  // Lines of rejected requests per source address: `per_minute` on average,
  // `burst` at once. per_minute 0 with burst 0 logs none of them.
  void set_error_line_budget(uint32_t per_minute, uint32_t burst);
  // Rejected-request lines left out so far.
  uint64_t suppressed_lines() const { return suppressed_total_; }

  // Formats one line into the buffer. A line of another local date flushes
  // the lines buffered before it, so every line lands in its day's file.
  void Append(const LogEntry& entry, UtcTime now_utc, const ZoneFacts& zone);
  // Writes the buffered lines with one write call (plus the header when the
  // file is new or empty): all of them or, on a full disk, none (the file is
  // cut back to its last whole line). Lines that cannot be written are dropped.
  void Flush();
  // Write calls made to the file so far (one per flushed batch).
  uint64_t write_calls() const { return write_calls_; }
  // Append + Flush.
  void Write(const LogEntry& entry, UtcTime now_utc, const ZoneFacts& zone);

  // How often at most the path is checked for a moved or deleted file
  // (0: at every flush).
  void set_path_check_interval(std::chrono::milliseconds interval) { path_check_ms_ = interval.count(); }
  uint64_t error_count() const { return error_count_; }
  size_t pending_bytes() const { return buffer_.size(); }
  const LogIdentity& identity() const { return identity_; }

 private:
  uint64_t write_calls_ = 0;
  // Opens (or keeps) the file of `local`'s date; reopens when the path no
  // longer names the open file (moved or deleted). Returns false on error.
  bool EnsureOpen(const LocalDateTime& local, bool* needs_header);
  bool PathStillNamesOpenFile() const;
  void CloseFile();
  void Fail(LogError kind, int error_number, const std::filesystem::path& path);
  void Notify(LogError kind, int error_number, const std::filesystem::path& path);
  void AppendSummary(bool force);
  // The local time of `now_utc` and the line's text up to the requester,
  // worked out once per second (and zone) rather than per line.
  const LocalDateTime& LocalOf(UtcTime now_utc, const ZoneFacts& zone);
  // The line from the bytes sent to its end, kept for the next line alike.
  const std::string& TailOf(const LogEntry& entry);

  LogIdentity identity_;
  std::filesystem::path folder_path_;  // program_dir/Logs
  bool enabled_ = true;
  ErrorCallback on_error_;
  uint64_t error_count_ = 0;
  unsigned streak_reported_ = 0;           // bit per LogError reported since writing last worked
  int64_t last_report_ms_[3] = {0, 0, 0};  // per failure kind
  unsigned ever_reported_ = 0;

  std::string buffer_;
  int64_t local_second_ = INT64_MIN;  // the UTC second LocalOf worked out last
  int32_t local_bias_ = 0;
  LocalDateTime local_;
  std::string line_head_;    // "date time "
  std::string line_middle_;  // from " - MDLS5 " to the bytes sent
  struct TailKey {
    uint16_t status = 0;
    uint32_t sent = 0, received = 0;
    uint16_t port = 0;
    std::string code, type;
  };
  TailKey tail_key_;  // what tail_ was made of
  std::string tail_;
  LocalDateTime buffer_local_;  // local time of the first buffered line
  LocalDateTime latest_local_;
  std::string out_;

  uint64_t max_day_bytes_ = kDefaultMaxDayBytes;
  std::string cap_remark_;  // the last line of a day's file that reached the limit
  bool capped_ = false;     // the open day's file reached max_day_bytes_
  bool needs_line_end_ = false;

  bool budget_on_ = true;
  ReplyBudget error_budget_;
  uint64_t suppressed_ = 0;  // since the last remark
  uint64_t suppressed_total_ = 0;
  LocalDateTime suppressed_since_;
  int64_t suppressed_since_ms_ = 0;

  files::Fd fd_;
  LocalDateTime open_date_;
  std::filesystem::path open_path_;
  std::string open_name_;
  uint64_t open_dev_ = 0, open_ino_ = 0, open_size_ = 0;
  int64_t path_check_ms_ = 0;
  int64_t path_checked_ms_ = 0;
  int64_t latest_ms_ = 0;  // the time of the latest line, on the caller's clock
};

}  // namespace mdl
