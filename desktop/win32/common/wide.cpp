// UTF-8 <-> UTF-16 through the system's converter.
#include "desktop/win32/common/wide.h"

#include <windows.h>

namespace mdl::win32 {

std::wstring Widen(std::string_view utf8) {
  if (utf8.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  if (n <= 0) return {};
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::string Narrow(std::wstring_view wide) {
  if (wide.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                    nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n, nullptr,
                      nullptr);
  return out;
}

std::wstring WidenLines(std::string_view utf8) {
  const std::wstring in = Widen(utf8);
  std::wstring out;
  out.reserve(in.size() + 8);
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] == L'\n' && (i == 0 || in[i - 1] != L'\r')) out += L'\r';
    out += in[i];
  }
  return out;
}

}  // namespace mdl::win32
