// The advanced configuration dialog without a toolkit: region of the upstream
// servers, request logging, start with the session, open minimised, the date
// and time settings and the update check. Each change is posted to the
// engine at once; the engine saves them at shutdown.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "desktop/model/autostart.h"
#include "desktop/model/engine_port.h"
#include "server/core/engine_snapshot.h"

namespace mdl::desktop {

// What the dialog starts outside the engine; each toolkit fills them in.
struct ConfigHooks {
  std::function<void()> update_check;  // null: the update check is not available
  std::function<void()> open_time_settings;
  // Writes or removes the autostart entry; returns an error text, empty on success. Null: none.
  AutostartHook set_autostart;
};

namespace config_text {
inline constexpr const char* kRegionLabel = "Select What Region this Server will Operate in";
inline constexpr const char* kClosest = "Select the closest region to you.";
inline constexpr const char* kLogs = "Enable Extended WC3 Logging.";
inline constexpr const char* kRun = "Run Meridel Server when Windows Starts.";
inline constexpr const char* kOpenMinimized = "Open Minimized?";
inline constexpr const char* kTimeZone = "Time Zone";
inline constexpr const char* kCheckUpdate = "Check for Software Updates";
inline constexpr const char* kOk = "OK";
// `CheckUpdate`'s tooltip when the update check is not available.
inline constexpr const char* kNoUpdateCheck = " The update check is not part of this version ";
}  // namespace config_text

// Everything the dialog shows.
struct ConfigView {
  std::string caption;          // "CONFIG - " + the main window's caption
  int region_index = -1;        // `Regions`' selected line; -1 none
  bool logging = false;         // `wc3Logs`
  bool run_at_start = false;    // `RunMDL`
  bool open_minimized = false;  // `OpenMin`
  bool update_enabled = false;  // `CheckUpdate`
  std::string update_tooltip;   // empty, or kNoUpdateCheck
  // Shown below `RunMDL` when not empty: "Autostart entry: <error>".
  std::string autostart_problem;
};

class ConfigModel {
 public:
  ConfigModel(EnginePort& engine, ConfigHooks hooks);

  // The dialog's load (each time it opens): caption, region line, boxes
  // from the latest snapshot (none: all off, no region).
  void Load(const EngineSnapshot* snapshot, std::string_view main_caption);
  // The engine's rule for the update button (each snapshot): enabled while no check runs.
  void SetUpdateButton(bool engine_allows);
  // The update check has finished: the button can be used again.
  void UpdateCheckDone();

  // Line `index` of `Regions` chosen: cmd::SetRegion with its code.
  void RegionChosen(int index);
  void LogsClicked(bool on);
  // cmd::SetRunAtStart, then the autostart hook (its error shown).
  void RunClicked(bool on);
  void OpenMinimizedClicked(bool on);
  void TimeZoneClicked();
  // Starts the update check (the button goes disabled until it ends).
  void CheckUpdateClicked();

  const ConfigView& view() const { return view_; }

 private:
  EnginePort& engine_;
  ConfigHooks hooks_;
  ConfigView view_;
};

}  // namespace mdl::desktop
