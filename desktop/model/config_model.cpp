// The configuration dialog's state and actions.
#include "desktop/model/config_model.h"

#include <utility>

#include "desktop/model/window_texts.h"

namespace mdl::desktop {

ConfigModel::ConfigModel(EnginePort& engine, ConfigHooks hooks) : engine_(engine), hooks_(std::move(hooks)) {
  view_.update_enabled = static_cast<bool>(hooks_.update_check);
  if (!hooks_.update_check) view_.update_tooltip = config_text::kNoUpdateCheck;
}

void ConfigModel::Load(const EngineSnapshot* s, std::string_view main_caption) {
  view_.caption = ConfigCaption(main_caption);
  // A region code that matches no line leaves the list without a selection.
  view_.region_index = s ? RegionLineIndex(s->region) : -1;
  view_.run_at_start = s && s->run_at_start;
  view_.open_minimized = s && s->open_minimized;
  view_.logging = s && s->logging;
  if (s) SetUpdateButton(s->update_button_enabled);
}

void ConfigModel::SetUpdateButton(bool engine_allows) {
  view_.update_enabled = engine_allows && static_cast<bool>(hooks_.update_check);
}

void ConfigModel::UpdateCheckDone() { view_.update_enabled = static_cast<bool>(hooks_.update_check); }

void ConfigModel::RegionChosen(int index) {
  std::string code = RegionLineCode(index);
  if (code.empty()) return;
  view_.region_index = index;
  engine_.Post(cmd::SetRegion{std::move(code)});
}

void ConfigModel::LogsClicked(bool on) {
  view_.logging = on;
  engine_.Post(cmd::SetLogging{on});
}

void ConfigModel::RunClicked(bool on) {
  view_.run_at_start = on;
  engine_.Post(cmd::SetRunAtStart{on});
  view_.autostart_problem = ApplyAutostart(hooks_.set_autostart, on);
}

void ConfigModel::OpenMinimizedClicked(bool on) {
  view_.open_minimized = on;
  engine_.Post(cmd::SetOpenMinimized{on});
}

void ConfigModel::TimeZoneClicked() {
  if (hooks_.open_time_settings) hooks_.open_time_settings();
}

void ConfigModel::CheckUpdateClicked() {
  if (!hooks_.update_check || !view_.update_enabled) return;
  view_.update_enabled = false;
  hooks_.update_check();
}

}  // namespace mdl::desktop
