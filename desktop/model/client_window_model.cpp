// The client window's state and actions.
#include "desktop/model/client_window_model.h"

#include <algorithm>
#include <utility>

#include "client/client_core.h"
#include "desktop/model/window_texts.h"

namespace mdl::desktop {
namespace {

namespace cmd = client_command;

std::string Trimmed(std::string_view s) {
  constexpr std::string_view kSpace = " \t\n\v\f\r";
  const size_t first = s.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  return std::string(s.substr(first, s.find_last_not_of(kSpace) - first + 1));
}

}  // namespace

ClientWindowModel::ClientWindowModel(ClientPort& engine, ClientWindowOptions options)
    : engine_(engine), options_(std::move(options)) {
  view_.caption = std::string(kClientName);
  view_.units.assign(client_text::kUnits.begin(), client_text::kUnits.end());
  view_.tip = " " + std::string(kClientName);
  view_.tray_tip = view_.tip;
}

ClientSnapshotEffects ClientWindowModel::ApplySnapshot(
    const std::shared_ptr<const ClientSnapshot>& snapshot) {
  ClientSnapshotEffects effects;
  if (!snapshot || !snapshot->loaded) return effects;
  snapshot_ = snapshot;
  const ClientSnapshot& s = *snapshot;
  if (!loaded_) {
    // The stored settings fill the controls once; from then on the user's edits lead.
    loaded_ = true;
    effects.controls_loaded = true;
    view_.host = s.settings.host;
    view_.number = s.settings.number;
    // A stored unit that is none of the list's stays as it is (its first three letters count).
    if (std::find(view_.units.begin(), view_.units.end(), s.settings.unit) == view_.units.end())
      view_.units.push_back(s.settings.unit);
    view_.unit = s.settings.unit;
    view_.run_minimized = s.settings.run_minimized;
    view_.run_at_start = s.run_at_start;
    effects.go_to_tray = s.settings.run_minimized && !options_.switch_given;
  }
  view_.interval_tooltip = " Every " + std::to_string(s.interval_seconds) + " seconds ";
  if (s.report != report_raw_) {
    report_raw_ = s.report;
    view_.report = LabelText(s.report);
    effects.report_changed = true;
  }
  if (!s.tray_tip.empty() && s.tray_tip != view_.tip) {
    view_.tip = s.tray_tip;
    UpdateTrayTip();
  }
  return effects;
}

void ClientWindowModel::UpdateTrayTip() {
  // The tray icon changes only while it is shown, and only for a new tip.
  if (in_tray_) view_.tray_tip = view_.tip;
}

void ClientWindowModel::SetInTray(bool in_tray) {
  in_tray_ = in_tray;
  UpdateTrayTip();
}

void ClientWindowModel::HostEdited(std::string text) {
  engine_.Post(cmd::SetHost{Trimmed(text)});
  view_.host = std::move(text);
}

void ClientWindowModel::NumberEdited(std::string text) {
  // The engine applies a number only; other text leaves the interval.
  view_.number = text;
  engine_.Post(cmd::SetIntervalNumber{std::move(text)});
}

void ClientWindowModel::UnitChosen(std::string unit) {
  view_.unit = unit;
  engine_.Post(cmd::SetIntervalUnit{std::move(unit)});
}

void ClientWindowModel::RunMinimizedClicked(bool on) {
  view_.run_minimized = on;
  engine_.Post(cmd::SetRunMinimized{on});
}

void ClientWindowModel::RunAtStartClicked(bool on) {
  view_.run_at_start = on;
  // The Run value follows at the end; the autostart entry at once.
  engine_.Post(cmd::SetRunAtStart{on});
  view_.autostart_problem = ApplyAutostart(options_.set_autostart, on);
}

ClientMenuEffect ClientWindowModel::MenuChosen(ClientMenuItem item) {
  switch (item) {
    case ClientMenuItem::kSyncNow:
      engine_.Post(cmd::SyncNow{});
      return ClientMenuEffect::kNone;
    case ClientMenuItem::kSettings:
      return ClientMenuEffect::kRestore;
    case ClientMenuItem::kHelp:
      if (options_.open_help) options_.open_help();
      return ClientMenuEffect::kNone;
    case ClientMenuItem::kExit:
      return ClientMenuEffect::kClose;
  }
  return ClientMenuEffect::kNone;
}

bool ClientWindowModel::Closing() {
  if (closing_) return false;
  closing_ = true;
  // The engine stops its exchange and saves what changed.
  engine_.Post(cmd::Shutdown{});
  return true;
}

}  // namespace mdl::desktop
