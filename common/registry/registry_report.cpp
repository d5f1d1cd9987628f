// The registry's default reporter on Linux: stderr and syslog.
#include <syslog.h>

#include <cstdio>

#include "common/registry/registry.h"

namespace mdl {

RegistryReporter DefaultRegistryReporter() {
  return [](const std::string& message) {
    std::fprintf(stderr, "%s\n", message.c_str());
    ::syslog(LOG_WARNING, "%s", message.c_str());
  };
}

}  // namespace mdl
