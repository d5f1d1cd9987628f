// Event lines to syslog and the console.
#include "server/service/event_log.h"

#include <syslog.h>

#include <ctime>

namespace mdl::service {

namespace {

int Priority(EventLevel level) {
  switch (level) {
    case EventLevel::kError:
      return LOG_ERR;
    case EventLevel::kWarning:
      return LOG_WARNING;
    case EventLevel::kNotice:
      return LOG_NOTICE;
    case EventLevel::kInfo:
      break;
  }
  return LOG_INFO;
}

std::string LocalStamp() {
  const time_t now = ::time(nullptr);
  tm local{};
  ::localtime_r(&now, &local);
  char buf[32];
  const size_t n = ::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S ", &local);
  return std::string(buf, n);
}

}  // namespace

EventLog::EventLog(std::string ident, EventLogOptions options) : ident_(std::move(ident)), options_(options) {
  if (options_.to_syslog) ::openlog(ident_.c_str(), LOG_PID, LOG_DAEMON);
}

EventLog::~EventLog() {
  if (options_.to_syslog) ::closelog();
}

void EventLog::Write(EventLevel level, std::string_view text) {
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string line(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    std::erase(line, '\r');
    if (line.empty()) continue;
    if (options_.to_syslog) ::syslog(Priority(level), "%s", line.c_str());
    if (options_.console) {
      const std::string out = (options_.stamp_console ? LocalStamp() : std::string()) + line + "\n";
      std::lock_guard lock(console_mutex_);
      std::fwrite(out.data(), 1, out.size(), options_.console);
      std::fflush(options_.console);
    }
  }
}

}  // namespace mdl::service
