// How the client's window reaches the engine: it posts commands, nothing
// else. Snapshots come back through ClientWindow::ApplySnapshot on the
// window's thread. Tests put a recording fake in the handle's place.
#pragma once

#include <utility>

#include "client/client_handle.h"

namespace mdl::ui {

class ClientPort {
 public:
  virtual ~ClientPort() = default;
  virtual void Post(ClientCommand command) = 0;
};

class ClientHandlePort : public ClientPort {
 public:
  explicit ClientHandlePort(ClientHandle& handle) : handle_(handle) {}
  void Post(ClientCommand command) override { handle_.Post(std::move(command)); }

 private:
  ClientHandle& handle_;
};

}  // namespace mdl::ui
