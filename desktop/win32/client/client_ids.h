// Control and menu IDs of the client window (QOR_MDLSC.exe). The window
// creates its controls with these IDs; tests find them with GetDlgItem and
// send WM_COMMAND with the menu IDs, so the numbers are part of the window's
// contract and do not change.
#pragma once

namespace mdl::win32 {

// The window class and caption of the client window (FindWindowW).
inline constexpr const wchar_t* kClientWindowClass = L"MDLClientWindow";
inline constexpr const wchar_t* kClientWindowCaption = L"MDL Server Client";

// Child controls, in tab order.
inline constexpr int kIdHostLabel = 1001;         // "MDL &Server:"
inline constexpr int kIdHost = 1002;              // `MDLSHost`: edit
inline constexpr int kIdEveryLabel = 1003;        // "Synchronize &every:"
inline constexpr int kIdNumber = 1004;            // `svrFreN`: edit, at most 10 characters
inline constexpr int kIdUnit = 1005;              // `svrFreQ`: drop-down list of units
inline constexpr int kIdRunMin = 1006;            // `RunMin`: check box
inline constexpr int kIdRunStart = 1007;          // `RunStart`: check box
inline constexpr int kIdAutostartProblem = 1008;  // static text, hidden unless the Run value failed
inline constexpr int kIdReport = 1009;            // `t3777`: read-only multi-line edit
inline constexpr int kIdTooltips = 1010;          // the tooltip control of the window

// Menu "MDL Client" (menu bar and the tray icon's pop-up); WM_COMMAND IDs.
inline constexpr int kIdMenuSync = 2001;  // `mnuSync`: "Synchronize Now", F5
inline constexpr int kIdMenuSet = 2002;   // `mnuSet`: "MDL Server Client Settings", default item
inline constexpr int kIdMenuHelp = 2003;  // `mnuHelp`: "Help", F1
inline constexpr int kIdMenuExit = 2004;  // `mnuExit`: "Exit"

}  // namespace mdl::win32
