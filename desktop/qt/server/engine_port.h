// How the window reaches the engine: it posts commands, nothing else. The
// engine's snapshots reach the window through MainWindow::ApplySnapshot on
// the window's thread. Tests put a recording fake in the handle's place.
#pragma once

#include "server/core/engine_commands.h"
#include "server/core/engine_handle.h"

namespace mdl::ui {

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

}  // namespace mdl::ui
