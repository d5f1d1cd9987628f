// The running program's own file.
#pragma once

#include <filesystem>

namespace mdl {

// Absolute path of the running program's executable; empty when the system
// does not tell it.
std::filesystem::path ProgramPath();

// The folder of ProgramPath(); the current folder when it is unknown.
std::filesystem::path ProgramFolder();

}  // namespace mdl
