// What finds the server's windows and their controls: window classes, the
// control IDs (the Qt windows' object names in the comments), the tray
// menu's commands and the window's private messages. Tests include it.
//
// How the controls take the operator's actions (what a test sends):
// - boxes and buttons: BN_CLICKED (a click, or BM_CLICK);
// - a port field and `SyncN`: EN_CHANGE for typing, WM_KEYDOWN VK_RETURN
//   for Enter (the edit tells its parent kEnterPressed);
// - `Servers`, `SyncIntC`, `Regions`: a choice in the open list (CBN_SELENDOK)
//   or a selection change of the closed list (CBN_SELCHANGE), each counted once;
// - `Options`: a double click on the frame where no control is
//   (WM_LBUTTONDBLCLK on the group box, which sends BN_DOUBLECLICKED);
// - the tree: a service node shows its panel when it becomes current
//   (TVN_SELCHANGED); About and the configuration open on a click
//   (NM_CLICK) or Enter (NM_RETURN, or IDOK while the tree has the focus),
//   through kMsgOpenWindow posted to the main window;
// - the tray icon: kMsgTray with the mouse message in lParam (514 and 515
//   restore, 517 opens `mnuMain`).
#pragma once

#include <windows.h>

namespace mdl::win32::server {

// Window classes; the main window's title is "Meridel Server" (or "NTPms N").
inline constexpr wchar_t kMainWindowClass[] = L"MeridelServerWindow";
inline constexpr wchar_t kConfigWindowClass[] = L"MeridelServerConfig";  // `frmConfig`
inline constexpr wchar_t kAboutWindowClass[] = L"MeridelServerAbout";    // `frmAbout`

// Main window.
inline constexpr int kIdTree = 100;  // `MDL_TV`

// The five service panels, slot 0 to 4 (Time, Daytime, NTP/SNTP, UnixTime,
// private protocol): PanelControlId(slot, part).
enum class PanelPart {
  kFrame = 0,           // `proto_f`
  kEnable = 1,          // `eNTP`, `eDTS`, `eSNTP`, `eUnix`, `eMDLS`
  kTcp = 2,             // `eTCP37`, ...
  kUdp = 3,             // `eUDP37`, ...
  kPortLabel = 4,       // "&Port:"
  kPort = 5,            // `NTP_Ptxt`, `DS_Ptxt`, `SNTP_Ptxt`, `Unix_Ptxt`, `MDLS_Ptxt`
  kRequesterLabel = 6,  // "&Last request from:"
  kRequester = 7,       // `MDLRemHost`
};
inline constexpr int kPanelBase = 200;
inline constexpr int kPanelStride = 10;
constexpr int PanelControlId(int slot, PanelPart part) {
  return kPanelBase + slot * kPanelStride + static_cast<int>(part);
}

inline constexpr int kIdServiceStatus = 300;  // `svrStatlbl`
inline constexpr int kIdClock = 301;          // `svrCurrent`
inline constexpr int kIdOptions = 310;        // `Options`: double click synchronises now
inline constexpr int kIdServersLabel = 311;
inline constexpr int kIdServers = 312;  // `Servers` (ComboBoxEx)
inline constexpr int kIdRandom = 313;   // `RandomCheck`
inline constexpr int kIdEveryLabel = 314;
inline constexpr int kIdSyncN = 315;     // `SyncN`
inline constexpr int kIdSyncUnit = 316;  // `SyncIntC`
// The lamps SRC, IN, OUT, UDP, TCP: kIdLed + i, their names kIdLedName + i.
inline constexpr int kIdLed = 320;  // `LED`
inline constexpr int kIdLedName = 330;
inline constexpr int kIdStatus = 340;  // `Status`

// Tray menu `mnuMain`.
inline constexpr int kIdMenuShow = 400;  // `mnuShow`
inline constexpr int kIdMenuExit = 401;  // `mnuExit`

// Configuration dialog.
inline constexpr int kIdRegionLabel = 500;       // `RegionLbl`
inline constexpr int kIdRegions = 501;           // `Regions`
inline constexpr int kIdCloseLabel = 502;        // `closelbl`
inline constexpr int kIdLogs = 503;              // `wc3Logs`
inline constexpr int kIdRunMdl = 504;            // `RunMDL`
inline constexpr int kIdAutostartProblem = 505;  // `autostartProblem`
inline constexpr int kIdOpenMin = 506;           // `OpenMin`
inline constexpr int kIdTimeZone = 507;          // `SelTimeZone`
inline constexpr int kIdCheckUpdate = 508;       // `CheckUpdate`
inline constexpr int kIdConfigOk = 509;          // `cfgsvrOK`

// About window.
inline constexpr int kIdAboutPicture = 600;
inline constexpr int kIdAboutVersion = 601;  // `aboutVersion`
inline constexpr int kIdAboutText = 602;
inline constexpr int kIdAboutClose = 603;
inline constexpr int kIdAboutProduct = 604;

// Private messages of the main window.
inline constexpr UINT kMsgTray = WM_APP + 1;      // the tray icon's mouse messages (lParam)
inline constexpr UINT kMsgSnapshot = WM_APP + 2;  // a snapshot waits in the bridge
inline constexpr UINT kMsgEvents = WM_APP + 3;    // engine events wait in the bridge
// Opens the About window (wParam 7) or the configuration dialog (8): posted
// by a click or Enter on their tree node, so that they open after the click.
inline constexpr UINT kMsgOpenWindow = WM_APP + 4;
inline constexpr UINT_PTR kClockTimer = 1;  // `SvrTime`, every second

}  // namespace mdl::win32::server
