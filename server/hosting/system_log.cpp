// Event lines to syslog; a journal on stderr is known by JOURNAL_STREAM.
#include "server/hosting/system_log.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

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

}  // namespace

void OpenSystemLog(const std::string& ident) { ::openlog(ident.c_str(), LOG_PID, LOG_DAEMON); }

void CloseSystemLog() { ::closelog(); }

void WriteSystemLog(EventLevel level, const std::string& line) {
  ::syslog(Priority(level), "%s", line.c_str());
}

std::tm LocalTimeOf(std::time_t t) {
  std::tm local{};
  ::localtime_r(&t, &local);
  return local;
}

bool SystemLogKeepsTime() { return true; }

bool StderrIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (!stream) return false;
  unsigned long long dev = 0, ino = 0;
  if (std::sscanf(stream, "%llu:%llu", &dev, &ino) != 2) return false;
  struct stat st {};
  if (::fstat(STDERR_FILENO, &st) != 0) return false;
  return st.st_dev == dev && st.st_ino == ino;
}

}  // namespace mdl::service
