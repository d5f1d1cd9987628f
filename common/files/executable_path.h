// The running program's own file.
#pragma once

#include <filesystem>
#include <system_error>

namespace mdl::files {

// Absolute path of this program's executable; empty when it cannot be read.
std::filesystem::path ExecutablePath();

// The folder of ExecutablePath(); the current folder when that is unknown.
inline std::filesystem::path ExecutableFolder() {
  const std::filesystem::path exe = ExecutablePath();
  if (!exe.empty()) return exe.parent_path();
  std::error_code ec;
  return std::filesystem::current_path(ec);
}

}  // namespace mdl::files
