// Event lines to the Windows event log (ReportEvent, event 109, category 1,
// source the program's name). Windows has no journal.
#include "server/hosting/system_log.h"

#include <windows.h>

#include <mutex>

namespace mdl::service {

namespace {

WORD EventType(EventLevel level) {
  switch (level) {
    case EventLevel::kError:
      return EVENTLOG_ERROR_TYPE;
    case EventLevel::kWarning:
      return EVENTLOG_WARNING_TYPE;
    case EventLevel::kNotice:
    case EventLevel::kInfo:
      break;
  }
  return EVENTLOG_INFORMATION_TYPE;
}

std::wstring Widen(const std::string& text) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

// The event source of the open log: one per process, the program's.
HANDLE g_source = nullptr;
std::mutex g_source_mutex;

}  // namespace

void OpenSystemLog(const std::string& ident) {
  std::lock_guard lock(g_source_mutex);
  if (g_source == nullptr) g_source = RegisterEventSourceW(nullptr, Widen(ident).c_str());
}

void CloseSystemLog() {
  std::lock_guard lock(g_source_mutex);
  if (g_source != nullptr) DeregisterEventSource(g_source);
  g_source = nullptr;
}

void WriteSystemLog(EventLevel level, const std::string& line) {
  const std::wstring wide = Widen(line);
  const wchar_t* strings[] = {wide.c_str()};
  std::lock_guard lock(g_source_mutex);
  if (g_source != nullptr) ReportEventW(g_source, EventType(level), 1, 109, nullptr, 1, 0, strings, nullptr);
}

std::tm LocalTimeOf(std::time_t t) {
  std::tm local{};
  ::localtime_s(&local, &t);
  return local;
}

// The event log's entries keep their "date time ---" text as they always had it.
bool SystemLogKeepsTime() { return false; }

bool StderrIsJournal() { return false; }

}  // namespace mdl::service
