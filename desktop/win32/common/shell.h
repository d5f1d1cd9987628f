// The Windows facilities the desktop programs start or change: the Run
// value that starts a program with Windows, the date and time control
// panel, a web page in the default browser, another program.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace mdl::win32 {

inline constexpr wchar_t kRunKey[] = L"SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION\\RUN";

// Writes (on) the value `name` = `data` under HKEY_LOCAL_MACHINE's Run key,
// or removes it (off) there and under HKEY_CURRENT_USER's. An account that
// may not write HKEY_LOCAL_MACHINE gets the value under HKEY_CURRENT_USER
// instead (it then starts for this user only). Returns what the window
// shows: empty when the value is as asked, else what happened or failed.
std::string SetRunValue(std::wstring_view name, std::wstring_view data, bool on);
// The value under `root`'s Run key; empty when it is missing.
std::wstring ReadRunValue(HKEY root, std::wstring_view name);

// One argument as CommandLineToArgvW reads it back: quoted when it holds a
// blank, a tab or a quote or is empty, with its backslashes doubled where
// they precede a quote.
std::wstring QuoteArgument(std::wstring_view argument);
// The program and its arguments as one command line.
std::wstring CommandLine(const std::filesystem::path& program, const std::vector<std::string>& arguments);

// Starts the program with the arguments, not waited for; false when it
// could not start.
bool StartProgram(const std::filesystem::path& program, const std::vector<std::string>& arguments);
// The date and time control panel ("rundll32.exe shell32.dll,Control_RunDLL
// timedate.cpl"); false when it could not start.
bool OpenTimeDateSettings();
// The page in the default browser; false when the shell refused.
bool OpenUrl(std::string_view url);

// The system's text for an error code, without the trailing line break.
std::string ErrorText(DWORD code);

}  // namespace mdl::win32
