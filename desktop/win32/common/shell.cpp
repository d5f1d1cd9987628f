// Run value, control panel, browser and program starts.
#include "desktop/win32/common/shell.h"

#include <shellapi.h>

#include "desktop/win32/common/wide.h"

namespace mdl::win32 {
namespace {

LSTATUS WriteRun(HKEY root, std::wstring_view name, std::wstring_view data) {
  HKEY key = nullptr;
  LSTATUS status = RegCreateKeyExW(root, kRunKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr,
                                   &key, nullptr);
  if (status != ERROR_SUCCESS) return status;
  const std::wstring n(name), d(data);
  status = RegSetValueExW(key, n.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(d.c_str()),
                          static_cast<DWORD>((d.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  return status;
}

// Success also when there was nothing to remove.
LSTATUS DeleteRun(HKEY root, std::wstring_view name) {
  HKEY key = nullptr;
  LSTATUS status = RegOpenKeyExW(root, kRunKey, 0, KEY_SET_VALUE, &key);
  if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (status != ERROR_SUCCESS) return status;
  const std::wstring n(name);
  status = RegDeleteValueW(key, n.c_str());
  RegCloseKey(key);
  return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
}

std::string Where(HKEY root) {
  return std::string(root == HKEY_LOCAL_MACHINE ? "HKEY_LOCAL_MACHINE\\" : "HKEY_CURRENT_USER\\") +
         Narrow(kRunKey);
}

bool Start(std::wstring command_line, const wchar_t* application) {
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(application, command_line.data(), nullptr, nullptr, FALSE,
                      CREATE_NEW_PROCESS_GROUP | DETACHED_PROCESS, nullptr, nullptr, &startup, &process)) {
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

}  // namespace

std::string ErrorText(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text = n && buffer ? std::wstring(buffer, n) : L"error " + std::to_wstring(code);
  if (buffer) LocalFree(buffer);
  while (!text.empty() &&
         (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ' || text.back() == L'.'))
    text.pop_back();
  return Narrow(text);
}

std::string SetRunValue(std::wstring_view name, std::wstring_view data, bool on) {
  if (on) {
    const LSTATUS machine = WriteRun(HKEY_LOCAL_MACHINE, name, data);
    if (machine == ERROR_SUCCESS) return {};
    if (machine != ERROR_ACCESS_DENIED) return Where(HKEY_LOCAL_MACHINE) + ": " + ErrorText(machine);
    const LSTATUS user = WriteRun(HKEY_CURRENT_USER, name, data);
    if (user != ERROR_SUCCESS) return Where(HKEY_CURRENT_USER) + ": " + ErrorText(user);
    return Where(HKEY_LOCAL_MACHINE) + " is not writable for this account; set under " +
           Where(HKEY_CURRENT_USER) + " (starts for this user only)";
  }
  const LSTATUS machine = DeleteRun(HKEY_LOCAL_MACHINE, name);
  const LSTATUS user = DeleteRun(HKEY_CURRENT_USER, name);
  if (machine != ERROR_SUCCESS) return Where(HKEY_LOCAL_MACHINE) + ": " + ErrorText(machine);
  if (user != ERROR_SUCCESS) return Where(HKEY_CURRENT_USER) + ": " + ErrorText(user);
  return {};
}

std::wstring ReadRunValue(HKEY root, std::wstring_view name) {
  const std::wstring n(name);
  DWORD size = 0;
  if (RegGetValueW(root, kRunKey, n.c_str(), RRF_RT_REG_SZ, nullptr, nullptr, &size) != ERROR_SUCCESS ||
      size < sizeof(wchar_t))
    return {};
  std::wstring data(size / sizeof(wchar_t), L'\0');
  if (RegGetValueW(root, kRunKey, n.c_str(), RRF_RT_REG_SZ, nullptr, data.data(), &size) != ERROR_SUCCESS)
    return {};
  data.resize(wcsnlen(data.c_str(), data.size()));
  return data;
}

std::wstring QuoteArgument(std::wstring_view argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring_view::npos)
    return std::wstring(argument);
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    // Backslashes before a quote are doubled, and the quote escaped.
    out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    out += c;
  }
  // Before the closing quote too.
  out.append(backslashes * 2, L'\\');
  return out + L"\"";
}

std::wstring CommandLine(const std::filesystem::path& program, const std::vector<std::string>& arguments) {
  std::wstring line = QuoteArgument(program.wstring());
  for (const std::string& a : arguments) line += L" " + QuoteArgument(Widen(a));
  return line;
}

bool StartProgram(const std::filesystem::path& program, const std::vector<std::string>& arguments) {
  const std::wstring application = program.wstring();
  return Start(CommandLine(program, arguments), application.c_str());
}

bool OpenTimeDateSettings() {
  return Start(L"rundll32.exe shell32.dll,Control_RunDLL timedate.cpl", nullptr);
}

bool OpenUrl(std::string_view url) {
  const std::wstring u = Widen(url);
  const auto result =
      reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, L"open", u.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
  return result > 32;
}

}  // namespace mdl::win32
