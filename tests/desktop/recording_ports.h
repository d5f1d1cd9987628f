// Fake engine ports that record what a model posts, and snapshots to feed it.
#pragma once

#include <memory>
#include <variant>
#include <vector>

#include "desktop/model/autostart.h"
#include "desktop/model/client_port.h"
#include "desktop/model/config_model.h"
#include "desktop/model/engine_port.h"
#include "server/core/engine_snapshot.h"

namespace mdl::desktop::testing {

template <typename Command>
class Recording {
 public:
  std::vector<Command> posted;

  // The posted commands of type T, in order.
  template <typename T>
  std::vector<T> Of() const {
    std::vector<T> out;
    for (const Command& c : posted)
      if (const T* t = std::get_if<T>(&c)) out.push_back(*t);
    return out;
  }
  template <typename T>
  size_t Count() const {
    return Of<T>().size();
  }
};

class RecordingEngine : public EnginePort, public Recording<EngineCommand> {
 public:
  void Post(EngineCommand command) override { posted.push_back(std::move(command)); }
};

class RecordingClient : public ClientPort, public Recording<ClientCommand> {
 public:
  void Post(ClientCommand command) override { posted.push_back(std::move(command)); }
};

// The outside facilities a window starts, counting their calls; removing the
// autostart entry fails with `removal_error`.
struct CountingHooks {
  std::vector<bool> autostart;
  int time_settings = 0;
  int update_checks = 0;
  int help_pages = 0;
  std::string removal_error = "cannot remove it";

  AutostartHook Autostart() {
    return [this](bool on) {
      autostart.push_back(on);
      return on ? std::string() : removal_error;
    };
  }
  ConfigHooks Config() {
    return {[this] { ++update_checks; }, [this] { ++time_settings; }, Autostart()};
  }
};

// A snapshot of a server with two list entries, the second chosen.
inline std::shared_ptr<EngineSnapshot> ServerSnapshot() {
  auto s = std::make_shared<EngineSnapshot>();
  s->sequence = 1;
  s->taken_at = UtcFromNs(1'800'000'000LL * 1'000'000'000);  // 2027-01-15 08:00:00 UTC
  s->zone.standard_name = "W. Europe Standard Time";
  s->zone.daylight_name = "W. Europe Daylight Time";
  for (size_t i = 0; i < kServiceCount; ++i) {
    ServiceView& v = s->services[i];
    v.enabled = v.tcp_box = v.udp_box = true;
    v.port_text = std::to_string(100 + i);
    v.port_tooltip = " Port " + std::to_string(100 + i) + " ";
  }
  s->servers = {{"time.example.us", 40}, {"time.example.jp", 66}};
  s->selected_server = 2;
  s->interval_count = "5";
  s->interval_unit = "Minute/s";
  s->status_line = "Idle";
  return s;
}

}  // namespace mdl::desktop::testing
