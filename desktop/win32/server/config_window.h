// The advanced configuration dialog (modeless, owned by the main window): the
// region list, logging, start with Windows, open minimised, the date and
// time settings and the update check. A thin layer over desktop::ConfigModel.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <string_view>

#include "desktop/model/config_model.h"
#include "desktop/model/engine_port.h"
#include "desktop/win32/common/controls.h"
#include "server/core/engine_snapshot.h"

namespace mdl::win32 {

class ConfigWindow {
 public:
  ConfigWindow(desktop::EnginePort& engine, desktop::ConfigHooks hooks);
  ~ConfigWindow();
  ConfigWindow(const ConfigWindow&) = delete;
  ConfigWindow& operator=(const ConfigWindow&) = delete;

  // The dialog's load (made the first time): caption, region line and boxes
  // from the snapshot; then shown in front.
  void Open(HWND owner, const EngineSnapshot* snapshot, std::string_view main_caption);
  // The engine's rule for `CheckUpdate` (each snapshot).
  void SetUpdateButton(bool engine_allows);
  // Hidden (`cfgsvrOK`, the close box, Escape); Open shows it again.
  void Close();
  void Destroy();

  HWND hwnd() const { return hwnd_; }
  bool shown() const { return hwnd_ && IsWindowVisible(hwnd_); }
  const desktop::ConfigModel& model() const { return model_; }
  std::wstring TooltipOf(int control_id) const;

  // The window procedure (ObjectWindowProc).
  LRESULT Handle(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);

 private:
  bool Create(HWND owner);
  void MakeControls();
  void Layout();
  void Render();
  void OnCommand(int id, int code, HWND control);

  desktop::ConfigModel model_;
  HWND hwnd_ = nullptr;
  UINT dpi_ = 96;
  Font font_;
  std::unique_ptr<Tooltips> tips_;
  HWND regions_ = nullptr;
  HWND logs_ = nullptr;
  HWND run_ = nullptr;
  HWND problem_ = nullptr;
  HWND open_min_ = nullptr;
  HWND time_zone_ = nullptr;
  HWND check_update_ = nullptr;
  HWND ok_ = nullptr;
  ComboChoice region_choice_;
  bool problem_shown_ = false;
  bool applying_ = false;
};

}  // namespace mdl::win32
