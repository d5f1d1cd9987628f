#include "common/files/program_path.h"

#include <system_error>

namespace mdl {

std::filesystem::path ProgramPath() {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path() : exe;
}

std::filesystem::path ProgramFolder() {
  const std::filesystem::path exe = ProgramPath();
  if (!exe.empty()) return exe.parent_path();
  std::error_code ec;
  return std::filesystem::current_path(ec);
}

}  // namespace mdl
