// ExecutablePath through GetModuleFileNameW.
#include "common/files/executable_path.h"

#include <windows.h>

#include <vector>

namespace mdl::files {

std::filesystem::path ExecutablePath() {
  std::vector<wchar_t> buf(MAX_PATH);
  for (int attempt = 0; attempt < 4; ++attempt) {
    const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return {};
    if (n < buf.size()) return std::filesystem::path(std::wstring(buf.data(), n));
    buf.resize(buf.size() * 4);  // cut: try a larger buffer
  }
  return {};
}

}  // namespace mdl::files
