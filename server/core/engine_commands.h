// What a host asks of the server engine. Every operator action is a
// command; hosts post them through EngineHandle::Post from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "server/serving/service_kinds.h"

namespace mdl::cmd {

struct SetEnabled {  // a service's enable box
  Service service;
  bool on;
};
struct SetTcp {  // its TCP box
  Service service;
  bool on;
};
struct SetUdp {  // its UDP box
  Service service;
  bool on;
};
struct SetPortText {  // its port field changed (not yet registered)
  Service service;
  std::string text;
};
struct PortEnter {  // Enter in the port field: the port is registered
  Service service;
};
struct ShowService {  // the service whose panel the operator shows
  Service service;
};
struct SelectServer {  // the operator's choice in the server list (from 1)
  int position;
};
struct SetRegion {
  std::string region;
};
struct SetRandom {  // a random server of the region at each synchronisation
  bool on;
};
struct SetInterval {  // count and unit of the synchronisation interval
  std::string count_text;
  std::string unit_text;
};
struct SetPaused {
  bool paused;
};
struct SetLogging {
  bool on;
};
struct SetOpenMinimized {
  bool on;
};
struct SetRunAtStart {
  bool on;
};
struct SyncNow {};
// Reads the server list file again (after a new list was put in place).
struct ReloadServerList {};
// Re-read the settings store and apply what changed in it as the operator's
// commands would (systemctl reload, SIGHUP).
struct ReloadSettings {};
// "Check for Software Updates" (`CheckUpdate`): the version file, then the offers.
struct CheckForUpdates {};
// The operator's answer to the UpdateQuestion `id` (closing its box is No).
struct AnswerUpdate {
  uint64_t id = 0;
  bool yes = false;
};
// Serve as synchronised without an upstream exchange: for a host whose clock
// another service keeps, and for tests.
struct MarkSynchronised {};
// The shutdown: timers stopped, sockets closed in order, settings saved.
struct Shutdown {};

}  // namespace mdl::cmd

namespace mdl {

using EngineCommand =
    std::variant<cmd::SetEnabled, cmd::SetTcp, cmd::SetUdp, cmd::SetPortText, cmd::PortEnter,
                 cmd::ShowService, cmd::SelectServer, cmd::SetRegion, cmd::SetRandom, cmd::SetInterval,
                 cmd::SetPaused, cmd::SetLogging, cmd::SetOpenMinimized, cmd::SetRunAtStart, cmd::SyncNow,
                 cmd::ReloadServerList, cmd::ReloadSettings, cmd::CheckForUpdates, cmd::AnswerUpdate,
                 cmd::MarkSynchronised, cmd::Shutdown>;

}  // namespace mdl
