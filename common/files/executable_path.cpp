// ExecutablePath through /proc/self/exe.
#include "common/files/executable_path.h"

namespace mdl::files {

std::filesystem::path ExecutablePath() {
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path() : exe;
}

}  // namespace mdl::files
