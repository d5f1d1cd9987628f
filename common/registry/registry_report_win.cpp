// The registry's default reporter on Windows: stderr and the debugger output
// (the services' event log lines are written above this layer).
#include <windows.h>

#include <cstdio>

#include "common/registry/registry.h"

namespace mdl {

RegistryReporter DefaultRegistryReporter() {
  return [](const std::string& message) {
    std::fprintf(stderr, "%s\n", message.c_str());
    OutputDebugStringA((message + "\n").c_str());
  };
}

}  // namespace mdl
