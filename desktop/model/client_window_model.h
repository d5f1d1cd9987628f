// The desktop client's window without a toolkit: the server host, the
// interval, the two start options, the report box, the menu and the tray
// tip. The controls are loaded once from the first loaded snapshot; from then
// on the user's edits lead and are posted as commands.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "client/client_handle.h"
#include "desktop/model/autostart.h"
#include "desktop/model/client_port.h"

namespace mdl::desktop {

// The help page the Help menu opens.
inline constexpr const char* kClientHelpUrl = "https://www.meridel-time.example/help/client.html";

namespace client_text {
inline constexpr const char* kHostLabel = "MDL &Server:";
inline constexpr const char* kHostTooltip = " The MDL server: host, host:port or [IPv6]:port ";
inline constexpr const char* kEveryLabel = "Synchronize &every:";
inline constexpr const char* kRunMinimized = "Run Minimized in the System Tray.";
inline constexpr const char* kRunAtStart = "Run when Windows Starts.";
inline constexpr const char* kMenu = "&MDL Client";
// The interval number field takes at most this many characters.
inline constexpr int kNumberMaxLength = 10;
// The unit list (`svrFreQ`) in its order.
inline constexpr std::array<const char*, 4> kUnits = {"Hour/s", "Minute/s", "Second/s", "Day/s"};
}  // namespace client_text

// The menu (`mnuMain`), in its order; a separator stands before Exit.
enum class ClientMenuItem { kSyncNow, kSettings, kHelp, kExit };
struct ClientMenuEntry {
  ClientMenuItem item;
  const char* text;
  const char* name;      // `mnuSync`, `mnuSet`, `mnuHelp`, `mnuExit`
  const char* shortcut;  // "F5", "F1", or empty
  bool separator_before;
  bool is_default;  // shown bold; the tray's menu opens with it
};
inline constexpr std::array<ClientMenuEntry, 4> kClientMenu{{
    {ClientMenuItem::kSyncNow, "Synchronize Now", "mnuSync", "F5", false, false},
    {ClientMenuItem::kSettings, "MDL Server Client Settings", "mnuSet", "", false, true},
    {ClientMenuItem::kHelp, "Help", "mnuHelp", "F1", false, false},
    {ClientMenuItem::kExit, "Exit", "mnuExit", "", true, false},
}};
// What a menu choice asks of the window besides the commands it posted.
enum class ClientMenuEffect { kNone, kRestore, kClose };

struct ClientWindowOptions {
  // A first-argument switch was given: a stored "start minimised" does not
  // minimise the window at start.
  bool switch_given = false;
  // Writes or removes the autostart entry; returns an error text. Null: none.
  AutostartHook set_autostart;
  // Opens the help page (kClientHelpUrl); each toolkit gives its own.
  std::function<void()> open_help;
};

// Everything the window shows.
struct ClientWindowView {
  std::string caption;             // "MDL Server Client"
  std::string host = "hostname";   // `MDLSHost`
  std::string number = "5";        // `svrFreN`
  std::string unit = "Minute/s";   // `svrFreQ`'s current text
  std::vector<std::string> units;  // its list (a stored unit outside the list is added)
  bool run_minimized = true;       // `RunMin`
  bool run_at_start = false;       // `RunStart`
  std::string interval_tooltip;    // " Every N seconds " (empty before the first snapshot)
  std::string report;              // `t3777`, lines separated by "\n"
  std::string autostart_problem;   // "Autostart entry: <error>", empty: hidden
  std::string tip;                 // the tray icon record's tip
  std::string tray_tip;            // the tip last given to the tray icon
};

// What a snapshot asks of the window besides showing view().
struct ClientSnapshotEffects {
  bool controls_loaded = false;  // the first loaded snapshot filled the controls
  bool go_to_tray = false;       // stored "Run Minimized" at start (and no switch)
  bool report_changed = false;   // the report box took a new report
};

class ClientWindowModel {
 public:
  ClientWindowModel(ClientPort& engine, ClientWindowOptions options = {});

  // A snapshot of the engine; snapshots before the settings are loaded are ignored.
  ClientSnapshotEffects ApplySnapshot(const std::shared_ptr<const ClientSnapshot>& snapshot);
  // The window went to the tray (true) or came back (false): in the tray the
  // icon takes a new tip.
  void SetInTray(bool in_tray);

  // The user's edits: host (posted trimmed), number (the engine applies a
  // number only), unit chosen, the two boxes.
  void HostEdited(std::string text);
  void NumberEdited(std::string text);
  void UnitChosen(std::string unit);
  void RunMinimizedClicked(bool on);
  // cmd SetRunAtStart (the Run value follows at the end), then the autostart hook.
  void RunAtStartClicked(bool on);
  // A menu item (or its shortcut).
  ClientMenuEffect MenuChosen(ClientMenuItem item);
  // The window closes: posts Shutdown the first time (returns true then), never again.
  bool Closing();

  const ClientWindowView& view() const { return view_; }
  const std::shared_ptr<const ClientSnapshot>& snapshot() const { return snapshot_; }
  bool in_tray() const { return in_tray_; }

 private:
  void UpdateTrayTip();

  ClientPort& engine_;
  ClientWindowOptions options_;
  ClientWindowView view_;
  std::shared_ptr<const ClientSnapshot> snapshot_;
  std::string report_raw_;
  bool loaded_ = false;
  bool in_tray_ = false;
  bool closing_ = false;
};

}  // namespace mdl::desktop
