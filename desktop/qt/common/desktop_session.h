// The desktop session's facilities a desktop program uses: its XDG autostart
// entry and the date and time settings program.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace mdl::ui {

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
