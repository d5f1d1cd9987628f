// Hands the program to the service manager where the platform has one that
// calls back into it (Windows: StartServiceCtrlDispatcher and ServiceMain).
#pragma once

#include <functional>

#include "server/hosting/unit_file.h"

namespace mdl::service {

// Runs `body` and returns its exit status: inside the service's ServiceMain
// when the service manager started this program as the service `id`,
// otherwise (the foreground, or Linux, where systemd runs the program as it
// is) directly on this thread. `foreground` (-debug, -config, -ro) skips the
// service manager at once.
int RunAsService(const ServiceIdentity& id, bool foreground, const std::function<int()>& body);

}  // namespace mdl::service
