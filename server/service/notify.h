// Readiness, status and stopping notices to the service manager (sd_notify
// when built with libsystemd; without it, or when not started by systemd,
// they do nothing).
#pragma once

#include <string_view>

namespace mdl::service {

// Whether this build sends the notices at all.
bool NotifySupported();

void NotifyReady();                        // READY=1
void NotifyStatus(std::string_view text);  // STATUS=<text> (one line; newlines become blanks)
void NotifyStopping();                     // STOPPING=1

}  // namespace mdl::service
