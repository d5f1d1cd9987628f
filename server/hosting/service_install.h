// -install and -uninstall of a service program on systemd: the unit written
// to (or removed from) /etc/systemd/system and enabled through systemctl.
//
// When PID 1 is systemd, the unit is also started (stopped on uninstall) and
// the manager reloaded; otherwise systemctl works on the files only
// (`systemctl --root=/`). MDL_SYSTEMD_ROOT=DIR in the environment makes both
// work on the tree below DIR instead of the machine's (`systemctl --root=DIR`).
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "server/hosting/unit_file.h"

namespace mdl::service {

struct SystemdTarget {
  std::filesystem::path root;    // empty: the machine itself
  bool manager_running = false;  // PID 1 is systemd and `root` is empty
  static SystemdTarget FromEnvironment();

  std::filesystem::path UnitDir() const;  // <root>/etc/systemd/system
  std::filesystem::path UnitPath(const ServiceIdentity& id) const;
  std::filesystem::path EnableLink(const ServiceIdentity& id) const;  // multi-user.target.wants
};

struct SetupResult {
  bool ok = false;
  std::string detail;  // what was done, or why it failed
};

// Writes and enables the unit for `program --home home`; creates `home`
// and copies the shipped server list from the program's folder into it when
// it has none. Fails, leaving nothing behind, when the unit or its enable
// link already exists or a step fails.
SetupResult InstallService(const ServiceIdentity& id, const std::filesystem::path& program,
                           const std::filesystem::path& home, const SystemdTarget& target);

// Stops (when the manager runs), disables and removes the unit. Fails when
// no unit of ours is installed.
SetupResult UninstallService(const ServiceIdentity& id, const SystemdTarget& target);

struct CommandResult {
  bool started = false;  // the program could be run
  int status = -1;       // exit status; -1 when killed or not started
  std::string output;    // stdout and stderr together
};

// Runs `argv` (searched in PATH) to its end, at most `limit`, killed by its
// PID after that; stdin is /dev/null.
CommandResult RunCommand(const std::vector<std::string>& argv,
                         std::chrono::milliseconds limit = std::chrono::seconds(90));

// The lines the programs log for -install and -uninstall: the bracketed
// texts of the product ("[MDL Server installed successfully!] " ...).
std::string InstalledText(const ServiceIdentity& id);
std::string InstallFailedText(const ServiceIdentity& id, const std::string& why);
std::string UninstalledText(const ServiceIdentity& id);
std::string UninstallFailedText(const ServiceIdentity& id);

// Where to ask for help, named in the failure texts and the manual pages.
extern const char* const kSupportContact;

}  // namespace mdl::service
