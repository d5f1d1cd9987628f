// The systemd unit of a service program: who it is (names and texts), and
// the unit file's text for a program and its program folder.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace mdl::service {

struct ServiceIdentity {
  std::string_view name;          // unit name without ".service"
  std::string_view display_name;  // shown first in Description=
  std::string_view description;
  std::string_view program;     // program file name; also the syslog identifier
  std::string_view product;     // "MDL Server": the install and uninstall texts
  std::string_view lock_name;   // single-instance lock file in the program folder
  std::string_view state_name;  // its folder under the package's state folder
  bool serves = false;          // listens on ports below 1024 (CAP_NET_BIND_SERVICE)
};

extern const ServiceIdentity kServerService;
extern const ServiceIdentity kClientService;

// The package's layout: programs in kPackageProgramDir; a program started
// from there keeps its state in kPackageStateDir/<state_name>, since /usr is
// read-only to a hardened service.
inline constexpr std::string_view kPackageProgramDir = "/usr/lib/meridel";
inline constexpr std::string_view kPackageStateDir = "/var/lib/meridel";

// The program folder to use when none is given: the package's state folder
// for a program of the package, else the program's own folder.
std::filesystem::path DefaultHome(const ServiceIdentity& id, const std::filesystem::path& program_folder);

// The first line of every unit written here; -uninstall removes only such units.
std::string UnitMarker(const ServiceIdentity& id);

// The package's system user of a service ("meridel-server"), made by its
// sysusers.d file; the name a dynamic user takes when there is none.
std::string ServiceUserName(const ServiceIdentity& id);

// Who runs a service whose folder is a state folder under /var/lib.
enum class UnitAccount {
  kDynamicUser,  // DynamicUser=yes: state (and anything else of it) below /var/lib/private, root only
  kSystemUser,   // ServiceUserName(id), which exists: public state, request logs in /var/log
};

struct UnitText {
  std::string text;   // the unit; empty on error
  std::string error;  // why no unit can be written
};

// The unit running `program --home home` (both absolute). A home under
// /var/lib/ becomes the unit's StateDirectory=, which systemd creates at the
// first start (the server's list is copied in from beside the program then),
// and the service runs under `account` with only the capabilities it needs;
// the server under its system user writes its request logs to /var/log/<the
// state folder's name>, mounted on <home>/Logs, readable by group adm. Any
// other home stays writable through ReadWritePaths= for a root service whose
// capability bounding set holds only those capabilities.
UnitText MakeUnitFile(const ServiceIdentity& id, const std::filesystem::path& program,
                      const std::filesystem::path& home, UnitAccount account = UnitAccount::kDynamicUser);

// A path in a unit where systemd expands specifiers but no variables (the
// executable of ExecStart=, ReadWritePaths=, StateDirectory=): double-quoted,
// with \ and " escaped and % doubled; empty when the path holds a control
// character (C0, DEL, C1) or is not UTF-8 text, which a unit line cannot carry.
std::string QuoteUnitWord(std::string_view word);

// An argument of ExecStart=: as QuoteUnitWord, and $ doubled, since systemd
// substitutes environment variables there.
std::string QuoteUnitArgument(std::string_view word);

}  // namespace mdl::service
