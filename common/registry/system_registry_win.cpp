// The Windows registry through RegCreateKeyExW, RegOpenKeyExW,
// RegQueryValueExW, RegEnumValueW, RegSetValueExW, RegDeleteValueW and
// RegCloseKey. Texts are UTF-8 here and UTF-16 in the registry.
#include "common/registry/system_registry.h"

#include <windows.h>

namespace mdl {
namespace {

std::wstring Widen(std::string_view text) {
  if (text.empty()) return L"";
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

std::string Narrow(std::wstring_view text) {
  if (text.empty()) return "";
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0)
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr,
                        nullptr);
  return out;
}

std::string Reason(LONG status) {
  wchar_t* text = nullptr;
  FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                 nullptr, static_cast<DWORD>(status), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string out = text ? Narrow(text) : "";
  if (text) LocalFree(text);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ')) out.pop_back();
  return "error " + std::to_string(status) + (out.empty() ? "" : " (" + out + ")");
}

HKEY Root(Hive hive) { return reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<uint32_t>(hive))); }

// A string value's text from its raw bytes (which need not end in NUL).
std::string StringData(const std::vector<BYTE>& bytes, DWORD size) {
  std::wstring w(reinterpret_cast<const wchar_t*>(bytes.data()), size / sizeof(wchar_t));
  while (!w.empty() && w.back() == L'\0') w.pop_back();
  return Narrow(w);
}

class OpenKey {
 public:
  OpenKey(Hive hive, std::string_view sub_key, REGSAM access) {
    status_ = RegOpenKeyExW(Root(hive), Widen(sub_key).c_str(), 0, access, &key_);
  }
  ~OpenKey() {
    if (status_ == ERROR_SUCCESS) RegCloseKey(key_);
  }
  OpenKey(const OpenKey&) = delete;
  OpenKey& operator=(const OpenKey&) = delete;
  bool ok() const { return status_ == ERROR_SUCCESS; }
  LONG status() const { return status_; }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
  LONG status_ = ERROR_INVALID_HANDLE;
};

// Values longer than this are not settings of ours and are read as missing.
constexpr DWORD kMaxValueBytes = 1024 * 1024;

class WinRegistry : public SystemRegistry {
 public:
  std::string Read(Hive hive, std::string_view sub_key, std::string_view name) const override {
    OpenKey key(hive, sub_key, KEY_QUERY_VALUE);
    if (!key.ok()) return "";
    const std::wstring wname = Widen(name);
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key.get(), wname.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
      return "";
    if ((type != REG_SZ && type != REG_EXPAND_SZ) || size > kMaxValueBytes) return "";
    std::vector<BYTE> bytes(size + sizeof(wchar_t));
    DWORD got = size;
    if (RegQueryValueExW(key.get(), wname.c_str(), nullptr, &type, bytes.data(), &got) != ERROR_SUCCESS)
      return "";
    return StringData(bytes, std::min(got, size));
  }

  std::vector<std::pair<std::string, std::string>> Values(Hive hive,
                                                          std::string_view sub_key) const override {
    std::vector<std::pair<std::string, std::string>> out;
    OpenKey key(hive, sub_key, KEY_QUERY_VALUE);
    if (!key.ok()) return out;
    DWORD count = 0, max_name = 0, max_data = 0;
    if (RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, &max_name,
                         &max_data, nullptr, nullptr) != ERROR_SUCCESS) {
      return out;
    }
    std::vector<wchar_t> name(max_name + 1);
    std::vector<BYTE> data(std::min(max_data, kMaxValueBytes) + sizeof(wchar_t));
    for (DWORD i = 0; i < count && i < 10000; ++i) {
      DWORD name_len = static_cast<DWORD>(name.size());
      DWORD size = static_cast<DWORD>(data.size() - sizeof(wchar_t));
      DWORD type = 0;
      if (RegEnumValueW(key.get(), i, name.data(), &name_len, nullptr, &type, data.data(), &size) !=
          ERROR_SUCCESS) {
        continue;  // changed meanwhile or too large
      }
      if (type != REG_SZ && type != REG_EXPAND_SZ) continue;
      out.emplace_back(Narrow({name.data(), name_len}), StringData(data, size));
    }
    return out;
  }

  std::string Write(Hive hive, std::string_view sub_key, std::string_view name,
                    std::string_view text) override {
    HKEY key = nullptr;
    LONG status = RegCreateKeyExW(Root(hive), Widen(sub_key).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_SET_VALUE, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) return Reason(status);
    const std::wstring wtext = Widen(text);
    status = RegSetValueExW(key, Widen(name).c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(wtext.c_str()),
                            static_cast<DWORD>((wtext.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? "" : Reason(status);
  }

  int Delete(Hive hive, std::string_view sub_key, std::string_view name) override {
    OpenKey key(hive, sub_key, KEY_SET_VALUE);
    if (!key.ok()) return static_cast<int>(key.status());
    return static_cast<int>(RegDeleteValueW(key.get(), Widen(name).c_str()));
  }

  std::string CreateKey(Hive hive, std::string_view sub_key) override {
    HKEY key = nullptr;
    const LONG status = RegCreateKeyExW(Root(hive), Widen(sub_key).c_str(), 0, nullptr,
                                        REG_OPTION_NON_VOLATILE, KEY_READ, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) return Reason(status);
    RegCloseKey(key);
    return "";
  }
};

}  // namespace

std::unique_ptr<SystemRegistry> OpenSystemRegistry() { return std::make_unique<WinRegistry>(); }

std::filesystem::path DefaultStoreFile(const std::filesystem::path& home) {
  (void)home;
  return {};
}

}  // namespace mdl
