// The service programs' own switches that end at once: -install and
// -uninstall (the unit on systemd, with the event lines of the product) and
// -pause and -continue (SIGUSR1 and SIGUSR2 to the instance running in the
// program folder).
#pragma once

#include <filesystem>
#include <string_view>

#include "server/hosting/unit_file.h"

namespace mdl::service {

// Whether `first_switch` is one of the four.
bool IsSetupSwitch(std::string_view first_switch);

// Carries out the switch for the program running now, whose program folder
// is `home`; returns the exit status (0 done, 1 failed). No listener opens.
int RunSetupSwitch(const ServiceIdentity& id, std::string_view first_switch,
                   const std::filesystem::path& home);

}  // namespace mdl::service
