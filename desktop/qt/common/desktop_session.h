// The desktop session's facilities a desktop program uses: its XDG autostart
// entry and the date and time settings program.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace mdl::ui {

// What both desktop programs start with, from their command line.
struct DesktopProgramOptions {
  std::filesystem::path home;      // program folder, absolute
  std::filesystem::path registry;  // empty: <home>/registry.reg
  bool virtual_clock = false;
  bool run_from_tray = false;  // "-rs"
  // This program: its folder goes into the Run value, the path into the autostart entry.
  std::filesystem::path program;
  std::vector<std::string> autostart_arguments;

  // The settings file.
  std::filesystem::path RegistryPath() const { return registry.empty() ? home / "registry.reg" : registry; }
};

// $XDG_CONFIG_HOME/autostart/<id>.desktop, or ~/.config/autostart/ when
// XDG_CONFIG_HOME is unset or not absolute; empty without either.
std::filesystem::path AutostartEntryPath(const std::string& id);

// Writes (on) or removes (off) the autostart entry that starts `program`
// with `arguments` when the desktop session starts. The entry is written to a
// temporary file and renamed into place. Returns an error text, empty on success.
std::string SetAutostart(const std::string& id, const std::string& name, const std::filesystem::path& program,
                         const std::vector<std::string>& arguments, bool on);

// The Exec= value of a desktop entry: each word quoted when needed.
std::string DesktopExecLine(const std::filesystem::path& program, const std::vector<std::string>& arguments);

// Starts the first date and time settings program of the desktop that is
// installed (GNOME, KDE, others); false when none could be started.
bool StartDateTimeSettings();

}  // namespace mdl::ui
