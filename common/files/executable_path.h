// The running program's own file.
#pragma once

#include <filesystem>

namespace mdl::files {

// Absolute path of this program's executable; empty when it cannot be read.
std::filesystem::path ExecutablePath();

}  // namespace mdl::files
