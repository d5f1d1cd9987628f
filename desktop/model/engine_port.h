// How a window reaches the server engine: it posts commands, nothing else.
// The engine's snapshots and events come back on the window's thread through
// the host's bridge. Tests put a recording fake in the handle's place.
#pragma once

#include <utility>

#include "server/core/engine_commands.h"
#include "server/core/engine_handle.h"

namespace mdl::desktop {

class EnginePort {
 public:
  virtual ~EnginePort() = default;
  virtual void Post(EngineCommand command) = 0;
};

class HandlePort : public EnginePort {
 public:
  explicit HandlePort(EngineHandle& handle) : handle_(handle) {}
  void Post(EngineCommand command) override { handle_.Post(std::move(command)); }

 private:
  EngineHandle& handle_;
};

}  // namespace mdl::desktop
