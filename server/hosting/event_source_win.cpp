// The event source's key through the registry calls of advapi32.
#include "server/hosting/event_source_win.h"

#include <windows.h>

namespace mdl::service {
namespace {

std::string Why(LSTATUS status) {
  if (status == ERROR_ACCESS_DENIED) return "access denied (run it as an administrator)";
  return "Windows error " + std::to_string(status);
}

LSTATUS SetDword(HKEY key, const wchar_t* name, DWORD value) {
  return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

LSTATUS SetExpandString(HKEY key, const wchar_t* name, const std::wstring& value) {
  const DWORD bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
  return RegSetValueExW(key, name, 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(value.c_str()), bytes);
}

}  // namespace

std::wstring EventSourceKey(std::string_view source) {
  // Program names are ASCII: widened byte by byte.
  return L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" +
         std::wstring(source.begin(), source.end());
}

std::string AddEventSource(std::string_view source, const std::filesystem::path& program) {
  HKEY key = nullptr;
  LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, EventSourceKey(source).c_str(), 0, nullptr,
                                   REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) return Why(status);
  const std::wstring file = program.wstring();
  status = SetExpandString(key, L"EventMessageFile", file);
  if (status == ERROR_SUCCESS) status = SetExpandString(key, L"CategoryMessageFile", file);
  if (status == ERROR_SUCCESS) status = SetDword(key, L"CategoryCount", 1);
  if (status == ERROR_SUCCESS) {
    status = SetDword(key, L"TypesSupported",
                      EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE);
  }
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) {
    // Half a source would point the Event Viewer nowhere: none at all.
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, EventSourceKey(source).c_str());
    return Why(status);
  }
  return "";
}

std::string RemoveEventSource(std::string_view source) {
  const LSTATUS status = RegDeleteKeyW(HKEY_LOCAL_MACHINE, EventSourceKey(source).c_str());
  if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) return "";
  return Why(status);
}

}  // namespace mdl::service
