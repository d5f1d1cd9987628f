// The platform's side of the event log: the system log (syslog's daemon
// facility, or the Windows event log) and the local time of the stamps.
#pragma once

#include <ctime>
#include <string>

#include "server/hosting/event_log.h"

namespace mdl::service {

// `ident` names the lines' source and must outlive the log (syslog keeps it).
void OpenSystemLog(const std::string& ident);
void CloseSystemLog();
void WriteSystemLog(EventLevel level, const std::string& line);

std::tm LocalTimeOf(std::time_t t);

// Whether the system log shows each record's own time (syslog, the journal),
// so that an entry's text need not carry a second one.
bool SystemLogKeepsTime();

}  // namespace mdl::service
